// A phone acts only on events that the platform's directory vouches for: signed over the
// canonical text by the key published for the actor, who may speak only for its own handle.

#include <nlohmann/json.hpp>

#include "../temp_folder.h"
#include "../wallet/phone_devnet_fixture.h"
#include "base/clock.h"
#include "vaultra/envelope.h"

namespace dialo::test {
namespace {

using devnet::test::Key;
using devnet::test::keyOf;
using nlohmann::json;

class EnvelopeTest : public PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        startWithSleep(nullptr);
        publish("alice", alice);
        publish("mallory", mallory);
    }

    static json event(const std::string& handle, const std::string& actor) {
        return json{{"protocol", "OV-Dialo"}, {"type", "dl"},   {"location", "dialo"},
                    {"handle", handle},       {"actor", actor}, {"paymail", actor + "@orvane.test"},
                    {"ts", nowSeconds()},     {"kind", "invite"}, {"id", "0123456789abcdef"},
                    {"pay", keyOf('9').address}};
    }
    static json signedBy(json e, const Key& k) {
        std::string sig;
        EXPECT_TRUE(sign_message_compact(k.priv, canonical_text(e), sig));
        e["pubkey"] = k.pub;
        e["sig"] = sig;
        return e;
    }

    const Key alice = keyOf('1'), mallory = keyOf('2');

private:
    TempFolder folder_{"envelope"};  // no wallet is bound here
};

TEST_F(EnvelopeTest, ForgeriesAreRefusedAndUnsignedFieldsMayChange) {
    const json good = signedBy(event("alice", "alice"), alice);
    auto without = [](json e, const char* key) {
        e.erase(key);
        return e;
    };
    auto with = [](json e, const char* key, const json& value) {
        e[key] = value;
        return e;
    };
    json longNames = good;
    longNames["publicKey"] = longNames["pubkey"];
    longNames["signature"] = longNames["sig"];
    longNames.erase("pubkey");
    longNames.erase("sig");
    struct Case {
        const char* what;
        json event;
        bool verifies;
    };
    const Case cases[] = {
        {"as signed", good, true},
        {"handle and actor in other case, with @ and blanks", signedBy(event(" @Alice", "alice "), alice), true},
        {"long key names", longNames, true},
        {"time as decimal text", signedBy(with(event("alice", "alice"), "ts", std::to_string(nowSeconds())), alice), false},
        {"time as a fraction", signedBy(with(event("alice", "alice"), "ts", double(nowSeconds()) + 0.5), alice), false},
        {"pay changed after signing", with(good, "pay", keyOf('8').address), true},
        {"kind changed after signing", with(good, "kind", "hangup"), false},
        {"id changed after signing", with(good, "id", "fedcba9876543210"), false},
        {"a valid signature by a key not published for the actor", signedBy(event("alice", "alice"), mallory), false},
        {"actor speaking for another handle", signedBy(event("alice", "mallory"), mallory), false},
        {"ts 0", signedBy(with(event("alice", "alice"), "ts", 0), alice), false},
        {"ts negative", signedBy(with(event("alice", "alice"), "ts", -5), alice), false},
        {"ts absent", signedBy(without(event("alice", "alice"), "ts"), alice), false},
        {"another protocol", signedBy(with(event("alice", "alice"), "protocol", "OV-Market"), alice), false},
        {"no channel", signedBy(with(event("alice", "alice"), "location", ""), alice), false},
        {"no signature", without(good, "sig"), false},
        {"an actor the platform does not know", signedBy(event("zed", "zed"), alice), false},
        {"not an object", json::array({good}), false},
    };
    for (const Case& c : cases) EXPECT_EQ(verify_protocol_message(c.event), c.verifies) << c.what;
}

TEST_F(EnvelopeTest, BuildingWithoutAWalletAsksForVaultraAndSignsNothing) {
    json e = event("alice", "");
    e.erase("actor");
    std::string error;
    EXPECT_FALSE(build_protocol_message(e, error));
    EXPECT_EQ(error, "Connect Vaultra");
    EXPECT_FALSE(e.contains("pubkey"));
    EXPECT_FALSE(e.contains("sig"));
}

}  // namespace
}  // namespace dialo::test

// Events act only if signed over the canonical text by the actor's published key, for its own handle.
#include <nlohmann/json.hpp>
#include "support/temp_folder.h"
#include "support/phone_devnet_fixture.h"
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
    const Key alice = keyOf('1');
private:
    TempFolder folder_{"envelope"};  // no wallet is bound here
};
// Malformed events; forgeries and other phones' encodings are tests/interop's.
TEST_F(EnvelopeTest, ForgedOrMalformedEventsAreRefused) {
    const json good = signedBy(event("alice", "alice"), alice);
    EXPECT_TRUE(verify_protocol_message(good));
    auto with = [](json e, const char* key, const json& value) {
        if (value.is_null()) e.erase(key);
        else e[key] = value;
        return e;
    };
    const std::pair<const char*, json> signedWith[] = {
        {"ts", std::to_string(nowSeconds())}, {"ts", double(nowSeconds()) + 0.5}, {"ts", 0}, {"ts", -5}, {"ts", nullptr},
        {"protocol", "OV-Market"}, {"location", ""}};
    for (const auto& [key, value] : signedWith)
        EXPECT_FALSE(verify_protocol_message(signedBy(with(event("alice", "alice"), key, value), alice))) << key << " " << value;
    EXPECT_FALSE(verify_protocol_message(with(good, "kind", "hangup"))) << "changed after signing";
    EXPECT_FALSE(verify_protocol_message(with(good, "sig", nullptr)));
    EXPECT_FALSE(verify_protocol_message(json::array({good})));
}
TEST_F(EnvelopeTest, BuildingWithoutAWalletAsksForVaultraAndSignsNothing) {
    json e = event("alice", "");
    std::string error;
    EXPECT_FALSE(build_protocol_message(e, error));
    EXPECT_EQ(error, "Connect Vaultra");
    EXPECT_FALSE(e.contains("pubkey") || e.contains("sig"));
}
}  // namespace
}  // namespace dialo::test

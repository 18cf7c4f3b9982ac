// Reading a peer's data output in every push form, and the checks before an event is acted on.
#include <gtest/gtest.h>
#include <optional>
#include <nlohmann/json.hpp>
#include "call/event.h"
#include "vaultra/envelope.h"
#include "wallet/keys.h"
namespace dialo {
namespace {
using nlohmann::json;
Bytes scriptOf(std::initializer_list<uint8_t> head, const std::string& payload) {
    Bytes s(head);
    s.insert(s.end(), payload.begin(), payload.end());
    return s;
}
TEST(CallEventTest, DataOutputPayloadIsReadFromEveryPushFormAndOnlyWhenItFits) {
    const std::string small(40, 'a'), big(300, 'b');
    struct Case { const char* what; Bytes script; std::optional<std::string> payload; };
    const Case cases[] = {
        {"OP_FALSE OP_RETURN, direct push", scriptOf({0x00, 0x6a, 40}, small), small},
        {"OP_RETURN alone, direct push", scriptOf({0x6a, 40}, small), small},
        {"PUSHDATA1", scriptOf({0x00, 0x6a, 0x4c, 40}, small), small},
        {"PUSHDATA2 with OP_FALSE", scriptOf({0x00, 0x6a, 0x4d, 0x2c, 0x01}, big), big},
        {"PUSHDATA4", scriptOf({0x6a, 0x4e, 0x2c, 0x01, 0x00, 0x00}, big), big},
        {"only the first push is taken", scriptOf({0x6a, 3}, "abc" + std::string("\x02xy")), "abc"},
        {"declared length past the end", scriptOf({0x6a, 0x4d, 0x2d, 0x01}, big), std::nullopt},
        {"direct push past the end", scriptOf({0x00, 0x6a, 41}, small), std::nullopt},
        {"PUSHDATA4 of 4 GiB", scriptOf({0x6a, 0x4e, 0xff, 0xff, 0xff, 0xff}, small), std::nullopt},
        {"length bytes cut off", Bytes{0x6a, 0x4d, 0x01}, std::nullopt},
        {"nothing after OP_RETURN", Bytes{0x00, 0x6a}, std::nullopt},
        {"not a data output", scriptOf({0x76, 0xa9, 20}, std::string(20, 'h')), std::nullopt},
        {"OP_0 after OP_RETURN is no push", Bytes{0x6a, 0x00}, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(payloadFromScript(c.script), c.payload) << c.what;
}
TEST(CallEventTest, OnlyAPayloadSealedToThisKeyOpensAndTheOuterObjectIsCanonical) {
    const std::string mine(64, '3'), theirs(64, '4');
    std::string myPub, theirPub;
    ASSERT_TRUE(pubkey_from_priv(mine, myPub));
    ASSERT_TRUE(pubkey_from_priv(theirs, theirPub));
    const json event = buildEvent(kInvite, "0123456789abcdef");
    auto sealedWith = [&](const std::string& text, const std::string& pub) {
        json outer = buildEnvelope(1700000000);
        std::string error;
        EXPECT_TRUE(seal(text, pub, outer, error)) << error;
        return outer;
    };
    const json outer = sealedWith(compactText(event), myPub);
    const std::string payload = compactText(outer);
    // Keys in ascending byte order: the version first, the type last.
    EXPECT_TRUE(payload.starts_with("{\"enc_v\":4,\"location\":\"dialo\",\"pmessage1\":\"")) << payload;
    EXPECT_TRUE(payload.ends_with("\",\"protocol\":\"OV-Dialo\",\"ts\":1700000000,\"type\":\"dl\"}")) << payload;
    // The sealed envelope with one field changed; a null removes the field.
    auto with = [&](const char* key, json value) {
        json changed = outer;
        if (value.is_null()) changed.erase(key);
        else changed[key] = value;
        return compactText(changed);
    };
    const std::pair<std::string, bool> cases[] = {
        {payload, true},
        {payload + " \t\r\n", true},                  // trailing CR LF and blanks
        {with("enc_v", "4"), false},
        {with("type", "dm"), false},
        {with("pmessage1", nullptr), false},
        {with("protocol", "OV-Other"), false},         // no mention of OV-Dialo then
        {payload + "x", false},                        // text after the closing brace
        {"{OV-Dialo}", false},
        {compactText(sealedWith(compactText(event), theirPub)), false},
        {compactText(sealedWith("[\"OV-Dialo\"]", myPub)), false},  // plaintext not an object
    };
    for (const auto& [text, opens] : cases) {
        const std::optional<json> opened = openPayloadWith(text, mine);
        EXPECT_EQ(opened.has_value(), opens) << text;
        if (opened) {
            EXPECT_EQ(*opened, event) << text;
        }
    }
    EXPECT_FALSE(openPayloadWith(payload, theirs)) << "someone else's key opens nothing";
    std::string error;
    json none = buildEnvelope(1);
    EXPECT_FALSE(seal("{}", "", none, error));
    EXPECT_EQ(error, "Could not seal to that paymail key.");
    EXPECT_FALSE(none.contains("pmessage1"));
}
// The signed fields the interop suite's comparison with @bsv/sdk does not vary.
TEST(CallEventTest, CanonicalTextCoversEverySignedField) {
    const json e = {{"type", "dl"}, {"location", "dialo"}, {"handle", "alice"}, {"actor", "alice"}, {"ts", 1700000000},
                    {"kind", "tape"}, {"id", "x1"}, {"n", 3}, {"codec", "gsm"}, {"mark", ""}, {"secs", 12}};
    for (const auto& [key, other] : {std::pair<const char*, json>{"handle", "bob"}, {"actor", "bob"}, {"codec", "pcm"},
                                     {"mark", "to:bob"}, {"n", 4}, {"ts", "1700000000"}}) {
        json changed = e;
        changed[key] = other;
        EXPECT_NE(canonical_text(changed), canonical_text(e)) << key << " " << other;
    }
}
}  // namespace
}  // namespace dialo

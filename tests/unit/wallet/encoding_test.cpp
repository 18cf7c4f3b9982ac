// Boundaries and forms @bsv/sdk never sends; the rest is tests/interop's.
#include <gtest/gtest.h>
#include "wallet/encoding.h"
#include "wallet/keys.h"

namespace dialo {
namespace {
TEST(Hex, DecodesEitherCaseAndRefusesOddOrForeignText) {
    const std::pair<const char*, Bytes> cases[] = {{"0A0b", {0x0a, 0x0b}}, {"abc", {}}, {"0g", {}}, {"0x00", {}}, {"00 11", {}}};
    for (const auto& [text, bytes] : cases) EXPECT_EQ(hex_decode(text), bytes) << text;
}
TEST(Varint, UsesTheShortestFormAtEachBoundary) {
    const std::pair<uint64_t, Bytes> cases[] = {
        {252, {0xFC}}, {253, {0xFD, 0xFD, 0x00}}, {65535, {0xFD, 0xFF, 0xFF}}, {65536, {0xFE, 0x00, 0x00, 0x01, 0x00}},
        {0xFFFFFFFFull, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF}}, {0x100000000ull, {0xFF, 0, 0, 0, 0, 1, 0, 0, 0}}};
    for (const auto& [value, bytes] : cases) {
        Bytes b;
        append_varint(b, value);
        EXPECT_EQ(b, bytes) << value;
    }
}
TEST(Address, OnlyCompressedKeysAndMainnetP2pkhAddressesAreMadeOrRead) {
    std::string pub;
    EXPECT_EQ(address_from_pubkey(std::string(130, '4')), "") << "only compressed keys have addresses here";
    for (const char* bad : {"0000000000000000000000000000000000000000000000000000000000000000",
                            "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141"}) {  // zero and n
        EXPECT_FALSE(pubkey_from_priv(bad, pub)) << "not a key: " << bad;
        EXPECT_TRUE(pub.empty());
    }
    Hash160 h{}, back{};
    ASSERT_TRUE(decode_p2pkh_address("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", h));  // the key 1's
    EXPECT_EQ(p2pkh_script(h), hex_decode("76a914751e76e8199196d454941c45d1b3a323f1433bd688ac"));
    EXPECT_TRUE(is_p2pkh_script(p2pkh_script(h), &back));
    EXPECT_EQ(back, h);
    // One byte more, and pay-to-script-hash, are other scripts.
    for (const char* other : {"76a914751e76e8199196d454941c45d1b3a323f1433bd688ac00", "a914751e76e8199196d454941c45d1b3a323f1433bd687"})
        EXPECT_FALSE(is_p2pkh_script(hex_decode(other))) << other;
    for (const std::string& bad : {std::string("3J98t1WpEZ73CNmQviecrnyiWrnqRhWNLy"), std::string("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMHH"),
                                   std::string(36, 'z'), std::string()})
        EXPECT_FALSE(decode_p2pkh_address(bad, h)) << bad;
}
}  // namespace
}  // namespace dialo

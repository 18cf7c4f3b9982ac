// Encodings a peer or the chain reads back: hex, varints, Base58Check addresses and scripts.

#include <gtest/gtest.h>

#include "wallet/encoding.h"
#include "wallet/keys.h"

namespace dialo {
namespace {

TEST(Hex, DecodesEitherCaseAndRefusesOddOrForeignText) {
    EXPECT_EQ(hex_decode("0A0b"), (Bytes{0x0a, 0x0b}));
    EXPECT_EQ(hex_decode(""), Bytes{});
    EXPECT_TRUE(hex_decode("abc").empty());
    EXPECT_TRUE(hex_decode("0g").empty());
    EXPECT_TRUE(hex_decode("0x00").empty()) << "the strict decoder takes no prefix";
    EXPECT_TRUE(hex_decode("00 11").empty());
    EXPECT_EQ(hex_encode(Bytes{0x00, 0xAB, 0xff}), "00abff");
}

TEST(Varint, UsesTheShortestFormAtEachBoundary) {
    auto enc = [](uint64_t v) {
        Bytes b;
        append_varint(b, v);
        return b;
    };
    EXPECT_EQ(enc(252), (Bytes{0xFC}));
    EXPECT_EQ(enc(253), (Bytes{0xFD, 0xFD, 0x00}));
    EXPECT_EQ(enc(65535), (Bytes{0xFD, 0xFF, 0xFF}));
    EXPECT_EQ(enc(65536), (Bytes{0xFE, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(enc(0xFFFFFFFFull), (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(enc(0x100000000ull), (Bytes{0xFF, 0, 0, 0, 0, 1, 0, 0, 0}));
}

TEST(Address, KnownKeysGiveTheirPublishedAddresses) {
    // Private keys 1 and 2: the public keys are G and 2G, whose addresses are well known.
    std::string pub;
    ASSERT_TRUE(pubkey_from_priv(std::string(63, '0') + "1", pub));
    EXPECT_EQ(pub, "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798");
    EXPECT_EQ(address_from_pubkey(pub), "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    ASSERT_TRUE(pubkey_from_priv(std::string(63, '0') + "2", pub));
    EXPECT_EQ(address_from_pubkey(pub), "1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP");

    for (const char* bad : {"0000000000000000000000000000000000000000000000000000000000000000",
                            "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141",  // n
                            "111111111111111111111111111111111111111111111111111111111111"}) {
        EXPECT_FALSE(pubkey_from_priv(bad, pub)) << "not a key: " << bad;
        EXPECT_TRUE(pub.empty());
    }
    EXPECT_EQ(address_from_pubkey(std::string(130, '4')), "") << "only compressed keys have addresses here";
}

TEST(Address, DecodingRefusesAnythingButAMainnetP2pkhAddress) {
    Hash160 h{};
    ASSERT_TRUE(decode_p2pkh_address("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", h));
    EXPECT_EQ(hex_encode(h), "751e76e8199196d454941c45d1b3a323f1433bd6");
    EXPECT_EQ(p2pkh_script(h), hex_decode("76a914751e76e8199196d454941c45d1b3a323f1433bd688ac"));
    EXPECT_EQ(address_from_hash(h), "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    Hash160 back{};
    EXPECT_TRUE(is_p2pkh_script(p2pkh_script(h), &back));
    EXPECT_EQ(back, h);
    // One byte more, and pay-to-script-hash, are other scripts.
    for (const char* other : {"76a914751e76e8199196d454941c45d1b3a323f1433bd688ac00",
                              "a914751e76e8199196d454941c45d1b3a323f1433bd687"})
        EXPECT_FALSE(is_p2pkh_script(hex_decode(other))) << other;

    // Checksum, pay-to-script-hash, not Base58, 25 characters, wrong length decoded, 36 characters.
    for (const std::string& bad : std::vector<std::string>{"1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMh", "3J98t1WpEZ73CNmQviecrnyiWrnqRhWNLy",
                                   "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAM0", std::string(25, '1'),
                                   "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMHH", std::string(36, 'z'), std::string()})
        EXPECT_FALSE(decode_p2pkh_address(bad, h)) << bad;
}

}  // namespace
}  // namespace dialo

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

TEST(Base58, LeadingZerosBecomeOnesAndRoundTrip) {
    Bytes data{0, 0, 1, 2, 3, 255};
    std::string text = base58_encode(data.data(), data.size());
    EXPECT_EQ(text.substr(0, 2), "11");
    Bytes back;
    ASSERT_TRUE(base58_decode(text, back));
    EXPECT_EQ(back, data);
    EXPECT_FALSE(base58_decode("10OIl", back)) << "0, O, I and l are not in the alphabet";
}

TEST(Address, KnownKeysGiveTheirPublishedAddresses) {
    // Private keys 1 and 2: the public keys are G and 2G, whose addresses are well known.
    std::string one(63, '0'), pub;
    one += "1";
    ASSERT_TRUE(pubkey_from_priv(one, pub));
    EXPECT_EQ(pub, "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798");
    EXPECT_EQ(address_from_pubkey(pub), "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    std::string two(63, '0');
    two += "2";
    ASSERT_TRUE(pubkey_from_priv(two, pub));
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

    EXPECT_FALSE(decode_p2pkh_address("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMh", h)) << "checksum";
    EXPECT_FALSE(decode_p2pkh_address("3J98t1WpEZ73CNmQviecrnyiWrnqRhWNLy", h)) << "pay-to-script-hash";
    EXPECT_FALSE(decode_p2pkh_address("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAM0", h)) << "0 is not Base58";
    EXPECT_FALSE(decode_p2pkh_address(std::string(25, '1'), h)) << "25 characters";
    EXPECT_FALSE(decode_p2pkh_address("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMHH", h)) << "wrong length after decoding";
    EXPECT_FALSE(decode_p2pkh_address(std::string(36, 'z'), h)) << "36 characters";
    EXPECT_FALSE(decode_p2pkh_address("", h));
}

}  // namespace
}  // namespace dialo

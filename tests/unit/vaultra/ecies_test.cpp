// Sealed call events: round trips, the hex a peer may send, and tampering.

#include <gtest/gtest.h>

#include "vaultra/ecies.h"
#include "wallet/encoding.h"

namespace dialo {
namespace {

constexpr char kPriv[] = "d9845ee2e9e92ddf65f4b9ff067a27f420d6f51664e4143ff6e5961919dbc6a6";
constexpr char kPub[] = "02ded4e1e697bc768d79dd3f5c95cd56f332fdcf483c2a36933ba6c81d29bcf8b4";
constexpr char kOtherPriv[] = "0000000000000000000000000000000000000000000000000000000000000001";

std::string uncompressedPub() {
    Bytes c = hex_decode(kPub);
    PubKey65 full{};
    EXPECT_TRUE(uncompress_public_key(c.data(), c.size(), full));
    return hex_encode(full);
}

std::string sealed(const std::string& plain, const std::string& pub = kPub) {
    std::string blob;
    EXPECT_TRUE(ecies_seal(plain, pub, blob));
    return blob;
}

TEST(Ecies, RoundTripsEveryPaddingCaseToEitherKeyForm) {
    for (size_t n : {0u, 15u, 16u, 17u, 1000u}) {
        std::string plain(n, '\0');
        for (size_t i = 0; i < n; ++i) plain[i] = char(i * 7 + 1);
        for (const std::string& pub : {std::string(kPub), uncompressedPub()}) {
            std::string blob = sealed(plain, pub);
            size_t cipher = (n / 16 + 1) * 16;
            EXPECT_EQ(blob.size(), 2 * (4 + 33 + cipher + 32)) << n;
            EXPECT_EQ(blob.substr(0, 8), "42494531");
            EXPECT_TRUE(blob.substr(8, 2) == "02" || blob.substr(8, 2) == "03") << "ephemeral key is compressed";
            std::string back = "junk";
            ASSERT_TRUE(ecies_unseal(blob, kPriv, "", back)) << n;
            EXPECT_EQ(back, plain);
        }
    }
    EXPECT_NE(sealed("same"), sealed("same")) << "a fresh ephemeral key each time";
}

TEST(Ecies, ReadsHexAsPeersWriteIt) {
    const std::string blob = sealed("hello");
    std::string upper = blob, out;
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& text : {upper, "0x" + blob.substr(0, 50) + " \n\t" + blob.substr(50)}) {
        EXPECT_TRUE(ecies_unseal(text, std::string(" 0X") + kPriv, "", out)) << text;
        EXPECT_EQ(out, "hello");
    }
    EXPECT_FALSE(ecies_unseal(blob.substr(1), kPriv, "", out));
    EXPECT_TRUE(out.empty());
    std::string bad;
    EXPECT_FALSE(ecies_seal("x", "02zz", bad));
    EXPECT_TRUE(bad.empty());
    EXPECT_FALSE(ecies_seal("x", "04" + std::string(kPub).substr(2), bad)) << "not a point";
}

TEST(Ecies, TamperedBlobIsRefusedWhereverTheBitFlips) {
    Bytes blob = hex_decode(sealed("seventeen bytes!!"));
    ASSERT_EQ(blob.size(), 4u + 33 + 32 + 32);
    std::string out;
    for (size_t bit = 0; bit < blob.size() * 8; ++bit) {
        Bytes bad = blob;
        bad[bit / 8] ^= uint8_t(1u << (bit % 8));
        EXPECT_FALSE(ecies_unseal(hex_encode(bad), kPriv, "", out)) << "byte " << bit / 8 << " bit " << bit % 8;
        EXPECT_TRUE(out.empty());
    }
}

TEST(Ecies, RefusesShortBlobsAndWrongKeys) {
    std::string blob = sealed("");
    std::string out;
    ASSERT_EQ(blob.size(), 170u);
    EXPECT_FALSE(ecies_unseal(blob.substr(0, 168), kPriv, "", out)) << "84 bytes";
    for (const std::string& key : {std::string(kOtherPriv), std::string(kPriv).substr(2), std::string(kPriv) + "00"})
        EXPECT_FALSE(ecies_unseal(blob, key, "", out)) << key;
    ASSERT_TRUE(ecies_unseal(blob, kPriv, "", out));
    EXPECT_EQ(out, "");

    // The override replaces only the key agreement: the blob's own key works given explicitly,
    // another key does not, and a too-short override is ignored.
    std::string own = blob.substr(8, 66);
    EXPECT_TRUE(ecies_unseal(blob, kPriv, own, out));
    EXPECT_FALSE(ecies_unseal(blob, kPriv, kPub, out));
    EXPECT_TRUE(ecies_unseal(blob, kPriv, "02ab", out));
}

}  // namespace
}  // namespace dialo

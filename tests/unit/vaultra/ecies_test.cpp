// Sealed call events: peers' hex, every bit flipped, non-keys, the override; the rest is tests/interop's.
#include <gtest/gtest.h>
#include "vaultra/ecies.h"
#include "wallet/encoding.h"

namespace dialo {
namespace {
constexpr char kPriv[] = "d9845ee2e9e92ddf65f4b9ff067a27f420d6f51664e4143ff6e5961919dbc6a6";
constexpr char kPub[] = "02ded4e1e697bc768d79dd3f5c95cd56f332fdcf483c2a36933ba6c81d29bcf8b4";
std::string sealed(const std::string& plain) {
    std::string blob;
    EXPECT_TRUE(ecies_seal(plain, kPub, blob));
    return blob;
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
TEST(Ecies, ReadsHexAsPeersWriteItAndRefusesShortBlobsAndMalformedKeys) {
    const std::string blob = sealed("");
    EXPECT_NE(blob, sealed("")) << "a fresh ephemeral key each time";
    std::string upper = blob, out, bad;
    for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& text : {upper, "0x" + blob.substr(0, 50) + " \n\t" + blob.substr(50)}) {
        EXPECT_TRUE(ecies_unseal(text, std::string(" 0X") + kPriv, "", out)) << text;
        EXPECT_EQ(out, "");
    }
    EXPECT_FALSE(ecies_unseal(blob.substr(1), kPriv, "", out)) << "odd hex";
    EXPECT_FALSE(ecies_unseal(blob.substr(0, 168), kPriv, "", out)) << "84 bytes";
    for (const std::string& key : {std::string(kPriv).substr(2), std::string(kPriv) + "00"})
        EXPECT_FALSE(ecies_unseal(blob, key, "", out)) << key;
    EXPECT_FALSE(ecies_seal("x", "02zz", bad));
    EXPECT_FALSE(ecies_seal("x", "04" + std::string(kPub).substr(2), bad)) << "not a point";
    EXPECT_TRUE(bad.empty());
    // The override replaces only the key agreement; a too-short one is ignored.
    EXPECT_TRUE(ecies_unseal(blob, kPriv, blob.substr(8, 66), out));
    EXPECT_FALSE(ecies_unseal(blob, kPriv, kPub, out));
    EXPECT_TRUE(ecies_unseal(blob, kPriv, "02ab", out));
}
}  // namespace
}  // namespace dialo

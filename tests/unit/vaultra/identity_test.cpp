// Identity signatures as a peer checks them; many-key checks and low S are tests/interop's.
#include <gtest/gtest.h>
#include <secp256k1.h>
#include "support/wallet_doc.h"
#include "base/base64.h"
#include "vaultra/identity.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/secp256k1.h"
#include "wallet/wallet_state.h"

namespace dialo {
namespace {
constexpr char kIdentityPub[] = "02ded4e1e697bc768d79dd3f5c95cd56f332fdcf483c2a36933ba6c81d29bcf8b4";
constexpr char kIdentityPriv[] = "d9845ee2e9e92ddf65f4b9ff067a27f420d6f51664e4143ff6e5961919dbc6a6";
Hash256 digestOf(std::string_view message) {
    Hash256 d{};
    EXPECT_TRUE(signed_message_digest(message, d));
    return d;
}
// (r, s) of a signature over a digest, as the verifiers receive it.
Bytes rawSignature(const Hash256& digest) {
    Bytes priv = hex_decode(kIdentityPriv), sig(64);
    Scalar32 r{}, s{};
    EXPECT_TRUE(ecdsa_sign_rs(priv.data(), digest, r, s));
    std::copy(r.begin(), r.end(), sig.begin());
    std::copy(s.begin(), s.end(), sig.begin() + 32);
    return sig;
}
TEST(IdentitySign, NeedsAnHdWalletAndSignsWithItsIdentityKey) {
    std::string pub = "x", sig = "x", error, priv = "x", address;
    EXPECT_FALSE(identity_sign("hello", pub, sig, error));
    EXPECT_TRUE(sig.empty() && pub.empty());
    EXPECT_FALSE(identity_key_hex(priv, error));
    EXPECT_TRUE(priv.empty());
    {
        auto g = lockWallet();
        g.state.loaded = g.state.keys.hd = true;
        g.state.keys.mnemonic = test::kAbandon;
        ASSERT_TRUE(refresh_wallet_keys(g.state.keys));
    }
    ASSERT_TRUE(identity_key_hex(priv, error)) << error;
    EXPECT_EQ(priv, kIdentityPriv);
    const std::string msg = R"({"actor":"alice","id":"c1","kind":"invite","ts":1765000000})";
    ASSERT_TRUE(identity_sign(msg, pub, sig, error)) << error;
    EXPECT_EQ(pub, kIdentityPub);
    EXPECT_EQ(base64Decode(sig).size(), 64u) << "88 characters, no header byte";
    EXPECT_TRUE(verify_message(msg, pub, sig));
    EXPECT_FALSE(verify_message(msg, "03" + std::string(kIdentityPub).substr(2), sig)) << "the other key of that x";
    KeyTriple want;
    ASSERT_TRUE(derive_key(lockWallet().state.keys, wallet_path(kBnAccount, 0), want));
    ASSERT_TRUE(derive_bn_key(pub, priv, address, error)) << error;
    EXPECT_EQ(priv + address, want.priv + want.address);
}
TEST(VerifyMessage, AcceptsTheThreeDigestsAndTheEncodingsPeersSend) {
    const std::string msg = "hello peer";
    Hash256 once{}, twice{};
    ASSERT_TRUE(sha256(msg, once) && sha256(once.data(), once.size(), twice));
    for (const Hash256& d : {digestOf(msg), once, twice}) EXPECT_TRUE(verify_message(msg, kIdentityPub, base64Encode(rawSignature(d))));
    const Bytes good = rawSignature(digestOf(msg));
    const std::string sig = base64Encode(good);
    // High S is a valid ECDSA signature too; peers are not required to normalise.
    Bytes high = good;
    ASSERT_EQ(secp256k1_ec_seckey_negate(secp256k1_context_static, high.data() + 32), 1) << "s := n - s";
    ASSERT_FALSE(is_low_s(high.data() + 32));
    EXPECT_TRUE(verify_message(msg, kIdentityPub, base64Encode(high)));
    // White space and "=" anywhere are skipped; the key may carry blanks and 0x.
    EXPECT_TRUE(verify_message(msg, std::string(" 0X") + kIdentityPub + "\n", sig.substr(0, 20) + " \n=" + sig.substr(20)));
    Bytes offCurve = hex_decode(kIdentityPub);
    offCurve[0] = 0x04;
    const std::pair<std::string, std::string> refused[] = {
        {kIdentityPub, sig.substr(0, 10) + "-" + sig.substr(11)}, {kIdentityPub, base64Encode(Bytes(63, 1))},
        {kIdentityPub, base64Encode(Bytes(66, 1))}, {std::string(kIdentityPub).substr(1), sig}, {"", sig}, {hex_encode(offCurve), sig}};
    for (const auto& [pub, bad] : refused) EXPECT_FALSE(verify_message(msg, pub, bad)) << pub << " " << bad;
    for (size_t bit = 0; bit < good.size() * 8; ++bit) {
        Bytes bad = good;
        bad[bit / 8] ^= uint8_t(1u << (bit % 8));
        EXPECT_FALSE(verify_message(msg, kIdentityPub, base64Encode(bad))) << "bit " << bit;
    }
}
TEST(PublicKeys, NormaliseToOneCompressedText) {
    Bytes compressed = hex_decode(kIdentityPub);
    PubKey65 point{};
    ASSERT_TRUE(uncompress_public_key(compressed.data(), compressed.size(), point));
    Bytes full(point.begin(), point.end());
    EXPECT_EQ(normalize_pubkey(full), kIdentityPub);
    full[64] ^= 1;
    for (const Bytes& bad : {full, Bytes(64, 2)}) EXPECT_EQ(normalize_pubkey(bad), "") << "off the curve, or no key";
    Bytes out;  // hex keys take blanks and 0x at the ends only
    ASSERT_TRUE(parse_hex_trimmed("  0XAbCd \n", out));
    EXPECT_EQ(out, (Bytes{0xab, 0xcd}));
    for (const char* bad : {"ab cd", "abc", "0x0x00"}) EXPECT_FALSE(parse_hex_trimmed(bad, out)) << bad;
}
}  // namespace
}  // namespace dialo

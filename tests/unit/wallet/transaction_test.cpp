// The bytes that go on chain: fees, input selection, change and signatures a node will check.
#include <gtest/gtest.h>
#include <tuple>
#include "support/wallet_doc.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/secp256k1.h"
#include "wallet/transaction.h"

namespace dialo {
namespace {
// Hash160s of keys 1 and 2, written out: nothing may hash before a digest-failure test begins.
Hash160 hashFromHex(const char* hex) {
    Hash160 h{};
    Bytes b = hex_decode(hex);
    std::copy(b.begin(), b.end(), h.begin());
    return h;
}
const Hash160 kDest = hashFromHex("751e76e8199196d454941c45d1b3a323f1433bd6");
const Hash160 kChange = hashFromHex("06afd46bcdfd22ef94ac122aa11f241244a37ecc");
Coin coin(char fill, int64_t sats, uint32_t vout = 0) {
    Coin c;
    std::tie(c.txid, c.vout, c.sats) = std::tuple(std::string(64, fill), vout, sats);
    return c;
}
TEST(Transaction, FeeIsRoundedUpPerByte) {
    // A rate below 1 counts as 1; an empty transaction still costs 1.
    const struct {
        int64_t size, rate, fee;
    } cases[] = {{225, 1, 1}, {225, 100, 23}, {1000, 1, 1}, {1001, 1, 2}, {225, 0, 1}, {0, 500, 1}};
    for (const auto& c : cases) EXPECT_EQ(fee_for_size(c.size, c.rate), c.fee) << c.size << " bytes at " << c.rate;
}
// What @bsv/sdk never sends or asks for; the rest is tests/interop's.
TEST(Transaction, BuilderTakesForcedCoinsFirstPassesOverBadTxidsAndSaysWhatIsWrong) {
    const TxOutput pay{1000, p2pkh_script(kDest)};
    Coin shortTxid = coin('z', 50000);
    shortTxid.txid.pop_back();
    const struct {
        const char* name;
        std::vector<Coin> coins;
        size_t forced;
        std::vector<TxOutput> requested;
        std::string picked;         // first characters of the txids spent, in order
        std::vector<int64_t> outs;  // the payment, then the change
        std::string error;
    } cases[] = {
        {"a forced coin comes first even when another would do alone", {coin('a', 1), coin('b', 50000), coin('c', 900)},
         1, {pay}, "ab", {1000, 49000}, ""},
        {"a coin whose txid is not 32 bytes is passed over", {shortTxid, coin('b', 50000)}, 0, {pay}, "b", {1000, 48999}, ""},
        {"a forced coin that cannot be spent", {shortTxid, coin('b', 50000)}, 1, {pay}, "", {}, "could not include inscription input."},
        {"a negative amount", {coin('a', 5000)}, 0, {{-1, p2pkh_script(kDest)}}, "", {}, "invalid inscription output."},
        {"an output without a script", {coin('a', 5000)}, 0, {{1, {}}}, "", {}, "invalid inscription output."},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TxOutput> outs;
        int64_t fee = 0;
        std::string error, picked;
        EXPECT_EQ(build_tx(c.coins, outs, kChange, c.requested, fee, error, c.forced, 1), c.error.empty());
        EXPECT_EQ(error, c.error);
        if (!c.error.empty()) continue;
        std::vector<int64_t> sats;
        for (const Coin& k : c.coins) picked += k.txid[0];
        for (const TxOutput& o : outs) sats.push_back(o.sats);
        EXPECT_EQ(picked, c.picked);
        EXPECT_EQ(sats, c.outs);
    }
}
// The sighash byte and refusals; the signature itself is judged by @bsv/sdk in tests/interop.
TEST(Transaction, SignedInputEndsWithTheForkIdSighashAndRefusesWhatItCannotSign) {
    WalletKeys keys;
    keys.hd = true;
    keys.mnemonic = test::kAbandon;
    KeyTriple k;
    ASSERT_TRUE(derive_key(keys, wallet_path(1, 0), k));
    Hash160 owner{};
    ASSERT_TRUE(decode_p2pkh_address(k.address, owner));
    std::vector<Coin> in{coin('a', 5000, 1)};
    std::vector<TxOutput> out{{4000, p2pkh_script(kDest)}};
    std::string error;
    ASSERT_TRUE(sign_input(in[0], in, out, owner, k.priv, k.pub, error)) << error;
    const Bytes& u = in[0].unlocking;
    EXPECT_EQ(u[u[0]], kSighashAllForkId) << "the sighash byte ends the signature push";
    Coin stranger = coin('c', 1);
    EXPECT_FALSE(sign_input(stranger, in, out, owner, k.priv, k.pub, error)) << "not among the inputs";
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(sign_input(in[0], in, out, owner, k.priv, k.pub.substr(2), error)) << "bad public key";
    Hash256 digest{};
    EXPECT_FALSE(signature_hash(in, 1, out, p2pkh_script(owner), digest)) << "no input 1";
}
// RFC 6979 "Satoshi Nakamoto" vector (bitcoinjs-lib's ecdsa fixtures).
TEST(Transaction, SignaturesUseTheRfc6979NonceAndTheLowS) {
    Hash256 digest{};
    ASSERT_TRUE(sha256(std::string_view("Satoshi Nakamoto"), digest));
    Scalar32 r{}, s{};
    const Bytes rb = hex_decode("934b1ea10a4b3c1757e2b0c017d0b6143ce3c9a7e6a4a49860d7a6ab210ee3d8"),
                sb = hex_decode("2442ce9d2b916064108014783e923ec36b49743e2ffa1c4496f01a512aafd9e5");
    std::copy(rb.begin(), rb.end(), r.begin());
    std::copy(sb.begin(), sb.end(), s.begin());
    Bytes der;
    ASSERT_TRUE(sign_ecdsa(std::string(63, '0') + "1", digest, der));
    EXPECT_EQ(hex_encode(der), hex_encode(der_encode_signature(r, s)));
    // The low half ends at n/2 rounded down, (n - 1)/2.
    Bytes half = hex_decode("7fffffffffffffffffffffffffffffff5d576e7357a4501ddfe92f46681b20a0");
    EXPECT_TRUE(is_low_s(half.data()));
    half[31] += 1;
    EXPECT_FALSE(is_low_s(half.data()));
    der.clear();
    EXPECT_FALSE(sign_ecdsa(std::string(64, '0'), Hash256{}, der)) << "zero is not a key";
    EXPECT_FALSE(sign_ecdsa("fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141", Hash256{}, der))
        << "n is not a key";
    EXPECT_TRUE(der.empty());
}
}  // namespace
}  // namespace dialo

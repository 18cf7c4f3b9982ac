// The bytes that go on chain: pushes, data outputs, fees, input selection, change and
// signatures a node will check.

#include <gtest/gtest.h>

#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/secp256k1.h"
#include "wallet/transaction.h"

namespace dialo {
namespace {

// Hash160s of 1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH and 1cMh228HTCiwS8ZsaakH8A8wze1JR5ZsP (the keys
// 1 and 2), written out: nothing may hash before a test of digest failures has begun.
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
    c.txid = std::string(64, fill);
    c.vout = vout;
    c.sats = sats;
    return c;
}

// Size of the estimate form: 10 bytes of frame, 148 per input, 34 per P2PKH output.
constexpr int64_t kOneInOneOut = 192;

TEST(Transaction, PushFormsChangeAtEachLengthBoundary) {
    auto prefix = [](size_t n) {
        Bytes s = data_output_script(std::string(n, 'x'));
        EXPECT_EQ(s.size() - n, n < 76 ? 3u : n < 256 ? 4u : n <= 65535 ? 5u : 7u) << n;
        return hex_encode(Bytes(s.begin(), s.begin() + ptrdiff_t(s.size() - n)));
    };
    EXPECT_EQ(prefix(0), "006a00");
    EXPECT_EQ(prefix(1), "006a01");
    EXPECT_EQ(prefix(75), "006a4b");
    EXPECT_EQ(prefix(76), "006a4c4c");
    EXPECT_EQ(prefix(255), "006a4cff");
    EXPECT_EQ(prefix(256), "006a4d0001");
    EXPECT_EQ(prefix(300), "006a4d2c01");
    EXPECT_EQ(prefix(65535), "006a4dffff");
    EXPECT_EQ(prefix(65536), "006a4e00000100");
}

TEST(Transaction, FeeIsRoundedUpPerByte) {
    EXPECT_EQ(fee_for_size(225, 1), 1);
    EXPECT_EQ(fee_for_size(225, 100), 23);
    EXPECT_EQ(fee_for_size(1000, 1), 1);
    EXPECT_EQ(fee_for_size(1001, 1), 2);
    EXPECT_EQ(fee_for_size(225, 0), 1) << "a rate below 1 counts as 1";
    EXPECT_EQ(fee_for_size(0, 500), 1) << "an empty transaction still costs 1";
}

TEST(Transaction, SerialisesAndParsesBackWhole) {
    std::vector<Coin> in{coin('A', 5000, 3)};
    in[0].unlocking = {0x01, 0x02};
    std::vector<TxOutput> out{{1234, p2pkh_script(kDest)}, {0, data_output_script("hello")}};
    Bytes raw = serialize_tx(in, out, false);
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(hex_encode(Bytes(raw.begin(), raw.begin() + 5)), "0100000001");
    ParsedTx p;
    ASSERT_TRUE(parse_tx(raw, p));
    EXPECT_EQ(p.inputs[0].prevTxid, std::string(64, 'a')) << "upper-case txid read case-insensitively";
    EXPECT_EQ(p.inputs[0].vout, 3u);
    EXPECT_EQ(p.inputs[0].script, in[0].unlocking);
    EXPECT_EQ(p.inputs[0].sequence, 0xFFFFFFFFu);
    ASSERT_EQ(p.outputs.size(), 2u);
    EXPECT_EQ(p.outputs[0].sats, 1234);
    EXPECT_EQ(p.outputs[1].locking, out[1].locking);

    EXPECT_EQ(int64_t(serialize_tx(in, {out[0]}, true).size()), kOneInOneOut);
    raw.push_back(0);
    EXPECT_FALSE(parse_tx(raw, p)) << "trailing bytes";
    raw.resize(raw.size() - 3);
    EXPECT_FALSE(parse_tx(raw, p)) << "cut short";
    in[0].txid.pop_back();
    EXPECT_TRUE(serialize_tx(in, out, false).empty()) << "a txid that is not 32 bytes";
}

TEST(Transaction, PaymentSelectsInOrderAndSkipsBadTxids) {
    std::vector<Coin> coins{coin('a', 400), coin('b', 500), coin('c', 700), coin('d', 10000)};
    coins[0].txid.pop_back();  // 63 characters: skipped
    coins[1].txid = std::string(64, 'B');
    std::vector<TxOutput> outs;
    int64_t fee = 0;
    std::string error;
    ASSERT_TRUE(build_payment_tx(coins, kDest, kChange, 1000, "", outs, fee, error)) << error;
    ASSERT_EQ(coins.size(), 2u) << "stops at the first coin that makes the total";
    EXPECT_EQ(coins[0].txid, std::string(64, 'B'));
    EXPECT_EQ(coins[1].txid, std::string(64, 'c'));
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].sats, 1000);
    EXPECT_EQ(outs[0].locking, p2pkh_script(kDest));
    // Two inputs, two outputs: 374 bytes at 100 sat/kB.
    EXPECT_EQ(fee, 38);
    EXPECT_EQ(outs[1].sats, 1200 - 1000 - 38);
    EXPECT_EQ(outs[1].locking, p2pkh_script(kChange));
}

TEST(Transaction, ForcedCoinsComeFirstAndChangeIsKeptOnlyWhenItStillPays) {
    // One input: 192 bytes without change (20 satoshis at rate 100), 226 with (23).
    const struct {
        const char* name;
        std::vector<Coin> coins;
        size_t forced;
        int64_t rate;
        std::string picked;         // fills of the txids spent, in order
        std::vector<int64_t> outs;  // the payment, then the change if any
    } cases[] = {
        {"at rate 1 the change output does not raise the fee: 1 satoshi of change stays", {coin('a', 1002)}, 0, 1, "a",
         {1000, 1}},
        {"at rate 100 a surplus of 1 goes to the miners", {coin('a', 1021)}, 0, 100, "a", {1000}},
        {"exactly the change output's own fee: change of 0 is dropped too", {coin('a', 1023)}, 0, 100, "a", {1000}},
        {"a forced coin comes first even when another would do alone", {coin('a', 1), coin('b', 50000), coin('c', 900)}, 1,
         1, "ab", {1000, 49000}},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TxOutput> outs;
        int64_t fee = 0;
        std::string error, picked;
        ASSERT_TRUE(build_tx(c.coins, outs, kChange, {{1000, p2pkh_script(kDest)}}, fee, error, c.forced, c.rate)) << error;
        for (const Coin& k : c.coins) picked += k.txid[0];
        EXPECT_EQ(picked, c.picked);
        std::vector<int64_t> sats;
        for (const TxOutput& o : outs) sats.push_back(o.sats);
        EXPECT_EQ(sats, c.outs);
    }
}

TEST(Transaction, BuilderErrorsSayWhatIsWrong) {
    std::vector<TxOutput> outs;
    int64_t fee = -1;
    std::string error;
    std::vector<Coin> coins{coin('a', 100), coin('b', 200)};
    EXPECT_FALSE(build_tx(coins, outs, kChange, {}, fee, error, 0, 1));
    EXPECT_EQ(error, "nothing to pay.");
    EXPECT_FALSE(build_tx(coins, outs, kChange, {{-1, p2pkh_script(kDest)}}, fee, error, 0, 1));
    EXPECT_EQ(error, "invalid inscription output.");
    EXPECT_FALSE(build_tx(coins, outs, kChange, {{1, {}}}, fee, error, 0, 1));
    EXPECT_EQ(error, "invalid inscription output.");

    std::vector<Coin> forced{coin('a', 100)};
    forced[0].txid = "zz";
    EXPECT_FALSE(build_tx(forced, outs, kChange, {{1, p2pkh_script(kDest)}}, fee, error, 1, 1));
    EXPECT_EQ(error, "could not include inscription input.");

    // Not enough: the last fee and the total of every usable candidate.
    EXPECT_FALSE(build_tx(coins, outs, kChange, {{5000, p2pkh_script(kDest)}}, fee, error, 0, 100));
    EXPECT_EQ(coins.size(), 2u);
    int64_t twoInOneOut = 10 + 2 * 148 + 34;
    EXPECT_EQ(fee, fee_for_size(twoInOneOut, 100));
    EXPECT_EQ(error, "insufficient funds. Need " + std::to_string(5000 + fee) + " sats, you have 300 in your Vaultra wallet.");
}

// The signature itself (DER, low S, the fork-id digest) is judged by @bsv/sdk's interpreter in
// tests/interop; here: the push layout, that the digest commits to the outputs, and refusals.
TEST(Transaction, SignedInputCommitsToTheOutputsAndRefusesWhatItCannotSign) {
    WalletKeys keys;
    keys.hd = true;
    keys.mnemonic = "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";
    KeyTriple k;
    ASSERT_TRUE(derive_key(keys, wallet_path(1, 0), k));
    Hash160 owner{};
    ASSERT_TRUE(decode_p2pkh_address(k.address, owner));
    std::vector<Coin> in{coin('a', 5000, 1), coin('b', 7000, 0)};
    std::vector<TxOutput> out{{11000, p2pkh_script(kDest)}};
    std::string error;
    ASSERT_TRUE(sign_input(in[1], in, out, owner, k.priv, k.pub, error)) << error;
    const Bytes& u = in[1].unlocking;
    ASSERT_EQ(u[u[0]], kSighashAllForkId) << "sighash byte ends the signature push";
    ASSERT_EQ(u[u[0] + 1], 33);
    EXPECT_EQ(hex_encode(Bytes(u.begin() + u[0] + 2, u.end())), k.pub);
    Hash256 digest{}, other{};
    ASSERT_TRUE(signature_hash(in, 1, out, p2pkh_script(owner), digest));
    out[0].sats -= 1;
    ASSERT_TRUE(signature_hash(in, 1, out, p2pkh_script(owner), other));
    EXPECT_NE(digest, other) << "the digest commits to the outputs";

    Coin stranger = coin('c', 1);
    EXPECT_FALSE(sign_input(stranger, in, out, owner, k.priv, k.pub, error)) << "not among the inputs";
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(sign_input(in[0], in, out, owner, k.priv, k.pub.substr(2), error)) << "bad public key";
    EXPECT_FALSE(signature_hash(in, 2, out, p2pkh_script(owner), digest)) << "no input 2";
}

// Deterministic nonces (RFC 6979 with HMAC-SHA256) over SHA-256 of the message, as in the
// "Satoshi Nakamoto" vectors that Bitcoin libraries share (bitcoinjs-lib's ecdsa fixtures).
TEST(Transaction, SignaturesUseTheRfc6979NonceAndTheLowS) {
    struct Vector {
        const char* priv;
        const char* message;
        const char* r;
        const char* s;
    };
    const Vector vectors[] = {
        {"0000000000000000000000000000000000000000000000000000000000000001", "Satoshi Nakamoto",
         "934b1ea10a4b3c1757e2b0c017d0b6143ce3c9a7e6a4a49860d7a6ab210ee3d8",
         "2442ce9d2b916064108014783e923ec36b49743e2ffa1c4496f01a512aafd9e5"},
        {"0000000000000000000000000000000000000000000000000000000000000001",
         "All those moments will be lost in time, like tears in rain. Time to die...",
         "8600dbd41e348fe5c9465ab92d23e3db8b98b873beecd930736488696438cb6b",
         "547fe64427496db33bf66019dacbf0039c04199abb0122918601db38a72cfc21"},
    };
    for (const Vector& v : vectors) {
        Hash256 digest{};
        ASSERT_TRUE(sha256(std::string_view(v.message), digest));
        Scalar32 r{}, s{};
        const Bytes rb = hex_decode(v.r), sb = hex_decode(v.s);
        std::copy(rb.begin(), rb.end(), r.begin());
        std::copy(sb.begin(), sb.end(), s.begin());
        Bytes der, again;
        ASSERT_TRUE(sign_ecdsa(v.priv, digest, der)) << v.message;
        EXPECT_EQ(hex_encode(der), hex_encode(der_encode_signature(r, s))) << v.message;
        ASSERT_TRUE(sign_ecdsa(v.priv, digest, again));
        EXPECT_EQ(der, again) << "the same digest and key always give the same signature";
    }
    // The low half ends at n/2 rounded down, (n - 1)/2.
    Bytes half = hex_decode("7fffffffffffffffffffffffffffffff5d576e7357a4501ddfe92f46681b20a0");
    EXPECT_TRUE(is_low_s(half.data()));
    half[31] += 1;
    EXPECT_FALSE(is_low_s(half.data()));
    Bytes der;
    EXPECT_FALSE(sign_ecdsa(std::string(64, '0'), Hash256{}, der)) << "zero is not a key";
    EXPECT_FALSE(sign_ecdsa("fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141", Hash256{}, der))
        << "n is not a key";
    EXPECT_TRUE(der.empty());
}

}  // namespace
}  // namespace dialo

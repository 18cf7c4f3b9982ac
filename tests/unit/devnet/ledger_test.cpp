// The ledger judges as a node does: a skipped rule would let wallet tests pass a bad transaction.
#include <algorithm>
#include <functional>
#include <secp256k1.h>
#include "support/devnet_fixture.h"
#include "wallet/secp256k1.h"

namespace dialo::devnet::test {
namespace {
class DevnetLedgerTest : public DevnetTest {};
// Signs every input with `k`'s key, whoever owns the coin, without the builder's checks.
Bytes signedAs(std::vector<Coin> coins, const std::vector<TxOutput>& outputs, const Key& k) {
    std::string error;
    for (Coin& c : coins) EXPECT_TRUE(sign_input(c, coins, outputs, c.owner, k.priv, k.pub, error)) << error;
    return serialize_tx(coins, outputs, false);
}
// The transaction with each input's unlocking script remade from its signature and key.
Bytes reUnlocked(const Bytes& raw, const std::function<Bytes(Bytes sig, const Bytes& pub)>& remake) {
    ParsedTx tx;
    EXPECT_TRUE(parse_tx(raw, tx));
    std::vector<Coin> inputs;
    for (const ParsedInput& in : tx.inputs) {
        const Bytes& s = in.script;
        Coin c;
        c.txid = in.prevTxid;
        c.vout = in.vout;
        c.unlocking = remake(Bytes(s.begin() + 1, s.begin() + 1 + s[0]), Bytes(s.begin() + 1 + s[0], s.end()));
        inputs.push_back(std::move(c));
    }
    return serialize_tx(inputs, tx.outputs, false);
}
// The signature pushed with OP_PUSHDATA1 (0x4C) where a one-byte push does.
Bytes pushData1(Bytes sig, const Bytes& pub) {
    Bytes out = {0x4C, uint8_t(sig.size())};
    out.insert(out.end(), sig.begin(), sig.end());
    out.insert(out.end(), pub.begin(), pub.end());
    return out;
}
// s replaced by n - s: still valid ECDSA, but the malleable form a node refuses.
Bytes highS(Bytes sig, const Bytes& pub) {
    Scalar32 r{}, s{};
    const size_t rlen = sig[3], slen = sig[5 + rlen];
    const uint8_t* rp = sig.data() + 4;
    const uint8_t* sp = sig.data() + 6 + rlen;
    std::copy(rp + (rlen > 32 ? rlen - 32 : 0), rp + rlen, r.end() - std::min<size_t>(rlen, 32));
    std::copy(sp + (slen > 32 ? slen - 32 : 0), sp + slen, s.end() - std::min<size_t>(slen, 32));
    EXPECT_TRUE(is_low_s(s.data()));
    EXPECT_EQ(secp256k1_ec_seckey_negate(secp256k1_context_static, s.data()), 1);
    Bytes high = der_encode_signature(r, s);
    high.push_back(kSighashAllForkId);
    Bytes out = {uint8_t(high.size())};
    out.insert(out.end(), high.begin(), high.end());
    out.insert(out.end(), pub.begin(), pub.end());
    return out;
}
TEST_F(DevnetLedgerTest, RefusesWhatANodeRefusesAndKeepsNothingOfIt) {
    start();
    const Key alice = keyOf('1'), bob = keyOf('2'), carol = keyOf('3'), mallory = keyOf('4');
    constexpr int64_t kMaxMoney = 2100000000000000LL;  // 21,000,000 BSV in satoshis
    auto spend = [&](const Coin& coin, const Key& to = keyOf('2')) { return buildSigned({coin}, {payTo(to, 1000)}, alice); };
    // Each case gets a fresh confirmed coin; `coinLeft`: it can still be spent honestly afterwards.
    const struct {
        const char* what;
        std::function<Bytes(const Coin&)> build;
        Reject reject;
        const char* reason;
        bool coinLeft;
    } cases[] = {
        {"second spend of a coin spent in the mempool",
         [&](const Coin& c) { EXPECT_EQ(submitWoc(spend(c)).status, 200); return spend(c, carol); },
         Reject::Conflict, "txn-mempool-conflict", false},
        {"spend of a coin spent in a block",
         [&](const Coin& c) { EXPECT_EQ(submitWoc(spend(c)).status, 200); mine(); return spend(c, carol); },
         Reject::MissingInputs, "Missing inputs", false},
        {"resubmission", [&](const Coin& c) { Bytes raw = spend(c); EXPECT_EQ(submitWoc(raw).status, 200); return raw; },
         Reject::AlreadyKnown, "txn-already-known", false},
        {"signature by another key", [&](const Coin& c) { return signedAs({c}, {payTo(mallory, 9000)}, mallory); },
         Reject::BadScript, "mandatory-script-verify-flag-failed", true},
        {"payment redirected after signing",
         [&](const Coin& c) {
             Bytes raw = spend(c), from = p2pkh_script(bob.hash), to = p2pkh_script(mallory.hash);
             auto at = std::search(raw.begin(), raw.end(), from.begin(), from.end());
             EXPECT_NE(at, raw.end());
             if (at != raw.end()) std::copy(to.begin(), to.end(), at);
             return raw;
         },
         Reject::BadScript, "mandatory-script-verify-flag-failed", true},
        {"outputs above the inputs, signed over the wrong amount",
         [&](const Coin& c) { Coin inflated = c; inflated.sats = 20000; return signedAs({inflated}, {payTo(bob, 15000)}, alice); },
         Reject::BelowOut, "bad-txns-in-belowout", true},
        {"no fee at all", [&](const Coin& c) { return signedAs({c}, {payTo(bob, 10000)}, alice); },
         Reject::LowFee, "min relay fee not met", true},
        {"one coin spent twice in one transaction", [&](const Coin& c) { return signedAs({c, c}, {payTo(bob, 15000)}, alice); },
         Reject::Malformed, "bad-txns-inputs-duplicate", true},
        {"4,400 outputs of 21,000,000 BSV whose total wraps",
         [&](const Coin& c) { return signedAs({c}, std::vector<TxOutput>(4400, payTo(bob, kMaxMoney)), alice); },
         Reject::Malformed, "bad-txns-txouttotal-toolarge", true},
        {"inputs worth more than 21,000,000 BSV",
         [&](const Coin&) { return signedAs({fund(alice, kMaxMoney), fund(alice, kMaxMoney)}, {payTo(bob, 1000)}, alice); },
         Reject::Malformed, "bad-txns-inputvalues-outofrange", true},
        {"signature pushed with OP_PUSHDATA1", [&](const Coin& c) { return reUnlocked(spend(c), pushData1); },
         Reject::BadScript, "Data push larger than necessary", true},
        {"signature with the high S", [&](const Coin& c) { return reUnlocked(spend(c), highS); },
         Reject::BadScript, "S value is unnecessarily high", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Coin coin = fund(alice, 10000);
        Bytes raw = c.build(coin);
        const int64_t before = devnet.ledger().status().mempool;
        Reply r = submitWoc(raw);
        EXPECT_EQ(r.status, 400);
        EXPECT_NE(r.body.find(c.reason), std::string::npos) << r.body;
        EXPECT_EQ(devnet.ledger().submit(raw).reject, c.reject);
        EXPECT_EQ(devnet.ledger().status().mempool, before) << "nothing of a refused transaction is kept";
        if (c.coinLeft) {
            EXPECT_TRUE(devnet.ledger().submit(spend(coin)).accepted);
        }
    }
}
TEST_F(DevnetLedgerTest, FeeBelowMinimumRateIsRefused) {
    options.minFeeRate = 500;  // satoshis per 1000 bytes
    start();
    Key alice = keyOf('1'), bob = keyOf('2');
    Coin coin = fund(alice, 100000);
    Reply cheap = submitWoc(buildSigned({coin}, {payTo(bob, 1000)}, alice, 1));
    EXPECT_EQ(cheap.status, 400);
    EXPECT_NE(cheap.body.find("min relay fee not met"), std::string::npos) << cheap.body;
    EXPECT_EQ(submitWoc(buildSigned({coin}, {payTo(bob, 1000)}, alice, 500)).status, 200);
}
}  // namespace
}  // namespace dialo::devnet::test

// The devnet's ledger judges transactions the way a node does: valid P2PKH spends signed by
// our own builder go in; double spends, forged or tampered signatures, missing inputs and
// fees below the minimum stay out; and everything survives a restart.

#include <algorithm>
#include <functional>

#include "devnet_fixture.h"

namespace dialo::devnet::test {
namespace {

class DevnetLedgerTest : public DevnetTest {};

TEST_F(DevnetLedgerTest, AcceptsTransactionSignedByOurBuilder) {
    start();
    Key alice = keyOf('1'), bob = keyOf('2');
    Coin coin = fund(alice, 10000);
    Bytes raw = buildSigned({coin}, {payTo(bob, 1000), {0, data_output_script("OV-Dialo hello")}}, alice);

    Reply r = submitOracle(raw);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.j["ok"], true);
    EXPECT_EQ(r.j["txid"], txid_of(raw));

    Reply hex = woc("/tx/" + txid_of(raw) + "/hex");
    ASSERT_EQ(hex.status, 200);
    EXPECT_EQ(hex.body, hex_encode(raw));
}

TEST_F(DevnetLedgerTest, RefusesWhatANodeRefusesAndKeepsNothingOfIt) {
    start();
    const Key alice = keyOf('1'), bob = keyOf('2'), carol = keyOf('3'), mallory = keyOf('4');
    // Each case gets a fresh confirmed coin of alice's and returns the transaction to judge.
    struct Case {
        const char* what;
        std::function<Bytes(const Coin&)> build;
        Reject reject;
        const char* reason;
    };
    // Signs every input with `k`'s key, whoever owns the coin.
    auto signedAs = [](std::vector<Coin> coins, const std::vector<TxOutput>& outputs, const Key& k) {
        std::string error;
        for (Coin& c : coins) EXPECT_TRUE(sign_input(c, coins, outputs, c.owner, k.priv, k.pub, error)) << error;
        return serialize_tx(coins, outputs, false);
    };
    const std::vector<Case> cases = {
        {"second spend of a coin spent in the mempool",
         [&](const Coin& coin) {
             EXPECT_EQ(submitWoc(buildSigned({coin}, {payTo(bob, 1000)}, alice)).status, 200);
             return buildSigned({coin}, {payTo(carol, 1000)}, alice);
         },
         Reject::Conflict, "txn-mempool-conflict"},
        {"spend of a coin spent in a block",
         [&](const Coin& coin) {
             EXPECT_EQ(submitWoc(buildSigned({coin}, {payTo(bob, 1000)}, alice)).status, 200);
             mine();
             return buildSigned({coin}, {payTo(bob, 2000)}, alice);
         },
         Reject::MissingInputs, "Missing inputs"},
        {"resubmission",
         [&](const Coin& coin) {
             Bytes raw = buildSigned({coin}, {payTo(bob, 1000)}, alice);
             EXPECT_EQ(submitWoc(raw).status, 200);
             return raw;
         },
         Reject::AlreadyKnown, "txn-already-known"},
        {"input that does not exist",
         [&](const Coin&) { return buildSigned({coinOf(alice, std::string(63, 'a') + "b", 0, 10000)}, {payTo(bob, 1000)}, alice); },
         Reject::MissingInputs, "Missing inputs"},
        {"flipped bit in the signature's r",
         [&](const Coin& coin) {
             Bytes raw = buildSigned({coin}, {payTo(bob, 1000)}, alice);
             // The unlocking script starts after version (4), input count (1), outpoint (36) and
             // its length (1): push length, 30, length, 02, r length, then r.
             raw[4 + 1 + 36 + 1 + 1 + 4 + 3] ^= 0x01;
             return raw;
         },
         Reject::BadScript, "mandatory-script-verify-flag-failed"},
        {"signature by another key",
         [&](const Coin& coin) { return signedAs({coin}, {payTo(mallory, 9000)}, mallory); },
         Reject::BadScript, "mandatory-script-verify-flag-failed"},
        {"payment redirected after signing",
         [&](const Coin& coin) {
             Bytes raw = buildSigned({coin}, {payTo(bob, 1000)}, alice);
             Bytes from = p2pkh_script(bob.hash), to = p2pkh_script(mallory.hash);  // same length
             auto at = std::search(raw.begin(), raw.end(), from.begin(), from.end());
             EXPECT_NE(at, raw.end());
             if (at != raw.end()) std::copy(to.begin(), to.end(), at);
             return raw;
         },
         Reject::BadScript, "mandatory-script-verify-flag-failed"},
        {"outputs above the inputs, signed over the wrong amount",
         [&](const Coin& coin) {
             Coin inflated = coin;
             inflated.sats = 20000;
             return signedAs({inflated}, {payTo(bob, 15000)}, alice);
         },
         Reject::BelowOut, "bad-txns-in-belowout"},
        {"no fee at all (every satoshi out)",
         [&](const Coin& coin) { return signedAs({coin}, {payTo(bob, 10000)}, alice); },
         Reject::LowFee, "min relay fee not met"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Coin coin = fund(alice, 10000);
        Bytes raw = c.build(coin);
        const int64_t before = devnet.ledger().status().mempool;
        Reply r = submitWoc(raw);
        EXPECT_EQ(r.status, 400);
        EXPECT_NE(r.body.find(c.reason), std::string::npos) << r.body;
        SubmitResult judged = devnet.ledger().submit(raw);
        EXPECT_FALSE(judged.accepted);
        EXPECT_EQ(judged.reject, c.reject) << judged.reason;
        EXPECT_EQ(devnet.ledger().status().mempool, before) << "nothing of a refused transaction is kept";
        if (c.reject == Reject::MissingInputs) {
            Reply oracle = submitOracle(raw);
            EXPECT_EQ(oracle.j["ok"], false);
            EXPECT_EQ(oracle.j["error"], "Missing inputs");
        }
        // A coin that only a refused transaction tried to spend is still there to spend honestly.
        if (c.reject == Reject::BadScript || c.reject == Reject::BelowOut || c.reject == Reject::LowFee) {
            EXPECT_TRUE(devnet.ledger().submit(buildSigned({coin}, {payTo(bob, 1000)}, alice)).accepted);
        }
    }
}

// The same transaction with each input's unlocking script replaced.
Bytes withUnlocking(const Bytes& raw, const std::function<Bytes(const Bytes&)>& change) {
    ParsedTx tx;
    EXPECT_TRUE(parse_tx(raw, tx));
    std::vector<Coin> inputs;
    for (const ParsedInput& in : tx.inputs) {
        Coin c;
        c.txid = in.prevTxid;
        c.vout = in.vout;
        c.unlocking = change(in.script);
        inputs.push_back(std::move(c));
    }
    return serialize_tx(inputs, tx.outputs, false);
}

TEST_F(DevnetLedgerTest, RefusesMalformedAndOversizedTransactions) {
    start();
    Key alice = keyOf('1'), bob = keyOf('2');
    constexpr int64_t kMaxMoney = 2100000000000000LL;  // 21,000,000 BSV in satoshis
    // Signed by alice for every input; the node's checks come before or after the signature.
    auto signedRaw = [&alice](std::vector<Coin> coins, const std::vector<TxOutput>& outputs) {
        std::string error;
        for (Coin& c : coins) EXPECT_TRUE(sign_input(c, coins, outputs, alice.hash, alice.priv, alice.pub, error)) << error;
        return serialize_tx(coins, outputs, false);
    };
    const Coin coin = fund(alice, 10000);
    const Bytes honest = buildSigned({coin}, {payTo(bob, 1000)}, alice);
    // Our builder pushes a signature of about 72 bytes and a 33-byte key, each with one length byte.
    auto longPushes = [](uint8_t sigOp, uint8_t pubOp) {
        return [sigOp, pubOp](const Bytes& s) {
            Bytes sig(s.begin() + 1, s.begin() + 1 + s[0]), pub(s.begin() + 2 + s[0], s.end());
            Bytes out;
            auto put = [&out](uint8_t op, const Bytes& data) {
                out.push_back(op);
                if (op == 0x4C) out.push_back(uint8_t(data.size()));
                if (op == 0x4D) out.insert(out.end(), {uint8_t(data.size()), 0});
                out.insert(out.end(), data.begin(), data.end());
            };
            put(sigOp, sig);
            put(pubOp, pub);
            return out;
        };
    };

    const struct {
        const char* what;
        std::function<Bytes()> raw;
        const char* reason;
    } cases[] = {
        {"one coin spent twice in one transaction", [&] { return signedRaw({coin, coin}, {payTo(bob, 15000)}); },
         "bad-txns-inputs-duplicate"},
        {"4,400 outputs of 21,000,000 BSV whose total wraps",
         [&] { return signedRaw({coin}, std::vector<TxOutput>(4400, payTo(bob, kMaxMoney))); },
         "bad-txns-txouttotal-toolarge"},
        {"two outputs of 21,000,000 BSV", [&] { return signedRaw({coin}, {payTo(bob, kMaxMoney), payTo(bob, 1)}); },
         "bad-txns-txouttotal-toolarge"},
        {"inputs worth more than 21,000,000 BSV",
         [&] { return signedRaw({fund(alice, kMaxMoney), fund(alice, kMaxMoney)}, {payTo(bob, 1000)}); },
         "bad-txns-inputvalues-outofrange"},
        {"signature pushed with OP_PUSHDATA1", [&] { return withUnlocking(honest, longPushes(0x4C, 0x21)); },
         "Data push larger than necessary"},
        {"key pushed with OP_PUSHDATA2",
         [&] { return withUnlocking(honest, [&](const Bytes& s) { return longPushes(s[0], 0x4D)(s); }); },
         "Data push larger than necessary"},
    };
    for (const auto& c : cases) {
        SubmitResult r = devnet.ledger().submit(c.raw());
        EXPECT_FALSE(r.accepted) << c.what;
        EXPECT_NE(r.reason.find(c.reason), std::string::npos) << c.what << ": " << r.reason;
    }
    EXPECT_EQ(devnet.ledger().balance(bob.address).unconfirmed, 0) << "nothing was minted";
    // The same spend in its honest form still goes in: none of the refusals held the coin.
    EXPECT_EQ(withUnlocking(honest, [](const Bytes& s) { return s; }), honest);
    EXPECT_TRUE(devnet.ledger().submit(honest).accepted);
}

TEST_F(DevnetLedgerTest, FeeBelowMinimumRateIsRefused) {
    options.minFeeRate = 500;  // satoshis per 1000 bytes
    start();
    Key alice = keyOf('1'), bob = keyOf('2');
    Coin coin = fund(alice, 100000);
    Reply cheap = submitWoc(buildSigned({coin}, {payTo(bob, 1000)}, alice, 1));
    EXPECT_EQ(cheap.status, 400);
    EXPECT_NE(cheap.body.find("min relay fee not met"), std::string::npos) << cheap.body;
    Reply fair = submitWoc(buildSigned({coin}, {payTo(bob, 1000)}, alice, 500));
    EXPECT_EQ(fair.status, 200) << fair.body;
}

TEST_F(DevnetLedgerTest, UnconfirmedChainsAreSpendable) {
    start();
    Key alice = keyOf('1'), bob = keyOf('2'), carol = keyOf('3');
    Bytes first = buildSigned({fund(alice, 10000)}, {payTo(bob, 5000)}, alice);
    ASSERT_TRUE(devnet.ledger().submit(first).accepted);
    Bytes second = buildSigned({coinOf(bob, txid_of(first), 0, 5000)}, {payTo(carol, 4000)}, bob);
    EXPECT_TRUE(devnet.ledger().submit(second).accepted);
}

TEST_F(DevnetLedgerTest, FaucetTransactionIsAnOrdinaryTransaction) {
    start();
    Key alice = keyOf('1');
    Coin coin = fund(alice, 12345, false);
    Reply hex = woc("/tx/" + coin.txid + "/hex");
    ASSERT_EQ(hex.status, 200);
    ParsedTx tx;
    ASSERT_TRUE(parse_tx(hex_decode(hex.body), tx));
    EXPECT_EQ(txid_of(hex_decode(hex.body)), coin.txid);
    ASSERT_EQ(tx.outputs.size(), 1u);
    EXPECT_EQ(tx.outputs[0].sats, 12345);
    EXPECT_EQ(tx.outputs[0].locking, p2pkh_script(alice.hash));
    // Two faucet payments of the same amount are still two transactions.
    EXPECT_NE(fund(alice, 12345, false).txid, coin.txid);
}

TEST_F(DevnetLedgerTest, MiningConfirmsMempoolAndRecordsHeight) {
    start();
    Key alice = keyOf('1'), bob = keyOf('2');
    Bytes raw = buildSigned({fund(alice, 10000)}, {payTo(bob, 1000)}, alice);
    ASSERT_EQ(submitWoc(raw).status, 200);
    Reply before = woc("/tx/" + txid_of(raw));
    EXPECT_EQ(before.j["confirmations"], 0);
    EXPECT_FALSE(before.j.contains("blockheight"));

    int64_t height = mine();
    EXPECT_EQ(height, 2);  // the funding block was 1
    Reply after = woc("/tx/" + txid_of(raw));
    EXPECT_EQ(after.j["blockheight"], height);
    EXPECT_EQ(after.j["confirmations"], 1);
    EXPECT_TRUE(after.j["blockhash"].is_string());
    EXPECT_EQ(get("/devnet/status").j["mempool"], 0);
}

TEST_F(DevnetLedgerTest, BlocksComeOnTheirOwnAtTheInterval) {
    options.blockIntervalSeconds = 1;
    start();
    Key alice = keyOf('1');
    Coin coin = fund(alice, 10000, false);
    EXPECT_TRUE(waitFor([&] {
        TxRecord rec;
        return devnet.ledger().tx(coin.txid, rec) && rec.height >= 1;
    }));
}

TEST_F(DevnetLedgerTest, RestartKeepsUtxosHistoryBlocksAndMempool) {
    start();
    Key alice = keyOf('1'), bob = keyOf('2'), carol = keyOf('3');
    Coin coin = fund(alice, 10000);
    Bytes confirmedSpend = buildSigned({coin}, {payTo(bob, 3000)}, alice);
    ASSERT_EQ(submitWoc(confirmedSpend).status, 200);
    mine();
    Coin bobs = coinOf(bob, txid_of(confirmedSpend), 0, 3000);
    Bytes pending = buildSigned({bobs}, {payTo(carol, 1000)}, bob);
    ASSERT_EQ(submitWoc(pending).status, 200);
    LedgerStatus before = devnet.ledger().status();

    restart();

    LedgerStatus after = devnet.ledger().status();
    EXPECT_EQ(after.tip.height, before.tip.height);
    EXPECT_EQ(after.tip.hash, before.tip.hash);
    EXPECT_EQ(after.mempool, 1);
    EXPECT_EQ(after.utxos, before.utxos);
    Reply history = woc("/address/" + bob.address + "/history");
    ASSERT_TRUE(history.j.is_array());
    ASSERT_EQ(history.j.size(), 2u);
    EXPECT_EQ(history.j[0]["tx_hash"], txid_of(confirmedSpend));
    EXPECT_EQ(history.j[1]["tx_hash"], txid_of(pending));
    // The spend held in the mempool still blocks a second spend of the same coin.
    EXPECT_EQ(devnet.ledger().submit(buildSigned({bobs}, {payTo(alice, 1000)}, bob)).reject, Reject::Conflict);
    // And the one spent in a block is gone for good.
    EXPECT_EQ(devnet.ledger().submit(buildSigned({coin}, {payTo(carol, 1000)}, alice)).reject, Reject::MissingInputs);
    EXPECT_EQ(mine(), before.tip.height + 1);
}

}  // namespace
}  // namespace dialo::devnet::test

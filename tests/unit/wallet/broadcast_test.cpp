// Which route a signed transaction takes to the network and what the wallet then believes,
// against a real devnet whose answers are bent the way real services bend them.

#include <gtest/gtest.h>

#include "phone_devnet_fixture.h"
#include "wallet/broadcast.h"
#include "wallet/coins.h"

namespace dialo {
namespace {

using nlohmann::json;
using devnet::test::Key;

void noSleep(uint32_t) {}

class BroadcastTest : public test::PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        startWithSleep(noSleep);
        payer = devnet::test::keyOf('3');
        payee = devnet::test::keyOf('4');
        inputs = {fund(payer, 20000)};
        int64_t fee = 0;
        std::string error;
        ASSERT_TRUE(build_tx(inputs, outputs, payer.hash, {devnet::test::payTo(payee, 5000)}, fee, error, 1, 1)) << error;
        for (Coin& c : inputs) ASSERT_TRUE(sign_input(c, inputs, outputs, c.owner, payer.priv, payer.pub, error));
        raw = serialize_tx(inputs, outputs, false);
        txid = txid_of(raw);
    }
    bool known() { return woc("/tx/" + txid + "/hex").status == 200; }
    bool inputSpent() { return is_spent(w, outpoint_key(inputs[0].txid, inputs[0].vout)); }
    // The oracle does not answer, so the public services are tried.
    void oracleDown() { inject({{"path_prefix", "/oi/submit"}, {"status", 503}}); }

    Key payer, payee;
    std::vector<Coin> inputs;
    std::vector<TxOutput> outputs;
    Bytes raw;
    std::string txid;
    WalletState w;
};

TEST_F(BroadcastTest, HealthyOracleTakesItAlone) {
    std::string out;
    EXPECT_EQ(broadcast_tx(w, inputs, outputs, &out), "success: " + txid);
    EXPECT_EQ(out, txid);
    EXPECT_TRUE(known());
    EXPECT_EQ(w.coins.lastTxid, txid);
    EXPECT_TRUE(inputSpent());
}

TEST_F(BroadcastTest, OracleSayingNotOkFallsThroughToWhatsOnChain) {
    inject({{"path_prefix", "/oi/submit"}, {"status", 200}, {"body", "{\"ok\": false, \"error\": \"busy\"}"}});
    inject({{"path_prefix", "/arc/"}, {"status", 500}});  // must stay unused
    EXPECT_EQ(broadcast_tx(w, inputs, outputs), "success: " + txid);
    EXPECT_TRUE(known()) << "only WhatsOnChain could have taken it";
    EXPECT_EQ(devnet.faults().pending(), 1u) << "ARC was not needed";
}

TEST_F(BroadcastTest, OracleAnsweringNonJsonCountsAsAccepted) {
    inject({{"path_prefix", "/oi/submit"}, {"status", 200}, {"body", "OK"}, {"content_type", "text/plain"}});
    EXPECT_EQ(broadcast_tx(w, inputs, outputs), "success: " + txid);
    EXPECT_FALSE(known()) << "no public service was consulted";
    EXPECT_TRUE(inputSpent());
}

TEST_F(BroadcastTest, QuotedTxidFromWhatsOnChainIsConfirmedWithoutArc) {
    ASSERT_EQ(submitArc(raw).status, 200);
    oracleDown();
    inject({{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"status", 200}, {"body", "\"" + txid + "\"\n"},
            {"content_type", "text/plain"}});
    inject({{"path_prefix", "/arc/"}, {"status", 500}});
    EXPECT_EQ(broadcast_tx(w, inputs, outputs), "success: " + txid);
    EXPECT_EQ(devnet.faults().pending(), 1u);
}

TEST_F(BroadcastTest, WhatsOnChainNamingAnotherTxidIsNotTrusted) {
    oracleDown();
    // The funding transaction: known to the network, but not the one sent.
    inject({{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"status", 200}, {"body", "\"" + inputs[0].txid + "\""}});
    EXPECT_EQ(broadcast_tx(w, inputs, outputs), "success: " + txid) << "ARC took it";
    EXPECT_EQ(w.coins.lastTxid, txid);
    EXPECT_TRUE(known());
}

TEST_F(BroadcastTest, AlreadyKnownIsSentEvenBeforeItCanBeSeen) {
    oracleDown();
    // WhatsOnChain's node holds it while its index does not list it yet.
    inject({{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"status", 400}, {"body", "257: txn-already-known"},
            {"content_type", "text/plain"}});
    inject({{"path_prefix", "/arc/"}, {"status", 500}, {"count", 2}});
    EXPECT_EQ(broadcast_tx(w, inputs, outputs), "success: " + txid);
    EXPECT_EQ(devnet.faults().pending(), 1u) << "ARC was not needed";
    EXPECT_TRUE(inputSpent()) << "its inputs are spent, not forgotten for another payment";
    EXPECT_EQ(w.coins.lastTxid, txid);
}

TEST_F(BroadcastTest, ArcDoubleSpendIsReportedAndNothingIsRecorded) {
    oracleDown();
    inject({{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"status", 500}});
    inject({{"path_prefix", "/arc/v1/tx"},
            {"status", 200},
            {"body", json{{"txStatus", "DOUBLE_SPEND_ATTEMPTED"}, {"extraInfo", "seen in another tx"}}.dump()}});
    std::string result = broadcast_tx(w, inputs, outputs);
    EXPECT_EQ(result, "error: broadcast failed: DOUBLE_SPEND_ATTEMPTED: seen in another tx");
    EXPECT_TRUE(is_conflict_reply(result));
    EXPECT_FALSE(inputSpent());
    EXPECT_TRUE(w.coins.lastTxid.empty());
}

TEST_F(BroadcastTest, ArcSeenOnNetworkWithoutTxidConfirmsTheLocalOne) {
    ASSERT_EQ(submitArc(raw).status, 200);
    oracleDown();
    inject({{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"status", 500}});
    inject({{"path_prefix", "/arc/v1/tx"}, {"status", 200}, {"body", "{\"txStatus\": \"SEEN_ON_NETWORK\"}"}});
    EXPECT_EQ(broadcast_tx(w, inputs, outputs), "success: " + txid);
}

TEST_F(BroadcastTest, AcceptedButNeverSeenIsAFailure) {
    oracleDown();
    inject({{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"status", 200}, {"body", txid}, {"content_type", "text/plain"}});
    inject({{"path_prefix", "/arc/v1/tx"}, {"status", 200}, {"body", "{\"txStatus\": \"STORED\"}"}});
    EXPECT_EQ(broadcast_tx(w, inputs, outputs), "error: the network did not take that transaction. Nothing was sent.");
    EXPECT_FALSE(known());
    EXPECT_FALSE(inputSpent());
}

TEST_F(BroadcastTest, EveryServiceDownGivesTheArcReason) {
    oracleDown();
    inject({{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"status", 502}, {"body", "bad gateway"}, {"content_type", "text/plain"}});
    inject({{"path_prefix", "/arc/v1/tx"}, {"status", 503}, {"count", 2}});
    EXPECT_EQ(broadcast_tx(w, inputs, outputs), "error: broadcast failed: HTTP 503");
    EXPECT_FALSE(known());
}

TEST(BroadcastReplies, ConflictAndMissingInputsAreRecognised) {
    EXPECT_TRUE(is_conflict_reply("HTTP 400 – 258: TXN-MEMPOOL-CONFLICT"));
    EXPECT_TRUE(is_conflict_reply("error: broadcast failed: DOUBLE_SPEND_ATTEMPTED: seen"));
    EXPECT_TRUE(is_conflict_reply("Txn-Already-Known"));
    EXPECT_FALSE(is_conflict_reply("insufficient priority"));
    EXPECT_TRUE(is_missing_inputs_reply("16: Missing inputs"));
    EXPECT_TRUE(is_missing_inputs_reply("missingorspent"));
    EXPECT_FALSE(is_missing_inputs_reply("MISSING INPUTS")) << "exact case only";
}

}  // namespace
}  // namespace dialo

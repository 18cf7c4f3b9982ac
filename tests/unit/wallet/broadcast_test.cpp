// Routes of a signed transaction and what the wallet then believes, on a devnet bent by faults.
#include <gtest/gtest.h>
#include "support/phone_devnet_fixture.h"
#include "wallet/broadcast.h"
#include "wallet/coins.h"

namespace dialo {
namespace {
using nlohmann::json;
void noSleep(uint32_t) {}
// A fault rule; "{txid}" and "{funding}" in the body name the sent and the funding transaction.
json rule(const char* path, int status, std::string body = "", int count = 0) {
    json r = {{"path_prefix", path}, {"status", status}};
    if (!body.empty()) r["body"] = body;
    if (!body.empty() && body[0] != '{') r["content_type"] = "text/plain";
    if (count > 0) r["count"] = count;
    return r;
}
struct Route {
    const char* name;
    bool arcHasIt;             // the network already holds the transaction
    std::vector<json> faults;
    std::string answer;        // "success" stands for "success: <txid>"
    int known;                 // whether the devnet holds it afterwards; -1: either
    int unusedFaults;          // -1: any
};
class BroadcastTest : public test::PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        startWithSleep(noSleep);
    }
};
TEST_F(BroadcastTest, RouteAndBeliefFollowTheServicesAnswers) {
    const json oracleDown = rule("/oi/submit", 503);
    const char* raw = "/woc/v1/bsv/main/tx/raw";
    const std::vector<Route> routes = {
        {"a healthy oracle takes it alone", false, {}, "success", 1, -1},
        {"an oracle saying not ok falls through to WhatsOnChain, ARC unused", false,
         {rule("/oi/submit", 200, R"({"ok": false, "error": "busy"})"), rule("/arc/", 500)}, "success", 1, 1},
        {"an oracle answering non-JSON counts as accepted", false, {rule("/oi/submit", 200, "OK")}, "success", 0, -1},
        {"a quoted txid from WhatsOnChain is confirmed without ARC", true,
         {oracleDown, rule(raw, 200, "\"{txid}\"\n"), rule("/arc/", 500)}, "success", 1, 1},
        {"WhatsOnChain naming another txid is not trusted: ARC takes it", false,
         {oracleDown, rule(raw, 200, "\"{funding}\"")}, "success", 1, -1},
        {"already known to WhatsOnChain's node is sent before its index lists it", false,
         {oracleDown, rule(raw, 400, "257: txn-already-known"), rule("/arc/", 500, "", 2)}, "success", -1, 1},
        {"ARC's double spend is reported", false,
         {oracleDown, rule(raw, 500), rule("/arc/v1/tx", 200, R"({"txStatus": "DOUBLE_SPEND_ATTEMPTED", "extraInfo": "seen in another tx"})")},
         "error: broadcast failed: DOUBLE_SPEND_ATTEMPTED: seen in another tx", -1, -1},
        {"ARC's seen on network without a txid confirms the local one", true,
         {oracleDown, rule(raw, 500), rule("/arc/v1/tx", 200, R"({"txStatus": "SEEN_ON_NETWORK"})")}, "success", 1, -1},
        {"accepted but never seen is a failure", false,
         {oracleDown, rule(raw, 200, "{txid}"), rule("/arc/v1/tx", 200, R"({"txStatus": "STORED"})")},
         "error: the network did not take that transaction. Nothing was sent.", 0, -1},
        {"every service down gives ARC's reason", false,
         {oracleDown, rule(raw, 502, "bad gateway"), rule("/arc/v1/tx", 503, "", 2)},
         "error: broadcast failed: HTTP 503", 0, -1},
    };
    const devnet::test::Key payer = devnet::test::keyOf('3'), payee = devnet::test::keyOf('4');
    for (const Route& r : routes) {
        SCOPED_TRACE(r.name);
        std::vector<Coin> inputs = {fund(payer, 20000)};
        std::vector<TxOutput> outputs;
        int64_t fee = 0;
        std::string error;
        ASSERT_TRUE(build_tx(inputs, outputs, payer.hash, {devnet::test::payTo(payee, 5000)}, fee, error, 1, 1)) << error;
        for (Coin& c : inputs) ASSERT_TRUE(sign_input(c, inputs, outputs, c.owner, payer.priv, payer.pub, error));
        const Bytes tx = serialize_tx(inputs, outputs, false);
        const std::string txid = txid_of(tx);
        if (r.arcHasIt) { ASSERT_EQ(submitArc(tx).status, 200); }
        for (json f : r.faults) {
            std::string body = f.value("body", "");
            for (auto [name, value] : {std::pair{"{txid}", txid}, {"{funding}", inputs[0].txid}})
                if (size_t at = body.find(name); at != std::string::npos) f["body"] = body.replace(at, strlen(name), value);
            inject(f);
        }
        WalletState w;
        std::string sent;
        const std::string result = broadcast_tx(w, inputs, outputs, &sent);
        const bool success = r.answer == "success";
        EXPECT_EQ(result, success ? "success: " + txid : r.answer);
        if (r.known >= 0) { EXPECT_EQ(woc("/tx/" + txid + "/hex").status == 200, r.known == 1); }
        if (r.unusedFaults >= 0) { EXPECT_EQ(devnet.faults().pending(), size_t(r.unusedFaults)); }
        EXPECT_EQ(is_spent(w, outpoint_key(inputs[0].txid, inputs[0].vout)), success)
            << "a sent payment's inputs are spent, a failed one's stay free";
        EXPECT_EQ(w.coins.lastTxid, success ? txid : "");
        if (success) { EXPECT_EQ(sent, txid); }
        devnet.faults().clear();
    }
}
TEST(BroadcastReplies, ConflictAndMissingInputsAreRecognised) {
    for (const char* reply : {"HTTP 400 – 258: TXN-MEMPOOL-CONFLICT", "error: broadcast failed: DOUBLE_SPEND_ATTEMPTED: seen", "Txn-Already-Known"})
        EXPECT_TRUE(is_conflict_reply(reply)) << reply;
    EXPECT_FALSE(is_conflict_reply("insufficient priority"));
    EXPECT_TRUE(is_missing_inputs_reply("16: Missing inputs") && is_missing_inputs_reply("missingorspent"));
    EXPECT_FALSE(is_missing_inputs_reply("MISSING INPUTS")) << "exact case only";
}
}  // namespace
}  // namespace dialo

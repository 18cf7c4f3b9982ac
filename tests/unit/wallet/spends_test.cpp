// The phone's three spends on a devnet: which coins they take, what they pay, and how they
// answer when the network or the disk lets them down.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <thread>

#include "support/funded_wallet_fixture.h"
#include "wallet/client_sinks.h"
#include "wallet/coins.h"
#include "wallet/spends.h"

namespace dialo {
namespace {

using nlohmann::json;

std::vector<int64_t> repeat(size_t n, int64_t v) { return std::vector<int64_t>(n, v); }
std::vector<int64_t> operator+(std::vector<int64_t> a, const std::vector<int64_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every broadcast route answering that the transaction conflicts with one the network holds.
const std::string kConflict = "258: txn-mempool-conflict";
const std::vector<json> kConflictEverywhere = {
    {{"path_prefix", "/oi/submit"}, {"status", 400}, {"body", json{{"ok", false}, {"error", kConflict}}.dump()}},
    {{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"status", 400}, {"body", kConflict}, {"content_type", "text/plain"}},
    {{"path_prefix", "/arc/v1/tx"}, {"status", 200}, {"body", R"({"txStatus": "DOUBLE_SPEND_ATTEMPTED"})"}}};

class SpendsTest : public test::FundedWalletTest {
protected:
    const std::string payee = devnet::test::keyOf('7').address;
};

struct PolicyCase {
    const char* name;
    std::vector<int64_t> coins;                 // the wallet's confirmed outputs, in one transaction
    std::vector<json> faults;                   // injected before the spend
    std::function<std::string(const std::string& payee)> spend;
    std::string answer;                         // "ready", or "success" when a transaction is sent
    std::vector<int64_t> inputs;                // values of the coins it spends
    std::vector<int64_t> outputs;               // its outputs before the change output
    int64_t rate = 0;                           // when set: the fee paid, in satoshis per 1000 bytes
};

TEST_F(SpendsTest, PolicyPicksCoinsAndPaysAsPlanned) {
    const std::string payload(300, 'p');
    const json oracleDown = {{"path_prefix", "/oi/submit"}, {"status", 503}};
    const std::vector<PolicyCase> cases = {
        {"a penny from a phone holding 200 one-satoshi outputs takes the big coin alone",
         repeat(200, 1) + std::vector<int64_t>{50000}, {},
         [](const std::string& to) { return spend_to_address(to, 1000, ""); }, "success", {50000}, {1000}},
        {"a payment whose first coin is in conflict pays with another coin", {5000, 6000},
         {oracleDown, kConflictEverywhere[1], kConflictEverywhere[2]},
         [](const std::string& to) { return spend_to_address(to, 1000, ""); }, "success", {6000}, {1000}},
        {"one coin of 10,000 splits into 46 pieces of 201 and the change", {10000}, {},
         [](const std::string&) { return split_coins(); }, "success", {10000}, repeat(46, 201)},
        {"113 ready coins plan 8 pieces", repeat(112, 200) + std::vector<int64_t>{5000}, {},
         [](const std::string&) { return split_coins(); }, "success", {5000}, repeat(7, 612)},
        {"114 ready coins are ready", repeat(113, 200) + std::vector<int64_t>{5000}, {},
         [](const std::string&) { return split_coins(); }, "ready", {}, {}},
        {"a payload rate above 1000 pays 1000 per 1000 bytes", {20000}, {},
         [&payload](const std::string& to) { return spend_payload(to, payload, 5000, false, ""); }, "success",
         {20000}, {1, 0}, 1000},
        {"a payload dearer than the four largest coins takes as many as it needs", repeat(8, 300), {},
         [](const std::string& to) { return spend_payload(to, std::string(12000, 'm'), 100, false, ""); }, "success",
         repeat(5, 300), {1, 0}, 100},
    };
    uint8_t seed = 10;
    for (const PolicyCase& c : cases) {
        SCOPED_TRACE(c.name);
        useWallet(seed++);
        const std::string funding = fundWallet(c.coins);
        for (const json& f : c.faults) inject(f);
        const std::string result = c.spend(payee);
        devnet.faults().clear();
        if (c.answer == "ready") {
            EXPECT_EQ(result, "ready");
            continue;
        }
        ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
        const ParsedTx tx = readTx(result.substr(9, 64));
        std::vector<int64_t> inputs;
        std::vector<Coin> spent;
        int64_t fee = 0;
        for (const ParsedInput& in : tx.inputs) {
            ASSERT_EQ(in.prevTxid, funding);
            inputs.push_back(c.coins.at(in.vout));
            fee += c.coins.at(in.vout);
            Coin k;
            k.txid = in.prevTxid;
            k.vout = in.vout;
            spent.push_back(k);
        }
        EXPECT_EQ(inputs, c.inputs);
        ASSERT_EQ(tx.outputs.size(), c.outputs.size() + 1) << "the requested outputs and the change";
        for (size_t i = 0; i < c.outputs.size(); ++i) EXPECT_EQ(tx.outputs[i].sats, c.outputs[i]) << "output " << i;
        for (const TxOutput& o : tx.outputs) fee -= o.sats;
        if (c.rate > 0) {
            EXPECT_EQ(fee, fee_for_size(int64_t(serialize_tx(spent, tx.outputs, true).size()), c.rate));
        }
    }
}

TEST_F(SpendsTest, SpendAnswersWhenItsRecordsCannotBeSavedAndSaysSo) {
    fundWallet({20000});
    writeText(base() + "/ord_snap", "in the way");  // no snapshot can be written
    std::vector<std::string> lines;
    std::mutex linesMutex;
    set_wallet_text_sink([&](const std::string& text) {
        std::lock_guard lock(linesMutex);
        lines.push_back(text);
    });
    const std::string result = spend_to_address(payee, 1000, "");
    set_wallet_text_sink(nullptr);
    EXPECT_EQ(result.rfind("success: ", 0), 0u) << result;
    ASSERT_FALSE(lines.empty()) << "the lost records are not mentioned";
    EXPECT_NE(lines[0].find("ord_snap"), std::string::npos) << lines[0];
}

// A phone killed after a spend left it and before the answer was recorded: the restarted phone
// asks the network about the broadcast it had noted, and does not offer the coin it spent.
TEST_F(SpendsTest, CoinOfABroadcastWhoseAnswerWasNeverRecordedIsNotOfferedAfterARestart) {
    fundWallet({20000});
    const std::string first = spend_to_address(payee, 1000, "");
    ASSERT_EQ(first.rfind("success: ", 0), 0u) << first;
    const std::string snaps = base() + "/ord_snap/w1";
    // The records as the disk held them before the second spend: the first one's change unspent.
    const std::string spentBefore = readText(snaps + "_spent.json"), changeBefore = readText(snaps + "_change.json");
    ASSERT_NE(changeBefore.find(first.substr(9)), std::string::npos) << changeBefore;

    // The devnet holds the broadcast on its first two routes (the oracle's answer times out in
    // about 2 s, WhatsOnChain's is held 8 s); meanwhile the disk is what a kill would leave.
    inject({{"path_prefix", "/oi/submit"}, {"delay_ms", 8000}, {"count", 1}});
    inject({{"path_prefix", "/woc/v1/bsv/main/tx/raw"}, {"delay_ms", 8000}, {"count", 1}});
    std::string second;
    std::thread spend([&] { second = spend_to_address(payee, 1000, ""); });
    std::string pending;
    for (int i = 0; i < 4000 && devnet.faults().pending() > 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    pending = readText(snaps + "_pending.json");
    spend.join();
    ASSERT_EQ(second.rfind("success: ", 0), 0u) << second;
    const std::string secondTxid = second.substr(9);
    ASSERT_NE(pending.find(secondTxid), std::string::npos) << "no pending broadcast on disk: " << pending;
    EXPECT_FALSE(std::filesystem::exists(snaps + "_pending.json")) << "kept after the answer";
    const ParsedTx tx = readTx(secondTxid);
    ASSERT_FALSE(tx.inputs.empty());
    const std::string input = outpoint_key(tx.inputs[0].prevTxid, tx.inputs[0].vout);

    writeText(snaps + "_spent.json", spentBefore);
    writeText(snaps + "_change.json", changeBefore);
    writeText(snaps + "_pending.json", pending);
    reloadWallet("w1");
    EXPECT_TRUE(is_spent(lockWallet().state, input)) << input << " would be offered again";
    EXPECT_FALSE(std::filesystem::exists(snaps + "_pending.json"));
}

struct DoubtCase {
    const char* name;
    std::vector<json> faults;  // bending the broadcast of one payload spend
    const char* answer;        // how the spend's answer starts; none: instead of a spend, the coin
                               // is in a spent snapshot an older build wrote
    bool restart;              // the phone restarts before the next block
    bool offeredAgain;         // after the next block
};

// Replies no service proved hold a coin back only until the chain moves on without the
// transaction they spoke of; what is proven spent stays spent.
TEST_F(SpendsTest, ACoinHeldByAnUnprovenReplyIsOfferedAgainAfterTheNextBlock) {
    const std::vector<DoubtCase> cases = {
        {"an oracle answering ok that drops the transaction", {{{"path_prefix", "/oi/submit"}, {"status", 200}, {"body", R"({"ok": true})"}}},
         "success: ", true, true},
        {"every route answering a conflict for one broadcast", kConflictEverywhere, "error: ", false, true},
        {"an honest oracle's transaction shows", {}, "success: ", false, false},
        {"an outpoint an older build saved spent", {}, nullptr, true, false},
    };
    uint8_t seed = 30;
    for (const DoubtCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "w" + std::to_string(seed);
        useWallet(seed++);
        const std::string funding = fundWallet({5000});
        const std::string coin = outpoint_key(funding, 0), spentFile = base() + "/ord_snap/" + id + "_spent.json";
        if (c.answer == nullptr) {
            writeText(spentFile, json{{"outpoints", {coin}}}.dump());
        } else {
            for (const json& f : c.faults) inject(f);
            const std::string result = spend_payload(payee, std::string(300, 'p'), 1, false, "");
            devnet.faults().clear();
            EXPECT_EQ(result.rfind(c.answer, 0), 0u) << result;
        }
        if (c.restart) reloadWallet(id);
        auto offered = [&] {
            auto g = lockWallet();
            std::string error;
            std::vector<Coin> sel;
            EXPECT_TRUE(refresh_pool(g.state, error, true)) << error;
            return select_from_pool(g.state, 1000, sel) && outpoint_key(sel[0].txid, sel[0].vout) == coin;
        };
        EXPECT_FALSE(offered()) << "held while the transaction may still land";
        mine();
        EXPECT_EQ(offered(), c.offeredAgain);
        auto g = lockWallet();
        std::string error;
        ASSERT_TRUE(scan_addresses(g.state, error)) << error;
        if (c.offeredAgain) {
            EXPECT_EQ(computed_balance(g.state), 5000) << "the coin is back and no change of the lost transaction counts";
        } else {
            EXPECT_LT(computed_balance(g.state), 5000);
        }
        const json spent = readJson(spentFile), change = readJson(base() + "/ord_snap/" + id + "_change.json");
        ASSERT_TRUE(spent.contains("outpoints"));
        EXPECT_EQ(std::count(spent["outpoints"].begin(), spent["outpoints"].end(), coin), c.offeredAgain ? 0 : 1);
        if (c.offeredAgain) {
            EXPECT_TRUE(change.is_discarded() || change["coins"].empty()) << change.dump();
        }
    }
}

// A message's transaction is sent again as it is while it may still land; once a block has come
// and it is not known, it never went out, and the message is paid anew, once.
TEST_F(SpendsTest, AKeptMessageThatNeverWentOutIsBuiltAnewOnceABlockHasCome) {
    fundWallet({5000, 5000});
    const std::string payload(300, 'm');
    std::string txid;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt == 2) mine();
        for (const json& f : kConflictEverywhere) inject(f);
        EXPECT_EQ(spend_payload(payee, payload, 100, false, "", "00000000000000ab").rfind("error: ", 0), 0u) << attempt;
        devnet.faults().clear();
        auto g = lockWallet();
        auto kept = g.state.coins.kept.find("00000000000000ab");
        if (attempt < 2) {
            ASSERT_NE(kept, g.state.coins.kept.end()) << attempt;
            if (attempt == 0) txid = kept->second.txid;
            EXPECT_EQ(kept->second.txid, txid) << "the same transaction again";
        } else {
            EXPECT_EQ(kept, g.state.coins.kept.end()) << "a block came and it never went out";
        }
    }
    const std::string result = spend_payload(payee, payload, 100, false, "", "00000000000000ab");
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    EXPECT_NE(result.substr(9, 64), txid);
    EXPECT_EQ(devnet.ledger().txidsPaying(payee, 10).size(), 1u);
}

// Whether spends report their bookkeeping records is the application's choice, whatever the
// standard output is connected to.
TEST_F(SpendsTest, BalanceRecordsAreEmittedOnlyWhenTheApplicationAsks) {
    fundWallet({50000});
    std::vector<std::string> records;
    set_wallet_event_sink([&](const std::string& r) { records.push_back(r.substr(0, r.find('\x1f'))); });
    for (bool wanted : {false, true}) {
        set_balance_records(wanted);
        ASSERT_EQ(spend_to_address(payee, 1000, "").rfind("success: ", 0), 0u);
        for (const char* tag : {"[OV-SPEND]", "[OV-BALANCE]"})
            EXPECT_EQ(std::count(records.begin(), records.end(), tag), wanted ? 1 : 0) << tag;
        records.clear();
    }
    set_wallet_event_sink({});
}

}  // namespace
}  // namespace dialo

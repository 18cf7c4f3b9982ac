// The phone's three spends on a devnet: coins taken, amounts paid, network and disk failures.
#include <gtest/gtest.h>
#include <algorithm>
#include <functional>
#include "support/funded_wallet_fixture.h"
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
    auto pay = [](const std::string& to) { return spend_to_address(to, 1000, ""); };
    auto split = [](const std::string&) { return split_coins(); };
    const json oracleDown = {{"path_prefix", "/oi/submit"}, {"status", 503}};
    const std::vector<PolicyCase> cases = {
        {"a penny from a phone holding 200 one-satoshi outputs takes the big coin alone", repeat(200, 1) + std::vector<int64_t>{50000},
         {}, pay, "success", {50000}, {1000}},
        {"a payment whose first coin is in conflict pays with another coin", {5000, 6000},
         {oracleDown, kConflictEverywhere[1], kConflictEverywhere[2]}, pay, "success", {6000}, {1000}},
        {"one coin of 10,000 splits into 46 pieces of 201 and the change", {10000}, {}, split, "success", {10000}, repeat(46, 201)},
        {"114 ready coins are ready", repeat(113, 200) + std::vector<int64_t>{5000}, {}, split, "ready", {}, {}},
        {"a payload rate above 1000 pays 1000 per 1000 bytes", {20000}, {},
         [](const std::string& to) { return spend_payload(to, std::string(300, 'p'), 5000, false, ""); }, "success", {20000}, {1, 0}, 1000},
        {"a payload dearer than the four largest coins takes as many as it needs", repeat(8, 300), {},
         [](const std::string& to) { return spend_payload(to, std::string(12000, 'm'), 100, false, ""); }, "success", repeat(5, 300),
         {1, 0}, 100},
    };
    uint8_t seed = 10;
    for (const PolicyCase& c : cases) {
        SCOPED_TRACE(c.name);
        useWallet(seed++);
        const std::string funding = fundWallet(c.coins);
        for (const json& f : c.faults) inject(f);
        const std::string result = c.spend(payee);
        devnet.faults().clear();
        EXPECT_EQ(result == "ready", c.answer == "ready") << result;
        if (c.answer == "ready") continue;
        ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
        const ParsedTx tx = readTx(result.substr(9, 64));
        std::vector<int64_t> inputs;
        std::vector<Coin> spent;
        int64_t fee = 0;
        for (const ParsedInput& in : tx.inputs) {
            ASSERT_EQ(in.prevTxid, funding);
            inputs.push_back(c.coins.at(in.vout));
            fee += c.coins.at(in.vout);
            spent.emplace_back().txid = in.prevTxid;
            spent.back().vout = in.vout;
        }
        EXPECT_EQ(inputs, c.inputs);
        ASSERT_EQ(tx.outputs.size(), c.outputs.size() + 1) << "the requested outputs and the change";
        for (size_t i = 0; i < c.outputs.size(); ++i) EXPECT_EQ(tx.outputs[i].sats, c.outputs[i]) << "output " << i;
        for (const TxOutput& o : tx.outputs) fee -= o.sats;
        if (c.rate > 0) { EXPECT_EQ(fee, fee_for_size(int64_t(serialize_tx(spent, tx.outputs, true).size()), c.rate)); }
    }
}
struct DoubtCase {
    const char* name;
    std::vector<json> faults;  // bending the broadcast of one payload spend
    const char* answer;        // how the spend's answer starts; none: instead of a spend, the coin
                               // is in a spent snapshot an older build wrote
    bool restart;              // the phone restarts before the next block
    bool offeredAgain;         // after the next block
};
// Unproven replies hold a coin back only until the chain moves on; proven spends stay spent.
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
            return refresh_pool(g.state, error, true) && select_from_pool(g.state, 1000, sel) && outpoint_key(sel[0].txid, sel[0].vout) == coin;
        };
        EXPECT_FALSE(offered()) << "held while the transaction may still land";
        mine();
        EXPECT_EQ(offered(), c.offeredAgain);
        auto g = lockWallet();
        std::string error;
        ASSERT_TRUE(scan_addresses(g.state, error)) << error;
        // Once the coin is back, no change of the lost transaction counts.
        EXPECT_EQ(computed_balance(g.state) == 5000, c.offeredAgain) << computed_balance(g.state);
        const json spent = readJson(spentFile);
        ASSERT_TRUE(spent.contains("outpoints"));
        EXPECT_EQ(std::count(spent["outpoints"].begin(), spent["outpoints"].end(), coin), c.offeredAgain ? 0 : 1);
    }
}
// Resent as is while it may land; after a block without it, paid anew, once.
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
}  // namespace
}  // namespace dialo

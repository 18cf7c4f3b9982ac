// Unspent lists, selection, spent and change snapshots across a restart, the change address.
#include <gtest/gtest.h>
#include <algorithm>
#include <filesystem>
#include <tuple>
#include "support/vault_fixture.h"
#include "support/funded_wallet_fixture.h"
#include "vaultra/connect.h"
#include "wallet/coins.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/transaction.h"

namespace dialo {
namespace {
using nlohmann::json;
Coin coin(char fill, int64_t sats, uint32_t vout = 0) {
    Coin c;
    std::tie(c.txid, c.vout, c.sats) = std::tuple(std::string(64, fill), vout, sats);
    return c;
}
// A coin names its owner; no key text can ride along with it into a pool, list or snapshot.
template <class T>
concept CarriesKeyText = requires(T c) { c.priv; } || requires(T c) { c.pub; };
static_assert(!CarriesKeyText<Coin>);
class CoinsTest : public test::VaultTest {
protected:
    void SetUp() override {
        VaultTest::SetUp();
        addWallet("w1", hdWallet());
        bind_instance("/opt/dialo", "Dialo");
    }
};
// An entry without a usable output index is dropped, never read as index 0.
TEST(UnspentList, ReadsBothShapesAndDropsWhatCannotBeSpent) {
    std::vector<Coin> out;
    std::string error;
    const std::string a(64, 'a'), b(64, 'b');
    ASSERT_TRUE(read_unspent_list(json::array({{{"tx_hash", a}, {"tx_pos", 1}, {"value", 500}}, {{"txid", b}, {"vout", 2}, {"value", 700.6}},
                                               {{"tx_hash", a}, {"tx_pos", 3}, {"value", 9}, {"isSpentInMempoolTx", true}},
                                               {{"tx_hash", "abc"}, {"tx_pos", 0}, {"value", 5}}, {{"tx_hash", a}, {"value", 800}},
                                               {{"tx_hash", a}, {"tx_pos", -1}, {"value", 800}}, {{"tx_hash", a}, {"tx_pos", "4"}, {"value", 800}},
                                               {{"tx_hash", a}, {"tx_pos", 4294967296}, {"value", 800}}, 7})
                                      .dump(),
                                  out, error));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].vout, 1u);
    EXPECT_EQ(out[1].sats, 701) << "values are rounded to whole satoshis";
    out.clear();
    ASSERT_TRUE(read_unspent_list(json{{"result", json::array({{{"tx_hash", a}, {"tx_pos", 0}, {"value", 3}}})}}.dump(), out, error));
    EXPECT_EQ(out.size(), 1u);
    EXPECT_FALSE(read_unspent_list("{\"error\": \"busy\"}", out, error));
    EXPECT_EQ(error, "bad utxo list");
}
TEST_F(CoinsTest, PoolSelectionPrefersOneCoinThenTheLargest) {
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    g.state.coins.pool = {coin('a', 1), coin('b', 150), coin('c', 400), coin('d', 1000)};
    std::vector<Coin> sel;
    ASSERT_TRUE(select_from_pool(g.state, 300, sel));
    EXPECT_TRUE(sel.size() == 1 && sel[0].sats == 400);
    ASSERT_TRUE(select_from_pool(g.state, 1300, sel));
    EXPECT_TRUE(sel.size() == 2 && sel[0].sats + sel[1].sats == 1400);
    EXPECT_FALSE(select_from_pool(g.state, 5000, sel));
    EXPECT_TRUE(sel.empty());
    EXPECT_EQ(g.state.coins.pool.size(), 3u) << "the 1-satoshi coin is never pooled";
    std::string error;
    ASSERT_TRUE(mark_spent(g.state, outpoint_key(std::string(64, 'C'), 0), error)) << error;
    ASSERT_TRUE(select_from_pool(g.state, 300, sel));
    EXPECT_EQ(sel[0].sats, 1000) << "a spent coin is skipped whatever the case of its txid";
}
TEST_F(CoinsTest, SpentAndChangeSurviveARestartWithoutKeyText) {
    std::string changeAddress, error;
    KeyTriple key;
    {
        auto g = lockWallet();
        ASSERT_TRUE(load_wallet(g.state));
        EXPECT_EQ(g.state.keys.defaultKey.priv, "") << "the default key is derived when it signs";
        changeAddress = g.state.keys.defaultKey.address;
        Hash160 own{}, other{};
        ASSERT_TRUE(decode_p2pkh_address(changeAddress, own) && decode_p2pkh_address("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", other));
        std::vector<TxOutput> outputs{{1, p2pkh_script(other)}, {0, data_output_script("x")}, {4000, p2pkh_script(own)}};
        // In doubt (not known to be accepted): its coins are spent all the same.
        ASSERT_TRUE(record_broadcast(g.state, {coin('a', 5000, 1)}, outputs, std::string(64, 'e'), true, error)) << error;
        ASSERT_EQ(g.state.coins.change.size(), 1u);
        EXPECT_EQ(g.state.coins.change[0].vout, 2u);
        EXPECT_EQ(g.state.coins.change[0].owner, own) << "change carries its owner";
        ASSERT_TRUE(signing_key_for(g.state.keys, own, key));
        reset_wallet_state(g.state);
    }
    for (const char* file : {"/ord_snap/w1_change.json", "/ord_snap/w1_spent.json"}) {
        const std::string text = readText(base() + file);
        EXPECT_TRUE(text.find(key.priv) == std::string::npos && text.find("abandon") == std::string::npos) << file;
    }
    // A new process: nothing in memory, only the files.
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    EXPECT_TRUE(is_spent(g.state, std::string(64, 'a') + ":1"));
    load_change_snapshot(g.state);
    ASSERT_EQ(g.state.coins.change.size(), 1u);
    EXPECT_EQ(g.state.coins.change[0].sats, 4000);
    EXPECT_EQ(address_from_hash(g.state.coins.change[0].owner), changeAddress);
    ASSERT_TRUE(forget_failed_inputs(g.state, {coin('e', 4000, 2)}, std::string(64, '9'), error)) << error;
    EXPECT_TRUE(g.state.coins.change.empty()) << "change reported gone is never offered again";
    // A file where the snapshot folder belongs: the writes say so, memory keeps the records.
    std::filesystem::remove_all(base() + "/ord_snap");
    writeText(base() + "/ord_snap", "in the way");
    EXPECT_FALSE(mark_spent(g.state, std::string(64, 'f') + ":0", error));
    EXPECT_NE(error.find("ord_snap/w1_spent.json"), std::string::npos) << error;
    EXPECT_TRUE(is_spent(g.state, std::string(64, 'f') + ":0"));
    EXPECT_FALSE(save_change_snapshot(g.state, error));
    EXPECT_NE(error.find("ord_snap/w1_change.json"), std::string::npos) << error;
}
TEST_F(CoinsTest, ChangeNeverLandsOnAHouseOracle) {
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    Hash160 h{};
    std::string error;
    ASSERT_TRUE(choose_change_address(g.state, h, error));
    EXPECT_EQ(address_from_hash(h), g.state.keys.defaultKey.address);
    WalletState single;
    single.keys.defaultKey.address = house_oracle_addresses()[0];
    EXPECT_FALSE(choose_change_address(single, h, error));
    EXPECT_EQ(error, "change would land on a house oracle.");
}
class ScanTest : public test::FundedWalletTest {
protected:
    std::vector<int64_t> cachedSats(WalletState& w) {
        std::vector<int64_t> out;
        for (const Coin& c : w.coins.byAddress[address].coins) out.push_back(c.sats);
        std::sort(out.begin(), out.end());
        return out;
    }
    static std::string txPath(const std::string& txid) { return "/woc/v1/bsv/main/tx/" + txid; }
    std::string historyPath() const { return "/woc/v1/bsv/main/address/" + address + "/unconfirmed/history"; }
    void answer(const std::string& path, const json& doc, int status = 200) {
        inject({{"path_prefix", path}, {"status", status}, {"body", doc.dump()}});
    }
};
TEST_F(ScanTest, MempoolSpendsDropOnlyThatScansCoinsAndGoneChangeIsForgotten) {
    const std::string funding = fundWallet({5000, 7000});
    const std::string pending(64, 'd'), foreign(64, 'c'), neverSent(64, 'e');
    auto g = lockWallet();
    WalletState& w = g.state;
    std::string error;
    ASSERT_TRUE(record_broadcast(w, {}, {{4000, p2pkh_script(addressHash)}}, neverSent, false, error)) << error;
    ASSERT_EQ(w.coins.change.size(), 1u);
    // Someone's pending transaction spends our first coin and an outpoint of theirs.
    answer(historyPath(), {{"result", {{{"tx_hash", pending}}}}});
    answer(txPath(pending), {{"txid", pending}, {"vin", {{{"txid", funding}, {"vout", 0}}, {{"txid", foreign}, {"vout", 3}}}}});
    ASSERT_TRUE(scan_addresses(w, error)) << error;
    EXPECT_EQ(cachedSats(w), std::vector<int64_t>{7000}) << "a coin spent in the mempool is not offered";
    EXPECT_TRUE(w.coins.spent.empty()) << "pending spends are not remembered as ours";
    EXPECT_TRUE(w.coins.change.empty()) << "change the network does not list is gone";
    EXPECT_EQ(readJson(base() + "/ord_snap/w1_change.json")["coins"], json::array()) << "and forgotten on disk";
    ASSERT_TRUE(scan_addresses(w, error)) << error;
    EXPECT_EQ(cachedSats(w), (std::vector<int64_t>{5000, 7000})) << "no longer named by a pending transaction";
}
TEST_F(ScanTest, ReadsAtMost200PendingHistoryEntriesPerScan) {
    // 199 entries naming nothing, then two real-looking ones: only the 200th may be read.
    json list = json::array();
    for (int i = 0; i < 199; ++i) list.push_back({{"tx_hash", "not a txid"}});
    for (char c : {'a', 'b'}) {
        list.push_back({{"tx_hash", std::string(64, c)}});
        inject({{"path_prefix", txPath(std::string(64, c))}, {"status", 404}});
    }
    answer(historyPath(), {{"result", list}});
    std::string error;
    ASSERT_TRUE(scan_addresses(lockWallet().state, error)) << error;
    EXPECT_EQ(devnet.faults().pending(), 1u) << "the 200th entry read, the 201st not";
}
TEST_F(ScanTest, FallbackTakesOnlyIndexedOutputsOfTwoSatoshisOrMore) {
    const std::string funding = fundWallet({5000, 7000, 1});
    const json own = {{"addresses", {address}}};
    answer(txPath(funding), {{"txid", funding}, {"vout", {{{"value", 0.00005}, {"scriptPubKey", own}},
                                                          {{"n", 1}, {"value", 0.00007}, {"scriptPubKey", own}},
                                                          {{"n", 2}, {"value", 0.00000001}, {"scriptPubKey", own}}}}});
    auto g = lockWallet();
    g.state.coins.lastReceivedTxid = funding;
    std::vector<Coin> coins = general_spend_coins(g.state);
    ASSERT_EQ(coins.size(), 1u) << "no output without its index, none of 1 satoshi";
    EXPECT_TRUE(coins[0].vout == 1 && coins[0].sats == 7000);
}
}  // namespace
}  // namespace dialo

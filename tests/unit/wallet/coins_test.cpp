// The wallet's own view of its coins: unspent lists as the service sends them, selection,
// the spent and change snapshots that survive a restart, and the change address.

#include <gtest/gtest.h>

#include "../vaultra/vault_fixture.h"
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
    c.txid = std::string(64, fill);
    c.vout = vout;
    c.sats = sats;
    return c;
}

class CoinsTest : public test::VaultTest {
protected:
    void SetUp() override {
        VaultTest::SetUp();
        json doc = hdWallet();
        doc["recv"] = json::array({0, 2, 0, 0, 0, 0});
        addWallet("w1", doc);
        bind_instance("/opt/dialo", "Dialo");
    }
};

TEST(UnspentList, ReadsBothShapesAndDropsWhatCannotBeSpent) {
    std::vector<Coin> out;
    std::string error;
    const std::string a(64, 'a'), b(64, 'b');
    ASSERT_TRUE(read_unspent_list(json::array({{{"tx_hash", a}, {"tx_pos", 1}, {"value", 500}},
                                               {{"txid", b}, {"vout", 2}, {"value", 700.6}},
                                               {{"tx_hash", a}, {"tx_pos", 3}, {"value", 9}, {"isSpentInMempoolTx", true}},
                                               {{"tx_hash", "abc"}, {"tx_pos", 0}, {"value", 5}},
                                               7})
                                      .dump(),
                                  out, error));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].vout, 1u);
    EXPECT_EQ(out[1].sats, 701) << "values are rounded to whole satoshis";
    out.clear();
    ASSERT_TRUE(read_unspent_list(json{{"result", json::array({{{"tx_hash", a}, {"tx_pos", 0}, {"value", 3}}})}}.dump(),
                                  out, error));
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
    ASSERT_EQ(sel.size(), 1u);
    EXPECT_EQ(sel[0].sats, 400);
    ASSERT_TRUE(select_from_pool(g.state, 1300, sel));
    ASSERT_EQ(sel.size(), 2u);
    EXPECT_EQ(sel[0].sats + sel[1].sats, 1400);
    EXPECT_FALSE(select_from_pool(g.state, 5000, sel));
    EXPECT_TRUE(sel.empty());
    EXPECT_EQ(g.state.coins.pool.size(), 3u) << "the 1-satoshi coin is never pooled";

    mark_spent(g.state, outpoint_key(std::string(64, 'C'), 0));
    ASSERT_TRUE(select_from_pool(g.state, 300, sel));
    EXPECT_EQ(sel[0].sats, 1000) << "a spent coin is skipped whatever the case of its txid";
}

TEST_F(CoinsTest, SpentAndChangeSurviveARestart) {
    std::string changeAddress;
    {
        auto g = lockWallet();
        ASSERT_TRUE(load_wallet(g.state));
        changeAddress = g.state.keys.defaultKey.address;
        Hash160 own{}, other{};
        ASSERT_TRUE(decode_p2pkh_address(changeAddress, own));
        ASSERT_TRUE(decode_p2pkh_address("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", other));
        std::vector<Coin> inputs{coin('a', 5000, 1)};
        std::vector<TxOutput> outputs{{1, p2pkh_script(other)}, {0, data_output_script("x")}, {4000, p2pkh_script(own)}};
        record_broadcast(g.state, inputs, outputs, std::string(64, 'e'));
        ASSERT_EQ(g.state.coins.change.size(), 1u);
        EXPECT_EQ(g.state.coins.change[0].vout, 2u);
        EXPECT_EQ(g.state.coins.change[0].priv, g.state.keys.defaultKey.priv) << "change carries its key";
        reset_wallet_state(g.state);
    }
    // A new process: nothing in memory, only the files.
    auto g = lockWallet();
    ASSERT_TRUE(load_wallet(g.state));
    EXPECT_TRUE(is_spent(g.state, std::string(64, 'a') + ":1"));
    load_change_snapshot(g.state);
    ASSERT_EQ(g.state.coins.change.size(), 1u);
    EXPECT_EQ(g.state.coins.change[0].sats, 4000);
    EXPECT_EQ(address_from_hash(g.state.coins.change[0].owner), changeAddress);
    EXPECT_FALSE(g.state.coins.change[0].priv.empty());

    json spent = readJson(base() + "/ord_snap/w1_spent.json");
    EXPECT_EQ(spent["outpoints"], json::array({std::string(64, 'a') + ":1"}));
    forget_failed_inputs(g.state, {coin('e', 4000, 2)});
    EXPECT_TRUE(g.state.coins.change.empty()) << "change reported gone is never offered again";
}

TEST_F(CoinsTest, WalletKeyNamesTheSnapshotFiles) {
    {
        auto g = lockWallet();
        ASSERT_TRUE(load_wallet(g.state));
        EXPECT_EQ(wallet_key_text(g.state), "w1");
    }
    ASSERT_EQ(vaultra_disconnect(), "success");
    WalletState bare;
    bare.keys.defaultKey.address = std::string(85, '!');
    EXPECT_EQ(wallet_key_text(bare), std::string(80, '_'));
    EXPECT_EQ(wallet_key_text(WalletState{}), "wallet");
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
    single.keys.defaultKey.address = "not an address";
    EXPECT_FALSE(choose_change_address(single, h, error));
    EXPECT_EQ(error, "vaultra address decode failed.");
}

}  // namespace
}  // namespace dialo

// The platform service the devnet embeds: the push listing answers when a payment arrives,
// at once for an old cursor, and when the service stops; an old directory file keeps its
// handles; a platform of its own indexes only registered addresses; the ledger's feed.

#include <thread>

#include "support/devnet_fixture.h"
#include "service/platform.h"
#include "service/sqlite_db.h"

namespace dialo::devnet::test {
namespace {

class DevnetPlatformTest : public DevnetTest {
protected:
    std::string listingPath(const Key& k, const std::string& extra = {}) {
        return "/oi/oracle/dialo/txids?address=" + k.address + "&kind=all&limit=20" + extra;
    }
    const service::PlatformCounters& counters() { return devnet.platform().counters(); }
};

TEST_F(DevnetPlatformTest, PushListingAnswersWhenAPaymentArrivesAtOnceForAnOldCursorAndOnStop) {
    start();
    Key alice = keyOf('1');
    Reply first = get("/oi/capabilities");
    EXPECT_EQ(first.j["push"]["kind"], "long-poll");
    EXPECT_EQ(first.j["push"]["path"], "/oi/oracle/dialo/txids");
    const std::string before = fund(alice, 1000, false).txid;
    Reply now = get(listingPath(alice));
    ASSERT_EQ(now.status, 200) << now.body;
    ASSERT_TRUE(now.j["cursor"].is_string());
    const std::string cursor = now.j["cursor"];
    EXPECT_EQ(now.j["txids"], json::array({before}));

    // Waiting on the current cursor: the next payment, through whichever route, answers it.
    Reply pushed;
    std::thread waiter([&] { pushed = get(listingPath(alice, "&wait=20&after=" + cursor)); });
    ASSERT_TRUE(waitFor([&] { return counters().pushWaiting.load() == 1; }));
    const std::string paid = fund(alice, 2000, false).txid;
    waiter.join();
    ASSERT_EQ(pushed.status, 200) << pushed.body;
    EXPECT_EQ(pushed.j["txids"], json::array({before, paid}));
    EXPECT_GT(std::stoll(pushed.j["cursor"].get<std::string>()), std::stoll(cursor));
    EXPECT_EQ(counters().pushWoken.load(), 1u);

    // An old cursor is passed already: the answer comes without waiting.
    const uint64_t waits = counters().pushWaits;
    Reply stale = get(listingPath(alice, "&wait=20&after=" + cursor));
    EXPECT_EQ(stale.j["txids"], json::array({before, paid}));
    EXPECT_EQ(counters().pushWaits.load(), waits);
    EXPECT_EQ(get(listingPath(alice, "&wait=x")).status, 400);

    // Stopping ends a wait (longer than the client's patience) with the listing as it stands.
    Reply ended;
    const std::string latest = pushed.j["cursor"];
    std::thread last([&] { ended = get(listingPath(alice, "&wait=25&after=" + latest)); });
    ASSERT_TRUE(waitFor([&] { return counters().pushWaiting.load() == 1; }));
    devnet.stop();
    last.join();
    ASSERT_TRUE(ended.reached);
    EXPECT_EQ(ended.status, 200) << ended.body;
    EXPECT_EQ(ended.j["cursor"], latest);
}

TEST_F(DevnetPlatformTest, AnOldDirectoryFileKeepsItsHandles) {
    Key id = keyOf('a'), pay = keyOf('b');
    std::filesystem::create_directories(dir_);
    {
        service::SqlitePtr db;
        std::string error;
        ASSERT_TRUE(service::openDatabase((dir_ / "directory.sqlite").string(), db, error)) << error;
        ASSERT_TRUE(service::execSql(db.get(),
                                     "CREATE TABLE IF NOT EXISTS aliases(alias TEXT PRIMARY KEY, pubkey TEXT NOT NULL, "
                                     "address TEXT NOT NULL, avatar TEXT NOT NULL, ord_address TEXT NOT NULL, "
                                     "bn_pub TEXT NOT NULL, bn_address TEXT NOT NULL, ts INTEGER NOT NULL);"
                                     "CREATE INDEX IF NOT EXISTS aliases_pubkey ON aliases(pubkey);"
                                     "CREATE TABLE IF NOT EXISTS hosted(alias TEXT PRIMARY KEY, address TEXT NOT NULL);",
                                     error))
            << error;
        service::Stmt put(db.get(), "INSERT INTO aliases VALUES('olive', ?, ?, 'https://orvane.test/o.png', '', '', '', 5)");
        ASSERT_TRUE(put.bind(1, id.pub).bind(2, pay.address).run());
    }
    start();
    EXPECT_EQ(get("/api/bsvalias/address/olive@orvane.test").j["address"], pay.address);
    EXPECT_EQ(get("/api/bsvalias/id/olive@orvane.test").j["pubkey"], id.pub);
    EXPECT_EQ(get("/api/paymail/quota/" + id.pub).j["role"], "user");
    EXPECT_EQ(devnet.platform().storage().schemaVersion(), 2);
    // The owner's key still owns it.
    EXPECT_EQ(post("/api/paymail/claim", signedClaim("olive", keyOf('c'), pay)).status, 409);
    EXPECT_EQ(post("/api/paymail/claim", signedClaim("olive", id, keyOf('d'))).status, 200);
    restart();
    EXPECT_EQ(get("/api/bsvalias/address/olive@orvane.test").j["address"], keyOf('d').address);
}

TEST_F(DevnetPlatformTest, FeedGivesTransactionsAfterASequenceAndBlocksAboveAHeight) {
    start();
    Key alice = keyOf('1');
    Reply empty = get("/devnet/feed?after=0&wait=0");
    ASSERT_EQ(empty.status, 200) << empty.body;
    EXPECT_EQ(empty.j["txs"], json::array());
    const int64_t h0 = empty.j["height"];

    Reply fed;
    std::thread waiter([&] { fed = get("/devnet/feed?after=0&height=" + std::to_string(h0) + "&wait=20"); });
    const std::string txid = fund(alice, 1000, false).txid;
    waiter.join();
    ASSERT_EQ(fed.j["txs"].size(), 1u) << fed.body;
    const json& t = fed.j["txs"][0];
    EXPECT_EQ(t["txid"], txid);
    EXPECT_EQ(t["height"], -1);
    EXPECT_GT(t["seen_ms"].get<int64_t>(), 0);
    TxRecord rec;
    ASSERT_TRUE(devnet.ledger().tx(txid, rec));
    EXPECT_EQ(t["hex"], hex_encode(rec.raw));
    EXPECT_EQ(fed.j["cursor"], t["seq"]);

    const int64_t h1 = mine();
    Reply mined = get("/devnet/feed?after=" + std::to_string(fed.j["cursor"].get<int64_t>()) +
                      "&height=" + std::to_string(h0) + "&wait=20");
    EXPECT_EQ(mined.j["txs"], json::array());
    EXPECT_EQ(mined.j["cursor"], fed.j["cursor"]);
    EXPECT_EQ(mined.j["blocks"], json::array({{{"height", h1}, {"txids", {txid}}}}));
    EXPECT_EQ(mined.j["height"], h1);
    EXPECT_EQ(get("/devnet/feed?after=x").status, 400);
}

// A platform run apart, not indexing everything: only payments to registered handles count.
class QuietSource final : public service::ChainSource {
public:
    bool start(service::ChainSink, service::ConfirmSink, std::string, std::function<void(const std::string&)>,
               std::string&) override {
        return true;
    }
    void stop() override {}
    service::Relayed relay(const Bytes&) override { return {}; }
    json health() override { return json::object(); }
};

TEST_F(DevnetPlatformTest, WithoutIndexAllOnlyRegisteredAddressesAreIndexed) {
    std::filesystem::create_directories(dir_);
    Key alice = keyOf('1'), bob = keyOf('2'), payer = keyOf('3');
    service::Platform platform({}, service::makeSqliteStorage((dir_ / "platform" / "p.sqlite").string()),
                               std::make_unique<QuietSource>());
    std::string error;
    ASSERT_TRUE(platform.start(error)) << error;
    service::PaymailEntry alias;
    alias.alias = "alice";
    alias.pubkey = keyOf('a').pub;
    alias.address = alice.address;
    alias.ts = 10;
    ASSERT_EQ(platform.storage().putClaim(alias), service::PutClaim::Taken);

    Bytes raw = buildSigned({coinOf(payer, std::string(64, '7'), 0, 100000)}, {payTo(alice, 1000), payTo(bob, 2000)},
                            payer);
    service::ChainTx tx;
    tx.raw = raw;
    tx.seen = 1;
    platform.learn(tx);
    platform.learn(tx);  // told twice, held once

    service::Listing l;
    ASSERT_TRUE(platform.storage().listing(alice.address, 20, l));
    EXPECT_EQ(l.txids, std::vector<std::string>{txid_of(raw)});
    EXPECT_GT(l.cursor, 0);
    ASSERT_TRUE(platform.storage().listing(bob.address, 20, l));
    EXPECT_TRUE(l.txids.empty());
    EXPECT_EQ(l.cursor, 0);
    ASSERT_TRUE(platform.storage().listing(payer.address, 20, l));
    EXPECT_TRUE(l.txids.empty()) << "change to an unregistered address stays out";
    EXPECT_EQ(platform.counters().indexed.load(), 1u);
    service::IndexedTx held;
    ASSERT_TRUE(platform.storage().tx(txid_of(raw), held));
    EXPECT_EQ(held.raw, raw);
    platform.stop();
}

}  // namespace
}  // namespace dialo::devnet::test

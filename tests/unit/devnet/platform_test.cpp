// The platform service the devnet embeds: the push listing answers when a payment arrives,
// at once for an old cursor, and when the service stops; a data folder from before migrations
// keeps its handles; a platform of its own indexes only registered addresses. (The devnet's feed
// is followed by dialo-platform in the e2e platform run.)

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
    EXPECT_EQ(devnet.platform().storage().schemaVersion(), 2);
    // The owner's key still owns it.
    EXPECT_EQ(post("/api/paymail/claim", signedClaim("olive", keyOf('c'), pay)).status, 409);
    EXPECT_EQ(post("/api/paymail/claim", signedClaim("olive", id, keyOf('d'))).status, 200);
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

    for (const auto& [k, listed] : {std::pair{alice, true}, {bob, false}, {payer, false}}) {
        service::Listing l;
        ASSERT_TRUE(platform.storage().listing(k.address, 20, l));
        EXPECT_EQ(l.txids, listed ? std::vector<std::string>{txid_of(raw)} : std::vector<std::string>{}) << k.address;
    }
    EXPECT_EQ(platform.counters().indexed.load(), 1u);
    platform.stop();
}

}  // namespace
}  // namespace dialo::devnet::test

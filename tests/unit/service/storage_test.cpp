// The storage's behaviour, the same for every backend (each row starts a database of its own),
// and what only PostgreSQL promises: instances on one database hear each other's arrivals. (A
// server restart under a busy instance is the e2e platform run's.)

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include "service/storage.h"
#include "support/postgres_cluster.h"
#include "support/temp_folder.h"

namespace dialo::service {
namespace {

using namespace std::chrono_literals;

constexpr auto kDeadline = 60s;

/// One database of a backend, for one test.
struct Database {
    virtual ~Database() = default;
    /// Empty when the database is ready; else why not.
    virtual std::string problem() const = 0;
    /// Another storage on this database, not yet open.
    virtual std::unique_ptr<Storage> make() = 0;
};

struct PostgresDatabase : Database {
    test::PostgresCluster cluster;
    std::string problem() const override { return cluster.ok() ? "" : cluster.error(); }
    std::unique_ptr<Storage> make() override { return makePostgresStorage(cluster.conninfo()); }
};

struct SqliteDatabase : Database {
    test::TempFolder folder{"storage", false};
    std::string problem() const override { return folder.path.empty() ? "no temporary folder" : ""; }
    std::unique_ptr<Storage> make() override { return makeSqliteStorage(folder.path + "/platform.sqlite"); }
};

struct Backend {
    const char* name;
    std::function<std::unique_ptr<Database>()> start;
};

// A parameter's name in test output, instead of its bytes.
void PrintTo(const Backend& backend, std::ostream* os) { *os << backend.name; }

const Backend kBackends[] = {
    {"sqlite", [] { return std::make_unique<SqliteDatabase>(); }},
    {"postgres", [] { return std::make_unique<PostgresDatabase>(); }},
};

/// The addresses a hook was told, in order.
class Arrivals {
public:
    ArrivalHook hook() {
        return [this](const std::string& address) {
            std::lock_guard<std::mutex> lk(m_);
            told_.push_back(address);
            cv_.notify_all();
        };
    }
    bool waitFor(const std::string& address, size_t times = 1) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, kDeadline, [&] { return countLocked(address) >= times; });
    }
    size_t count(const std::string& address) {
        std::lock_guard<std::mutex> lk(m_);
        return countLocked(address);
    }

private:
    size_t countLocked(const std::string& address) const {
        return static_cast<size_t>(std::count(told_.begin(), told_.end(), address));
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> told_;
};

std::string key(char c) { return "02" + std::string(64, c); }
std::string txid(int n) {
    char buf[65];
    std::snprintf(buf, sizeof buf, "%064x", n);
    return buf;
}
IndexedTx makeTx(int n, int64_t height = -1) {
    IndexedTx t;
    t.txid = txid(n);
    // Raw transactions are full of zero bytes.
    t.raw = {0x01, 0x00, 0x00, 0x00, static_cast<uint8_t>(n), 0x00, 0xff, 0x00};
    t.height = height;
    t.seen = 1700000000000 + n;
    return t;
}

class StorageTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        db_ = GetParam().start();
        ASSERT_TRUE(db_->problem().empty()) << GetParam().name << ": " << db_->problem();
    }
    std::unique_ptr<Storage> opened(ArrivalHook hook = {}) {
        std::unique_ptr<Storage> s = db_->make();
        if (!s) {
            ADD_FAILURE() << "no storage";
            return s;
        }
        if (hook) s->setArrivalHook(std::move(hook));
        std::string error;
        EXPECT_TRUE(s->open(error)) << error;
        return s;
    }
    std::unique_ptr<Database> db_;
};

TEST_P(StorageTest, MigrationsRunOnceAndKeepTheData) {
    std::unique_ptr<Storage> first = opened();
    ASSERT_TRUE(first);
    const int version = first->schemaVersion();
    EXPECT_GE(version, 1);
    ASSERT_EQ(first->putClaim({"alice", key('a'), "1Alice", "", "", "", "1Bn", 100}), PutClaim::Taken);
    std::string value;
    EXPECT_FALSE(first->getValue("resume", value));
    const std::pair<std::string, std::string> values[] = {
        {"resume", "first"}, {"resume", "second"}, {"binary", std::string("a\0b\xff", 4)}, {"empty", ""}};
    for (const auto& [k, v] : values) ASSERT_TRUE(first->setValue(k, v)) << k;
    first->close();

    // The same object again, and a second one: nothing runs twice, nothing is lost.
    std::string error;
    ASSERT_TRUE(first->open(error)) << error;
    EXPECT_EQ(first->schemaVersion(), version);
    std::unique_ptr<Storage> second = opened();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->schemaVersion(), version);
    EXPECT_TRUE(second->healthy());
    PaymailEntry got;
    ASSERT_TRUE(second->lookupAlias("alice", got));
    EXPECT_EQ(got.bnAddress, "1Bn");
    for (size_t i = 1; i < std::size(values); ++i) {  // the first was overwritten
        ASSERT_TRUE(second->getValue(values[i].first, value)) << values[i].first;
        EXPECT_EQ(value, values[i].second) << values[i].first;
    }
}

TEST_P(StorageTest, ClaimsAreRefusedToOtherKeysAndOlderClaims) {
    std::unique_ptr<Storage> s = opened();
    ASSERT_TRUE(s);
    struct Step {
        const char* what;
        PaymailEntry entry;
        PutClaim expected;
    };
    const Step steps[] = {
        {"a new alias", {"alice", key('a'), "1A1", "", "", "", "", 100}, PutClaim::Taken},
        {"its owner, newer", {"alice", key('a'), "1A2", "av", "1Ord", "03bn", "1Bn", 200}, PutClaim::Taken},
        {"its owner, older", {"alice", key('a'), "1A3", "", "", "", "", 150}, PutClaim::Older},
        {"another key, newer", {"alice", key('b'), "1B", "", "", "", "", 300}, PutClaim::OtherOwner},
        {"another key, its own alias", {"bob", key('b'), "1B", "", "", "", "", 50}, PutClaim::Taken},
        {"its owner, the same claim again", {"alice", key('a'), "1A2", "av", "1Ord", "03bn", "1Bn", 200},
         PutClaim::Taken},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(s->putClaim(step.entry), step.expected) << step.what;
    }

    PaymailEntry got;
    ASSERT_TRUE(s->lookupAlias("alice", got));
    EXPECT_EQ(std::tie(got.alias, got.pubkey, got.address, got.avatar, got.ordAddress, got.bnPub, got.bnAddress, got.ts),
              std::tie(steps[1].entry.alias, steps[1].entry.pubkey, steps[1].entry.address, steps[1].entry.avatar,
                       steps[1].entry.ordAddress, steps[1].entry.bnPub, steps[1].entry.bnAddress, steps[1].entry.ts));
    EXPECT_FALSE(s->lookupAlias("carol", got));

    const std::pair<std::string, bool> pubkeys[] = {{key('a'), true}, {key('b'), true}, {key('c'), false}};
    for (const auto& [pubkey, held] : pubkeys) EXPECT_EQ(s->hasPubkey(pubkey), held) << pubkey;
    const std::pair<std::string, bool> addresses[] = {{"1A2", true}, {"1B", true}, {"1A1", false}, {"1A3", false}};
    for (const auto& [address, registered] : addresses) {
        bool got = !registered;
        EXPECT_TRUE(s->isRegisteredAddress(address, got)) << address;
        EXPECT_EQ(got, registered) << address;
    }
}

TEST_P(StorageTest, IndexListsOldestFirstWithAGrowingCursor) {
    std::unique_ptr<Storage> s = opened();
    ASSERT_TRUE(s);
    bool added = false;
    Listing l;
    ASSERT_TRUE(s->listing("1A", 10, l));
    EXPECT_TRUE(l.txids.empty());
    EXPECT_EQ(l.cursor, 0);

    ASSERT_TRUE(s->indexTx(makeTx(1), {"1A", "1B"}, added));
    EXPECT_TRUE(added);
    ASSERT_TRUE(s->listing("1A", 10, l));
    EXPECT_EQ(l.txids, std::vector<std::string>{txid(1)});
    const int64_t first = l.cursor;
    EXPECT_GT(first, 0);

    // Again, now confirmed: no new address, but the height it lacked.
    ASSERT_TRUE(s->indexTx(makeTx(1, 5), {"1A", "1B"}, added));
    EXPECT_FALSE(added);
    ASSERT_TRUE(s->listing("1A", 10, l));
    EXPECT_EQ(l.cursor, first);
    ASSERT_TRUE(s->indexTx(makeTx(1, 7), {"1A"}, added));
    EXPECT_FALSE(added);
    IndexedTx got;
    ASSERT_TRUE(s->tx(txid(1), got));
    EXPECT_EQ(got.raw, makeTx(1).raw);
    EXPECT_EQ(got.height, 5);
    EXPECT_EQ(got.seen, makeTx(1).seen);
    EXPECT_GT(got.indexed, 0);
    EXPECT_FALSE(s->tx(txid(99), got));

    int64_t cursor = first;
    for (int n : {2, 3}) {
        ASSERT_TRUE(s->indexTx(makeTx(n), {"1A", "1C"}, added));
        EXPECT_TRUE(added);
        ASSERT_TRUE(s->listing("1A", 10, l));
        EXPECT_GT(l.cursor, cursor) << n;
        cursor = l.cursor;
    }
    // An address the transaction lacked is added, and lists it last.
    ASSERT_TRUE(s->indexTx(makeTx(1), {"1A", "1C"}, added));
    EXPECT_TRUE(added);

    struct Case {
        const char* address;
        size_t limit;
        std::vector<std::string> txids;
    };
    const Case cases[] = {
        {"1A", 10, {txid(1), txid(2), txid(3)}},
        {"1A", 2, {txid(2), txid(3)}},
        {"1A", 0, {}},
        {"1B", 10, {txid(1)}},
        {"1C", 10, {txid(2), txid(3), txid(1)}},
        {"1Z", 10, {}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(s->listing(c.address, c.limit, l)) << c.address;
        EXPECT_EQ(l.txids, c.txids) << c.address << " limit " << c.limit;
        if (std::string(c.address) == "1A") {
            EXPECT_EQ(l.cursor, cursor) << "limit " << c.limit;
        }
    }
    Listing ofC;
    ASSERT_TRUE(s->listing("1C", 10, ofC));
    EXPECT_GT(ofC.cursor, cursor);

    ASSERT_TRUE(s->confirm({txid(2), txid(3)}, 9));
    ASSERT_TRUE(s->tx(txid(3), got));
    EXPECT_EQ(got.height, 9);
}

TEST_P(StorageTest, TheHookHearsEachNewAddressOnce) {
    Arrivals arrivals;
    std::unique_ptr<Storage> s = opened(arrivals.hook());
    ASSERT_TRUE(s);
    bool added = false;
    ASSERT_TRUE(s->indexTx(makeTx(1), {"1A", "1B"}, added));
    ASSERT_TRUE(s->indexTx(makeTx(1), {"1A", "1B"}, added));
    ASSERT_TRUE(s->indexTx(makeTx(1), {"1A", "1B", "1C", "1C"}, added));
    ASSERT_TRUE(s->indexTx(makeTx(2), {"1A"}, added));
    // Arrivals are told in order: once the last is heard, every earlier one was.
    ASSERT_TRUE(s->indexTx(makeTx(3), {"1Last"}, added));
    ASSERT_TRUE(arrivals.waitFor("1Last"));
    const std::pair<std::string, size_t> counts[] = {{"1A", 2}, {"1B", 1}, {"1C", 1}, {"", 0}};
    for (const auto& [address, times] : counts) EXPECT_EQ(arrivals.count(address), times) << address;
}

INSTANTIATE_TEST_SUITE_P(Backends, StorageTest, ::testing::ValuesIn(kBackends),
                         [](const ::testing::TestParamInfo<Backend>& info) { return std::string(info.param.name); });

std::unique_ptr<Storage> openPostgres(const test::PostgresCluster& cluster, Arrivals& arrivals) {
    std::unique_ptr<Storage> s = makePostgresStorage(cluster.conninfo());
    s->setArrivalHook(arrivals.hook());
    std::string error;
    EXPECT_TRUE(s->open(error)) << error;
    return s;
}

TEST(PostgresStorage, InstancesOnOneDatabaseHearEachOther) {
    test::PostgresCluster cluster;
    ASSERT_TRUE(cluster.ok()) << cluster.error();
    Arrivals heardByOne, heardByTwo;
    // Started together: the migrations take turns.
    std::unique_ptr<Storage> one, two;
    std::thread starting([&] { one = openPostgres(cluster, heardByOne); });
    two = openPostgres(cluster, heardByTwo);
    starting.join();
    ASSERT_TRUE(one && two);
    EXPECT_GE(one->schemaVersion(), 1);
    EXPECT_EQ(one->schemaVersion(), two->schemaVersion());

    bool added = false;
    ASSERT_TRUE(one->indexTx(makeTx(1), {"1Shared"}, added));
    EXPECT_TRUE(heardByTwo.waitFor("1Shared"));
    EXPECT_TRUE(heardByOne.waitFor("1Shared"));
    ASSERT_TRUE(two->indexTx(makeTx(2), {"1Shared"}, added));
    EXPECT_TRUE(heardByOne.waitFor("1Shared", 2));

    Listing fromOne, fromTwo;
    ASSERT_TRUE(one->listing("1Shared", 10, fromOne));
    ASSERT_TRUE(two->listing("1Shared", 10, fromTwo));
    EXPECT_EQ(fromOne.txids, (std::vector<std::string>{txid(1), txid(2)}));
    EXPECT_EQ(fromOne.txids, fromTwo.txids);
    EXPECT_EQ(fromOne.cursor, fromTwo.cursor);

    PaymailEntry alice{"alice", key('a'), "1A", "", "", "", "", 100};
    ASSERT_EQ(one->putClaim(alice), PutClaim::Taken);
    alice.pubkey = key('b');
    EXPECT_EQ(two->putClaim(alice), PutClaim::OtherOwner);
}

}  // namespace
}  // namespace dialo::service

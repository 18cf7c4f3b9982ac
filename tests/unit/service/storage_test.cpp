// One table of cases run on each backend; two instances on one PostgreSQL are e2e's.
#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>
#include "service/storage.h"
#include "support/postgres_cluster.h"
#include "support/temp_folder.h"

namespace dialo::service {
namespace {
class Arrivals {
public:
    ArrivalHook hook() {
        return [this](const std::string& address) {
            std::lock_guard<std::mutex> lk(m_);
            told_.push_back(address);
            cv_.notify_all();
        };
    }
    bool waitFor(const std::string& address, long times = 1) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::seconds(60), [&] { return std::count(told_.begin(), told_.end(), address) >= times; });
    }
    long count(const std::string& address) {
        std::lock_guard<std::mutex> lk(m_);
        return std::count(told_.begin(), told_.end(), address);
    }
private:
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
    // Raw transactions are full of zero bytes.
    return {.txid = txid(n), .raw = {0x01, 0x00, 0x00, uint8_t(n), 0x00, 0xff, 0x00}, .height = height,
            .seen = 1700000000000 + n, .indexed = 0};
}
std::unique_ptr<Storage> opened(std::unique_ptr<Storage> s, Arrivals* arrivals = nullptr) {
    if (arrivals) s->setArrivalHook(arrivals->hook());
    std::string error;
    EXPECT_TRUE(s->open(error)) << error;
    return s;
}
class StorageTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (postgres()) {
            ASSERT_TRUE(cluster_.emplace().ok()) << cluster_->error();
        }
    }
    bool postgres() const { return std::string(GetParam()) == "postgres"; }
    std::unique_ptr<Storage> make(Arrivals* arrivals = nullptr) {
        return opened(postgres() ? makePostgresStorage(cluster_->conninfo()) : makeSqliteStorage(folder_.path + "/p.sqlite"),
                      arrivals);
    }
    test::TempFolder folder_{"storage", false};
    std::optional<test::PostgresCluster> cluster_;
};
TEST_P(StorageTest, MigrationsRunOnceAndKeepTheData) {
    std::unique_ptr<Storage> first = make();
    const int version = first->schemaVersion();
    EXPECT_GE(version, 1);
    ASSERT_EQ(first->putClaim({"alice", key('a'), "1Alice", "", "", "", "1Bn", 100}), PutClaim::Taken);
    const std::pair<std::string, std::string> values[] = {{"resume", "second"}, {"binary", std::string("a\0b\xff", 4)}, {"empty", ""}};
    std::string value;
    EXPECT_FALSE(first->getValue("resume", value));
    ASSERT_TRUE(first->setValue("resume", "first"));
    for (const auto& [k, v] : values) ASSERT_TRUE(first->setValue(k, v)) << k;
    first->close();
    // The same object again, and a second one: nothing runs twice, nothing is lost.
    std::string error;
    ASSERT_TRUE(first->open(error)) << error;
    EXPECT_EQ(first->schemaVersion(), version);
    std::unique_ptr<Storage> second = make();
    EXPECT_EQ(second->schemaVersion(), version);
    EXPECT_TRUE(second->healthy());
    PaymailEntry got;
    ASSERT_TRUE(second->lookupAlias("alice", got));
    EXPECT_EQ(got.bnAddress, "1Bn");
    for (const auto& [k, v] : values) EXPECT_TRUE(second->getValue(k, value) && value == v) << k;
}
TEST_P(StorageTest, ClaimsAreRefusedToOtherKeysAndOlderClaims) {
    std::unique_ptr<Storage> s = make();
    const PaymailEntry newer = {"alice", key('a'), "1A2", "av", "1Ord", "03bn", "1Bn", 200};
    const std::tuple<const char*, PaymailEntry, PutClaim> steps[] = {
        {"a new alias", {"alice", key('a'), "1A1", "", "", "", "", 100}, PutClaim::Taken},
        {"its owner, newer", newer, PutClaim::Taken},
        {"its owner, older", {"alice", key('a'), "1A3", "", "", "", "", 150}, PutClaim::Older},
        {"another key, newer", {"alice", key('b'), "1B", "", "", "", "", 300}, PutClaim::OtherOwner},
        {"another key, its own alias", {"bob", key('b'), "1B", "", "", "", "", 50}, PutClaim::Taken},
        {"its owner, the same claim again", newer, PutClaim::Taken},
    };
    for (const auto& [what, entry, expected] : steps) EXPECT_EQ(s->putClaim(entry), expected) << what;
    PaymailEntry got;
    ASSERT_TRUE(s->lookupAlias("alice", got));
    EXPECT_EQ(std::tie(got.alias, got.pubkey, got.address, got.avatar, got.ordAddress, got.bnPub, got.bnAddress, got.ts),
              std::tie(newer.alias, newer.pubkey, newer.address, newer.avatar, newer.ordAddress, newer.bnPub,
                       newer.bnAddress, newer.ts));
    EXPECT_FALSE(s->lookupAlias("carol", got));
    EXPECT_TRUE(s->hasPubkey(key('b')));
    EXPECT_FALSE(s->hasPubkey(key('c')));
    for (const auto& [address, registered] : {std::pair{"1A2", true}, {"1B", true}, {"1A1", false}, {"1A3", false}}) {
        bool got = !registered;
        EXPECT_TRUE(s->isRegisteredAddress(address, got)) << address;
        EXPECT_EQ(got, registered) << address;
    }
}
TEST_P(StorageTest, IndexListsOldestFirstWithAGrowingCursorAndTellsEachNewAddressOnce) {
    Arrivals arrivals;
    std::unique_ptr<Storage> s = make(&arrivals);
    bool added = false;
    Listing l;
    ASSERT_TRUE(s->listing("1A", 10, l));
    EXPECT_TRUE(l.txids.empty() && l.cursor == 0);
    // Each step: a transaction, its addresses, whether one is new, whether 1A's cursor grows.
    const std::tuple<IndexedTx, std::vector<std::string>, bool, bool> steps[] = {
        {makeTx(1), {"1A", "1B"}, true, true},
        {makeTx(1, 5), {"1A", "1B"}, false, false},  // now confirmed: the height it lacked, no new address
        {makeTx(1, 7), {"1A"}, false, false},
        {makeTx(2), {"1A", "1C"}, true, true},
        {makeTx(3), {"1A", "1C"}, true, true},
        {makeTx(1), {"1A", "1C", "1C"}, true, false},  // an address it lacked lists it last
    };
    int64_t cursor = 0;
    for (const auto& [tx, addresses, isNew, grows] : steps) {
        ASSERT_TRUE(s->indexTx(tx, addresses, added));
        EXPECT_EQ(added, isNew) << tx.txid;
        ASSERT_TRUE(s->listing("1A", 10, l));
        EXPECT_EQ(l.cursor > cursor, grows) << tx.txid;
        cursor = l.cursor;
    }
    IndexedTx got;
    ASSERT_TRUE(s->tx(txid(1), got));
    EXPECT_EQ(std::tie(got.raw, got.height, got.seen), std::make_tuple(makeTx(1).raw, int64_t(5), makeTx(1).seen));
    EXPECT_GT(got.indexed, 0);
    EXPECT_FALSE(s->tx(txid(99), got));
    const std::tuple<const char*, size_t, std::vector<std::string>> listings[] = {
        {"1A", 10, {txid(1), txid(2), txid(3)}}, {"1A", 2, {txid(2), txid(3)}}, {"1A", 0, {}},
        {"1B", 10, {txid(1)}}, {"1C", 10, {txid(2), txid(3), txid(1)}}, {"1Z", 10, {}},
    };
    for (const auto& [address, limit, txids] : listings) {
        ASSERT_TRUE(s->listing(address, limit, l)) << address;
        EXPECT_EQ(l.txids, txids) << address << " limit " << limit;
        if (std::string(address) == "1A") {
            EXPECT_EQ(l.cursor, cursor) << "limit " << limit;
        }
    }
    ASSERT_TRUE(s->confirm({txid(2), txid(3)}, 9));
    ASSERT_TRUE(s->tx(txid(3), got));
    EXPECT_EQ(got.height, 9);
    // Arrivals are told in order: once the last is heard, every earlier one was.
    ASSERT_TRUE(s->indexTx(makeTx(4), {"1Last"}, added));
    ASSERT_TRUE(arrivals.waitFor("1Last"));
    for (const auto& [address, times] : {std::pair{"1A", 3}, {"1B", 1}, {"1C", 3}, {"", 0}})
        EXPECT_EQ(arrivals.count(address), times) << address;
}
INSTANTIATE_TEST_SUITE_P(Backends, StorageTest, ::testing::Values("sqlite", "postgres"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });
}  // namespace
}  // namespace dialo::service

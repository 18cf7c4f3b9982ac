// The storage on PostgreSQL, for several platform instances sharing one database: a few
// pooled connections for the calls, and one more that LISTENs for arrivals from every instance.

#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <limits>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "service/pg_handles.h"
#include "service/storage.h"

namespace dialo::service {
namespace {

constexpr size_t kPoolSize = 4;
constexpr int kPoolWaitSeconds = 10;  // the longest a call waits for a free connection
constexpr const char* kChannel = "dialo_arrival";
// Advisory lock keys: one for the migrations, one space (with the address's hash) for the
// index rows of one address.
constexpr const char* kMigrationLock = "7236912345678901";
constexpr const char* kAddressLockSpace = "1684627712";
constexpr int kBackoffFirstMs = 100;
constexpr int kBackoffMaxMs = 2000;

// Numbered from 1 in this order; a migration never changes once released.
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE aliases (
    alias text PRIMARY KEY,
    pubkey text NOT NULL,
    address text NOT NULL,
    avatar text NOT NULL DEFAULT '',
    ord_address text NOT NULL DEFAULT '',
    bn_pub text NOT NULL DEFAULT '',
    bn_address text NOT NULL DEFAULT '',
    ts bigint NOT NULL
);
CREATE INDEX aliases_pubkey ON aliases (pubkey);
CREATE INDEX aliases_address ON aliases (address);
CREATE TABLE txs (
    txid text PRIMARY KEY,
    raw bytea NOT NULL,
    height bigint NOT NULL DEFAULT -1,
    seen bigint NOT NULL DEFAULT 0,
    indexed bigint NOT NULL
);
CREATE TABLE tx_index (
    seq bigserial PRIMARY KEY,
    address text NOT NULL,
    txid text NOT NULL REFERENCES txs (txid),
    UNIQUE (address, txid)
);
CREATE INDEX tx_index_address_seq ON tx_index (address, seq);
CREATE TABLE kv (
    key text PRIMARY KEY,
    value bytea NOT NULL
);
)sql",
};

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string trimmed(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

int64_t toInt(const char* text) {
    if (!text) return 0;
    return std::strtoll(text, nullptr, 10);
}

/// The connection keeps nothing of a notice (libpq prints them to stderr otherwise).
void quietNotice(void*, const char*) {}

pg::Conn connect(const std::string& conninfo, std::string* error) {
    // The operator's string comes last so that it may override these.
    // A statement or a lock held past a few seconds (a hung server, a partition) must fail the
    // call, not hold the pool and with it every request, /healthz included.
    const char* keys[] = {"connect_timeout", "application_name", "keepalives_idle", "keepalives_interval",
                          "keepalives_count", "tcp_user_timeout", "options", "dbname", nullptr};
    const char* values[] = {"5", "dialo-platform", "10", "5", "3", "10000",
                            "-c statement_timeout=10000 -c lock_timeout=10000", conninfo.c_str(), nullptr};
    pg::Conn conn(PQconnectdbParams(keys, values, 1));
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        if (error) *error = conn ? trimmed(PQerrorMessage(conn.get())) : "out of memory";
        return {};
    }
    PQsetNoticeProcessor(conn.get(), quietNotice, nullptr);
    return conn;
}

struct Param {
    std::string data;
    bool binary = false;
};
Param txt(std::string s) { return {std::move(s), false}; }
Param num(int64_t v) { return {std::to_string(v), false}; }
Param bin(const Bytes& b) { return {std::string(b.begin(), b.end()), true}; }
Param bin(const std::string& s) { return {s, true}; }

/// A PostgreSQL array literal of texts.
std::string textArray(const std::vector<std::string>& items) {
    std::string out = "{";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += ',';
        out += '"';
        for (char c : items[i]) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    out += '}';
    return out;
}

/// One call's use of a pooled connection; remembers whether the connection itself failed.
struct Session {
    PGconn* conn = nullptr;
    bool lost = false;

    pg::Result exec(const char* sql, const std::vector<Param>& params = {}) {
        std::vector<const char*> values;
        std::vector<int> lengths;
        std::vector<int> formats;
        for (const Param& p : params) {
            values.push_back(p.data.c_str());
            lengths.push_back(static_cast<int>(p.data.size()));
            formats.push_back(p.binary ? 1 : 0);
        }
        pg::Result r(PQexecParams(conn, sql, static_cast<int>(params.size()), nullptr, values.data(),
                                  lengths.data(), formats.data(), 0));
        if (!good(r)) noteFailure(r.get());
        return r;
    }
    /// Several statements without parameters (the migrations).
    bool script(const char* sql) {
        pg::Result r(PQexec(conn, sql));
        if (!good(r)) {
            noteFailure(r.get());
            return false;
        }
        return true;
    }
    bool run(const char* sql, const std::vector<Param>& params = {}) { return good(exec(sql, params)); }

    static bool good(const pg::Result& r) {
        if (!r) return false;
        ExecStatusType s = PQresultStatus(r.get());
        return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
    }
    void noteFailure(const PGresult* r) {
        if (PQstatus(conn) != CONNECTION_OK || r == nullptr) {
            lost = true;
            return;
        }
        const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
        std::string_view s = state ? state : "";
        // Connection exceptions and the server shutting down: this connection is done for.
        if (s.starts_with("08") || s.starts_with("57P")) lost = true;
    }
};

/// Ends a transaction the call began; anything not committed rolls back.
class Transaction {
public:
    explicit Transaction(Session& s) : s_(s) { begun_ = s_.run("BEGIN"); }
    ~Transaction() {
        if (begun_ && !done_ && !s_.lost) s_.run("ROLLBACK");
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool begun() const { return begun_; }
    bool commit() {
        done_ = true;
        return s_.run("COMMIT");
    }

private:
    Session& s_;
    bool begun_ = false;
    bool done_ = false;
};

/// A pipe whose read end wakes the listener when it is to stop.
struct StopPipe {
    int fds[2] = {-1, -1};
    bool make() { return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0; }
    void signal() {
        if (fds[1] >= 0) {
            char b = 1;
            [[maybe_unused]] ssize_t n = ::write(fds[1], &b, 1);
        }
    }
    void reset() {
        for (int& fd : fds) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }
    ~StopPipe() { reset(); }
};

class PostgresStorage final : public Storage {
public:
    explicit PostgresStorage(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    ~PostgresStorage() override { close(); }

    bool open(std::string& error) override {
        std::lock_guard<std::mutex> lifecycle(lifecycle_);
        if (opened_) return true;
        {
            std::lock_guard<std::mutex> lk(poolMutex_);
            poolOpen_ = true;
        }
        if (!migrate(error)) {
            closePool();
            return false;
        }
        pg::Conn listener = connectListener(&error);
        if (!listener || !stop_.make()) {
            if (error.empty()) error = "cannot make the listener's pipe";
            stop_.reset();
            closePool();
            return false;
        }
        try {
            listenerThread_ = std::thread([this, c = std::move(listener)]() mutable { listen(std::move(c)); });
        } catch (const std::system_error& e) {
            error = e.what();
            stop_.reset();
            closePool();
            return false;
        }
        opened_ = true;
        return true;
    }

    void close() override {
        std::lock_guard<std::mutex> lifecycle(lifecycle_);
        if (!opened_) return;
        stop_.signal();
        if (listenerThread_.joinable()) listenerThread_.join();
        stop_.reset();
        closePool();
        opened_ = false;
    }

    int schemaVersion() override { return version_.load(); }

    bool healthy() override {
        return call([](Session& s) { return s.run("SELECT 1"); });
    }

    void setArrivalHook(ArrivalHook hook) override {
        std::lock_guard<std::mutex> lk(hookMutex_);
        hook_ = std::move(hook);
    }

    bool lookupAlias(const std::string& alias, PaymailEntry& out) override {
        bool found = false;
        bool ok = call([&](Session& s) {
            found = false;
            pg::Result r = s.exec(
                "SELECT pubkey, address, avatar, ord_address, bn_pub, bn_address, ts FROM aliases WHERE alias = $1",
                {txt(alias)});
            if (!Session::good(r)) return false;
            if (PQntuples(r.get()) == 1) {
                PGresult* p = r.get();
                out.alias = alias;
                out.pubkey = PQgetvalue(p, 0, 0);
                out.address = PQgetvalue(p, 0, 1);
                out.avatar = PQgetvalue(p, 0, 2);
                out.ordAddress = PQgetvalue(p, 0, 3);
                out.bnPub = PQgetvalue(p, 0, 4);
                out.bnAddress = PQgetvalue(p, 0, 5);
                out.ts = toInt(PQgetvalue(p, 0, 6));
                found = true;
            }
            return true;
        });
        return ok && found;
    }

    bool hasPubkey(const std::string& pubkey) override {
        return exists("SELECT 1 FROM aliases WHERE pubkey = $1 LIMIT 1", pubkey);
    }

    bool isRegisteredAddress(const std::string& address, bool& registered) override {
        bool found = false;
        if (!call([&](Session& s) {
                pg::Result r = s.exec("SELECT 1 FROM aliases WHERE address = $1 LIMIT 1", {txt(address)});
                if (!Session::good(r)) return false;
                found = PQntuples(r.get()) > 0;
                return true;
            }))
            return false;
        registered = found;
        return true;
    }

    PutClaim putClaim(const PaymailEntry& e) override {
        PutClaim result = PutClaim::Failed;
        // One statement: the upsert happens only for the same key and a claim at least as new;
        // the owner read beside it (from before the statement) tells the refusals apart. An
        // alias never changes hands, so that owner is still the owner.
        call([&](Session& s) {
            pg::Result r = s.exec(
                "WITH up AS ("
                "  INSERT INTO aliases (alias, pubkey, address, avatar, ord_address, bn_pub, bn_address, ts)"
                "  VALUES ($1, $2, $3, $4, $5, $6, $7, $8)"
                "  ON CONFLICT (alias) DO UPDATE SET address = EXCLUDED.address, avatar = EXCLUDED.avatar,"
                "    ord_address = EXCLUDED.ord_address, bn_pub = EXCLUDED.bn_pub,"
                "    bn_address = EXCLUDED.bn_address, ts = EXCLUDED.ts"
                "  WHERE aliases.pubkey = EXCLUDED.pubkey AND aliases.ts <= EXCLUDED.ts"
                "  RETURNING 1)"
                " SELECT (SELECT count(*) FROM up), (SELECT pubkey FROM aliases WHERE alias = $1)",
                {txt(e.alias), txt(e.pubkey), txt(e.address), txt(e.avatar), txt(e.ordAddress), txt(e.bnPub),
                 txt(e.bnAddress), num(e.ts)});
            if (!Session::good(r) || PQntuples(r.get()) != 1) return false;
            if (toInt(PQgetvalue(r.get(), 0, 0)) == 1) {
                result = PutClaim::Taken;
            } else {
                result = e.pubkey == PQgetvalue(r.get(), 0, 1) ? PutClaim::Older : PutClaim::OtherOwner;
            }
            return true;
        });
        return result;
    }

    bool indexTx(const IndexedTx& tx, const std::vector<std::string>& addresses, bool& added) override {
        // Sorted, so that two instances take the address locks in one order.
        std::set<std::string> unique(addresses.begin(), addresses.end());
        const int64_t indexed = tx.indexed > 0 ? tx.indexed : nowMs();
        std::vector<std::string> arrived;
        const bool ok = call([&](Session& s) {
            added = false;
            arrived.clear();
            Transaction t(s);
            if (!t.begun()) return false;
            if (!s.run("INSERT INTO txs (txid, raw, height, seen, indexed) VALUES ($1, $2, $3, $4, $5)"
                       " ON CONFLICT (txid) DO UPDATE SET height = EXCLUDED.height"
                       " WHERE txs.height < 0 AND EXCLUDED.height >= 0",
                       {txt(tx.txid), bin(tx.raw), num(tx.height), num(tx.seen), num(indexed)})) {
                return false;
            }
            for (const std::string& address : unique) {
                // The address's lock, held to commit, makes its rows take their seq in commit
                // order: a cursor a reader saw is never passed later by a row committed before.
                // The notification leaves with the commit, to every instance listening.
                pg::Result r = s.exec(
                    "WITH locked AS (SELECT pg_advisory_xact_lock($3::int, hashtext($1))),"
                    " ins AS (INSERT INTO tx_index (address, txid) SELECT $1, $2 FROM locked"
                    "   ON CONFLICT DO NOTHING RETURNING address)"
                    " SELECT pg_notify($4, address) FROM ins",
                    {txt(address), txt(tx.txid), txt(kAddressLockSpace), txt(kChannel)});
                if (!Session::good(r)) return false;
                if (PQntuples(r.get()) > 0) arrived.push_back(address);
            }
            if (!t.commit()) return false;
            added = !arrived.empty();
            return true;
        });
        // This instance's waits are told at once too: they need not wait for the notification
        // to come back, nor hang on a listener that cannot listen (a pooler in transaction mode).
        if (ok)
            for (const std::string& address : arrived) tell(address);
        return ok;
    }

    bool listing(const std::string& address, size_t limit, Listing& out) override {
        const int64_t cap = static_cast<int64_t>(
            std::min<size_t>(limit, static_cast<size_t>(std::numeric_limits<int64_t>::max())));
        return call([&](Session& s) {
            out = Listing{};
            if (cap == 0) {
                pg::Result r = s.exec("SELECT coalesce(max(seq), 0) FROM tx_index WHERE address = $1", {txt(address)});
                if (!Session::good(r) || PQntuples(r.get()) != 1) return false;
                out.cursor = toInt(PQgetvalue(r.get(), 0, 0));
                return true;
            }
            // The newest row's seq is the address's cursor, read in the same snapshot as the rows.
            pg::Result r = s.exec("SELECT txid, seq FROM tx_index WHERE address = $1 ORDER BY seq DESC LIMIT $2",
                                  {txt(address), num(cap)});
            if (!Session::good(r)) return false;
            const int n = PQntuples(r.get());
            for (int i = n - 1; i >= 0; --i) out.txids.emplace_back(PQgetvalue(r.get(), i, 0));
            if (n > 0) out.cursor = toInt(PQgetvalue(r.get(), 0, 1));
            return true;
        });
    }

    bool tx(const std::string& txid, IndexedTx& out) override {
        bool found = false;
        bool ok = call([&](Session& s) {
            found = false;
            pg::Result r = s.exec("SELECT raw, height, seen, indexed FROM txs WHERE txid = $1", {txt(txid)});
            if (!Session::good(r)) return false;
            if (PQntuples(r.get()) != 1) return true;
            size_t size = 0;
            pg::Mem<unsigned char> raw(
                PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(r.get(), 0, 0)), &size));
            if (!raw) return false;
            out.txid = txid;
            out.raw.assign(raw.get(), raw.get() + size);
            out.height = toInt(PQgetvalue(r.get(), 0, 1));
            out.seen = toInt(PQgetvalue(r.get(), 0, 2));
            out.indexed = toInt(PQgetvalue(r.get(), 0, 3));
            found = true;
            return true;
        });
        return ok && found;
    }

    bool confirm(const std::vector<std::string>& txids, int64_t height) override {
        if (txids.empty()) return true;
        return call([&](Session& s) {
            return s.run("UPDATE txs SET height = $1 WHERE txid = ANY($2::text[])", {num(height), txt(textArray(txids))});
        });
    }

    bool getValue(const std::string& key, std::string& out) override {
        bool found = false;
        bool ok = call([&](Session& s) {
            found = false;
            pg::Result r = s.exec("SELECT value FROM kv WHERE key = $1", {txt(key)});
            if (!Session::good(r)) return false;
            if (PQntuples(r.get()) != 1) return true;
            size_t size = 0;
            pg::Mem<unsigned char> value(
                PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(r.get(), 0, 0)), &size));
            if (!value) return false;
            out.assign(reinterpret_cast<const char*>(value.get()), size);
            found = true;
            return true;
        });
        return ok && found;
    }

    bool setValue(const std::string& key, const std::string& value) override {
        return call([&](Session& s) {
            return s.run("INSERT INTO kv (key, value) VALUES ($1, $2) ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value",
                         {txt(key), bin(value)});
        });
    }

private:
    // ---- The pool.

    /// A connection for one call: an idle one, or a new one while fewer than kPoolSize are out.
    pg::Conn acquire(bool& fresh) {
        std::unique_lock<std::mutex> lk(poolMutex_);
        // Bounded: with every connection stuck, a call fails rather than holding its thread.
        if (!poolFree_.wait_for(lk, std::chrono::seconds(kPoolWaitSeconds),
                                [&] { return !poolOpen_ || !idle_.empty() || out_ < kPoolSize; }))
            return {};
        if (!poolOpen_) return {};
        ++out_;
        if (!idle_.empty()) {
            pg::Conn c = std::move(idle_.back());
            idle_.pop_back();
            fresh = false;
            return c;
        }
        lk.unlock();
        pg::Conn c = connect(conninfo_, nullptr);
        fresh = true;
        lk.lock();
        if (!c) {
            --out_;
            poolFree_.notify_one();
        } else {
            ownPids_.insert(PQbackendPID(c.get()));
        }
        return c;
    }

    void release(pg::Conn conn, bool lost) {
        if (!lost && PQtransactionStatus(conn.get()) != PQTRANS_IDLE) {
            pg::Result r(PQexec(conn.get(), "ROLLBACK"));
            lost = !Session::good(r);
        }
        if (PQstatus(conn.get()) != CONNECTION_OK) lost = true;
        pg::Conn dropped;
        std::vector<pg::Conn> stale;
        {
            std::lock_guard<std::mutex> lk(poolMutex_);
            --out_;
            if (!lost && poolOpen_) {
                idle_.push_back(std::move(conn));
            } else {
                dropped = std::move(conn);
                // A lost connection is most often a restarted server, which lost the idle ones
                // too: the next calls start on new connections instead of failing on those.
                if (lost) stale.swap(idle_);
                ownPids_.erase(PQbackendPID(dropped.get()));
                for (const pg::Conn& c : stale) ownPids_.erase(PQbackendPID(c.get()));
            }
            poolFree_.notify_one();
        }
    }

    /// Runs one call's statements on a pooled connection. A connection the server dropped
    /// while it sat idle (a restart) fails its first statement, so such a failure tries once
    /// more on a new connection; a new connection failing means the server is away now.
    template <typename Body>
    bool call(Body&& body) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            bool fresh = false;
            pg::Conn conn = acquire(fresh);
            if (!conn) return false;
            Session s{conn.get()};
            bool ok = body(s);
            release(std::move(conn), s.lost);
            if (ok) return true;
            if (!s.lost || fresh) return false;
        }
        return false;
    }

    bool exists(const char* sql, const std::string& key) {
        bool found = false;
        bool ok = call([&](Session& s) {
            pg::Result r = s.exec(sql, {txt(key)});
            if (!Session::good(r)) return false;
            found = PQntuples(r.get()) > 0;
            return true;
        });
        return ok && found;
    }

    void closePool() {
        std::vector<pg::Conn> dropped;
        std::unique_lock<std::mutex> lk(poolMutex_);
        poolOpen_ = false;
        poolFree_.notify_all();
        // Calls still running give their connections back (and see them closed) first.
        poolFree_.wait(lk, [&] { return out_ == 0; });
        dropped.swap(idle_);
        ownPids_.clear();
    }

    // ---- Migrations.

    bool migrate(std::string& error) {
        pg::Conn conn = connect(conninfo_, &error);
        if (!conn) return false;
        Session s{conn.get()};
        auto fail = [&](const char* what) {
            error = std::string(what) + ": " + trimmed(PQerrorMessage(conn.get()));
            return false;
        };
        // Instances starting together take turns; the lock ends with this connection at the latest.
        if (!s.run("SELECT pg_advisory_lock($1::bigint)", {txt(kMigrationLock)})) return fail("migration lock");
        if (!s.script("CREATE TABLE IF NOT EXISTS schema_migrations (version integer PRIMARY KEY)")) {
            return fail("schema_migrations");
        }
        pg::Result r = s.exec("SELECT coalesce(max(version), 0) FROM schema_migrations");
        if (!Session::good(r) || PQntuples(r.get()) != 1) return fail("schema version");
        int version = static_cast<int>(toInt(PQgetvalue(r.get(), 0, 0)));
        const int known = static_cast<int>(std::size(kMigrations));
        if (version > known) {
            // An older program on a newer schema could write what the newer one no longer reads.
            error = "storage: the schema (" + std::to_string(version) + ") is newer than this program's (" +
                    std::to_string(known) + ")";
            return false;
        }
        for (int next = version + 1; next <= known; ++next) {
            Transaction t(s);
            if (!t.begun() || !s.script(kMigrations[next - 1]) ||
                !s.run("INSERT INTO schema_migrations (version) VALUES ($1)", {num(next)}) || !t.commit()) {
                return fail(("migration " + std::to_string(next)).c_str());
            }
            version = next;
        }
        s.run("SELECT pg_advisory_unlock($1::bigint)", {txt(kMigrationLock)});
        version_ = version;
        return true;
    }

    // ---- Arrivals.

    pg::Conn connectListener(std::string* error) {
        pg::Conn conn = connect(conninfo_, error);
        if (!conn) return {};
        pg::Result r(PQexec(conn.get(), (std::string("LISTEN ") + kChannel).c_str()));
        if (!Session::good(r)) {
            if (error) *error = "LISTEN: " + trimmed(PQerrorMessage(conn.get()));
            return {};
        }
        return conn;
    }

    void tell(const std::string& address) {
        ArrivalHook hook;
        {
            std::lock_guard<std::mutex> lk(hookMutex_);
            hook = hook_;
        }
        if (!hook) return;
        try {
            hook(address);
        } catch (...) {
            // The hook's own failure; the listener goes on.
        }
    }

    /// Waits up to `ms` for the stop signal; true when it came.
    bool stopped(int ms) {
        pollfd p{stop_.fds[0], POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

    void listen(pg::Conn conn) {
        int backoff = kBackoffFirstMs;
        for (;;) {
            if (!conn) {
                if (stopped(backoff)) return;
                conn = connectListener(nullptr);
                if (!conn) {
                    backoff = std::min(backoff * 2, kBackoffMaxMs);
                    continue;
                }
                backoff = kBackoffFirstMs;
                // Arrivals committed while no connection listened were never told: the empty
                // address asks the hook to wake every waiter, who then read their listings.
                tell("");
            }
            pollfd fds[2] = {{PQsocket(conn.get()), POLLIN, 0}, {stop_.fds[0], POLLIN, 0}};
            int n = ::poll(fds, 2, 1000);
            if (n < 0 && errno != EINTR) {
                conn.reset();
                continue;
            }
            if (fds[1].revents) return;
            if (n > 0 && fds[0].revents) {
                if (!PQconsumeInput(conn.get())) {
                    conn.reset();
                    continue;
                }
                while (PGnotify* raw = PQnotifies(conn.get())) {
                    pg::Mem<PGnotify> notify(raw);
                    // This instance's own were told at their commit.
                    bool own;
                    {
                        std::lock_guard<std::mutex> lk(poolMutex_);
                        own = ownPids_.count(notify->be_pid) > 0;
                    }
                    if (!own) tell(notify->extra ? notify->extra : "");
                }
            }
            if (PQstatus(conn.get()) != CONNECTION_OK) conn.reset();
        }
    }

    const std::string conninfo_;
    std::mutex lifecycle_;
    bool opened_ = false;
    std::atomic<int> version_{0};

    std::mutex poolMutex_;
    std::condition_variable poolFree_;
    std::vector<pg::Conn> idle_;
    size_t out_ = 0;
    bool poolOpen_ = false;

    std::set<int> ownPids_;  // backends of this pool's connections (poolMutex_)
    std::mutex hookMutex_;
    ArrivalHook hook_;
    StopPipe stop_;
    std::thread listenerThread_;
};

}  // namespace

std::unique_ptr<Storage> makePostgresStorage(const std::string& conninfo) {
    try {
        return std::make_unique<PostgresStorage>(conninfo);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace dialo::service

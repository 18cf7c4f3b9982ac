// The storage in one SQLite file. One connection behind one mutex: a single machine's load
// fits it, and it keeps every multi-statement change a plain transaction.

#include <sys/stat.h>

#include <algorithm>
#include <mutex>

#include "base/clock.h"
#include "platform/files.h"
#include "service/sqlite_db.h"
#include "service/storage.h"

namespace dialo::service {
namespace {

// Each runs once, in order, in a transaction with its number recorded. The first matches the
// devnet's directory file as it was before migrations, so an old data folder keeps its handles.
constexpr const char* kSqliteMigrations[] = {
    R"(
CREATE TABLE IF NOT EXISTS aliases(alias TEXT PRIMARY KEY, pubkey TEXT NOT NULL, address TEXT NOT NULL,
                                   avatar TEXT NOT NULL, ord_address TEXT NOT NULL, bn_pub TEXT NOT NULL,
                                   bn_address TEXT NOT NULL, ts INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS aliases_pubkey ON aliases(pubkey);
)",
    R"(
CREATE INDEX IF NOT EXISTS aliases_address ON aliases(address);
CREATE TABLE IF NOT EXISTS txs(txid TEXT PRIMARY KEY, raw BLOB NOT NULL, height INTEGER, seen INTEGER NOT NULL,
                               indexed INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS tx_index(seq INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT NOT NULL, txid TEXT NOT NULL,
                                    UNIQUE(address, txid));
CREATE INDEX IF NOT EXISTS tx_index_address ON tx_index(address, seq);
CREATE TABLE IF NOT EXISTS named_values(key TEXT PRIMARY KEY, value TEXT NOT NULL);
)",
};

std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string lowerHex(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) { return char(std::tolower(uint8_t(c))); });
    return s;
}

class SqliteStorage final : public Storage {
public:
    explicit SqliteStorage(std::string path) : path_(std::move(path)) {}
    ~SqliteStorage() override { close(); }

    bool open(std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        db_.reset();
        const std::string folder = parentOf(path_);
        if (!pathExists(folder) && !ensureDirectory(folder)) {
            error = "cannot create the folder " + folder;
            return false;
        }
        SqlitePtr db;
        if (!openDatabase(path_, db, error)) return false;
        ::chmod(path_.c_str(), 0600);
        if (!execSql(db.get(), "CREATE TABLE IF NOT EXISTS schema_migrations(version INTEGER PRIMARY KEY)", error))
            return false;
        int version = 0;
        {
            Stmt q(db.get(), "SELECT COALESCE(MAX(version), 0) FROM schema_migrations");
            if (!q.step()) {
                error = "storage: cannot read the schema version";
                return false;
            }
            version = int(q.integer(0));
        }
        const int known = int(std::size(kSqliteMigrations));
        if (version > known) {
            error = "storage: the schema (" + std::to_string(version) + ") is newer than this program's (" +
                    std::to_string(known) + ")";
            return false;
        }
        for (int n = version + 1; n <= known; ++n) {
            SqlTransaction t(db.get());
            Stmt mark(db.get(), "INSERT INTO schema_migrations(version) VALUES(?)");
            if (!t.begun() || !execSql(db.get(), kSqliteMigrations[n - 1], error) || !mark.bind(1, int64_t(n)).run() ||
                !t.commit()) {
                error = "storage: migration " + std::to_string(n) + " failed: " +
                        (error.empty() ? std::string(sqlite3_errmsg(db.get())) : error);
                return false;
            }
        }
        version_ = known;
        db_ = std::move(db);
        return true;
    }

    void close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        db_.reset();
    }

    int schemaVersion() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return version_;
    }

    bool healthy() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return false;
        Stmt q(db_.get(), "SELECT 1");
        return q.step();
    }

    void setArrivalHook(ArrivalHook hook) override {
        std::lock_guard<std::mutex> lock(hookMutex_);
        hook_ = std::move(hook);
    }

    bool lookupAlias(const std::string& alias, PaymailEntry& out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return false;
        Stmt q(db_.get(),
               "SELECT alias, pubkey, address, avatar, ord_address, bn_pub, bn_address, ts FROM aliases WHERE alias = ?");
        if (!q.bind(1, alias).step()) return false;
        out = {q.text(0), q.text(1), q.text(2), q.text(3), q.text(4), q.text(5), q.text(6), q.integer(7)};
        return true;
    }

    bool hasPubkey(const std::string& pubkey) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return false;
        Stmt q(db_.get(), "SELECT 1 FROM aliases WHERE pubkey = ?");
        return q.bind(1, pubkey).step();
    }

    bool isRegisteredAddress(const std::string& address, bool& registered) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return false;
        Stmt q(db_.get(), "SELECT 1 FROM aliases WHERE address = ?");
        if (!q.ok()) return false;
        registered = q.bind(1, address).step();
        return !q.failed();
    }

    PutClaim putClaim(const PaymailEntry& e) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return PutClaim::Failed;
        SqlTransaction t(db_.get());
        if (!t.begun()) return PutClaim::Failed;
        Stmt owner(db_.get(), "SELECT pubkey, ts FROM aliases WHERE alias = ?");
        if (owner.bind(1, e.alias).step()) {
            if (owner.text(0) != e.pubkey) return PutClaim::OtherOwner;
            if (e.ts < owner.integer(1)) return PutClaim::Older;
        }
        Stmt put(db_.get(),
                 "INSERT INTO aliases(alias, pubkey, address, avatar, ord_address, bn_pub, bn_address, ts) "
                 "VALUES(?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT(alias) DO UPDATE SET address = excluded.address, "
                 "avatar = excluded.avatar, ord_address = excluded.ord_address, bn_pub = excluded.bn_pub, "
                 "bn_address = excluded.bn_address, ts = excluded.ts");
        if (!put.bind(1, e.alias).bind(2, e.pubkey).bind(3, e.address).bind(4, e.avatar).bind(5, e.ordAddress)
                 .bind(6, e.bnPub).bind(7, e.bnAddress).bind(8, e.ts).run() ||
            !t.commit())
            return PutClaim::Failed;
        return PutClaim::Taken;
    }

    bool indexTx(const IndexedTx& tx, const std::vector<std::string>& addresses, bool& added) override {
        added = false;
        std::vector<std::string> arrived;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!db_) return false;
            const std::string txid = lowerHex(tx.txid);
            SqlTransaction t(db_.get());
            if (!t.begun()) return false;
            Stmt put(db_.get(),
                     "INSERT INTO txs(txid, raw, height, seen, indexed) VALUES(?, ?, ?, ?, ?) ON CONFLICT(txid) "
                     "DO UPDATE SET height = COALESCE(txs.height, excluded.height)");
            put.bind(1, txid).bind(2, tx.raw);
            if (tx.height >= 0) put.bind(3, tx.height);
            else put.bindNull(3);
            if (!put.bind(4, tx.seen).bind(5, tx.indexed > 0 ? tx.indexed : nowUnixMs()).run()) return false;
            for (const std::string& address : addresses) {
                Stmt row(db_.get(), "INSERT INTO tx_index(address, txid) VALUES(?, ?) ON CONFLICT DO NOTHING");
                if (!row.bind(1, address).bind(2, txid).run()) return false;
                if (sqlite3_changes(db_.get()) > 0) arrived.push_back(address);
            }
            if (!t.commit()) return false;
        }
        added = !arrived.empty();
        if (added) {
            ArrivalHook hook;
            {
                std::lock_guard<std::mutex> lock(hookMutex_);
                hook = hook_;
            }
            if (hook)
                for (const std::string& address : arrived) hook(address);
        }
        return true;
    }

    bool listing(const std::string& address, size_t limit, Listing& out) override {
        out = {};
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return false;
        Stmt q(db_.get(), "SELECT txid, seq FROM tx_index WHERE address = ? ORDER BY seq DESC LIMIT ?");
        if (!q.ok()) return false;
        q.bind(1, address).bind(2, int64_t(limit));
        while (q.step()) {
            if (out.txids.empty()) out.cursor = q.integer(1);
            out.txids.push_back(q.text(0));
        }
        if (q.failed()) return false;
        if (limit == 0) {
            Stmt c(db_.get(), "SELECT COALESCE(MAX(seq), 0) FROM tx_index WHERE address = ?");
            if (c.bind(1, address).step()) out.cursor = c.integer(0);
        }
        std::reverse(out.txids.begin(), out.txids.end());
        return true;
    }

    bool tx(const std::string& txid, IndexedTx& out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return false;
        Stmt q(db_.get(), "SELECT txid, raw, height, seen, indexed FROM txs WHERE txid = ?");
        if (!q.bind(1, lowerHex(txid)).step()) return false;
        out.txid = q.text(0);
        out.raw = q.blob(1);
        out.height = q.isNull(2) ? -1 : q.integer(2);
        out.seen = q.integer(3);
        out.indexed = q.integer(4);
        return true;
    }

    bool confirm(const std::vector<std::string>& txids, int64_t height) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return false;
        SqlTransaction t(db_.get());
        if (!t.begun()) return false;
        for (const std::string& txid : txids) {
            Stmt u(db_.get(), "UPDATE txs SET height = ? WHERE txid = ?");
            if (!u.bind(1, height).bind(2, lowerHex(txid)).run()) return false;
        }
        return t.commit();
    }

    bool getValue(const std::string& key, std::string& out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return false;
        Stmt q(db_.get(), "SELECT value FROM named_values WHERE key = ?");
        if (!q.bind(1, key).step()) return false;
        out = q.text(0);
        return true;
    }

    bool setValue(const std::string& key, const std::string& value) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return false;
        Stmt q(db_.get(), "INSERT INTO named_values(key, value) VALUES(?, ?) "
                          "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
        return q.bind(1, key).bind(2, value).run();
    }

private:
    const std::string path_;
    std::mutex mutex_;
    SqlitePtr db_;     // guarded by mutex_
    int version_ = 0;  // guarded by mutex_
    std::mutex hookMutex_;
    ArrivalHook hook_;  // guarded by hookMutex_
};

}  // namespace

std::unique_ptr<Storage> makeSqliteStorage(const std::string& path) { return std::make_unique<SqliteStorage>(path); }

}  // namespace dialo::service

#pragma once
// Owned SQLite handles for the platform storage and the devnet ledger: a connection, prepared
// statements and a transaction that rolls back unless committed. Nothing here throws.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace dialo::service {

struct SqliteClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using SqlitePtr = std::unique_ptr<sqlite3, SqliteClose>;

/// One prepared statement; binds are 1-based as in SQLite.
class Stmt {
public:
    Stmt(sqlite3* db, std::string_view sql);
    bool ok() const { return stmt_ != nullptr; }
    Stmt& bind(int i, int64_t v);
    Stmt& bind(int i, std::string_view v);
    Stmt& bind(int i, const Bytes& v);
    Stmt& bindNull(int i);
    /// Next row: true while a row is available.
    bool step();
    /// Runs a statement that returns no rows; true on SQLITE_DONE.
    bool run();
    /// The last step ended in an error rather than a row or the end.
    bool failed() const { return last_ != SQLITE_OK && last_ != SQLITE_ROW && last_ != SQLITE_DONE; }
    int64_t integer(int col) const;
    bool isNull(int col) const;
    std::string text(int col) const;
    Bytes blob(int col) const;

private:
    std::unique_ptr<sqlite3_stmt, SqliteFinalize> stmt_;
    int last_ = SQLITE_OK;
};

/// Opens (creating) a database file in WAL mode with a busy timeout.
[[nodiscard]] bool openDatabase(const std::string& path, SqlitePtr& out, std::string& error);

/// Runs one or more statements that return no rows.
[[nodiscard]] bool execSql(sqlite3* db, const char* sql, std::string& error);

/// BEGIN IMMEDIATE on construction; ROLLBACK on destruction unless commit() succeeded.
class SqlTransaction {
public:
    explicit SqlTransaction(sqlite3* db);
    ~SqlTransaction();
    SqlTransaction(const SqlTransaction&) = delete;
    SqlTransaction& operator=(const SqlTransaction&) = delete;
    bool begun() const { return begun_; }
    [[nodiscard]] bool commit();

private:
    sqlite3* db_;
    bool begun_ = false;
    bool done_ = false;
};

}  // namespace dialo::service

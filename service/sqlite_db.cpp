#include "service/sqlite_db.h"

namespace dialo::service {

Stmt::Stmt(sqlite3* db, std::string_view sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.data(), int(sql.size()), &raw, nullptr) == SQLITE_OK) stmt_.reset(raw);
}

Stmt& Stmt::bind(int i, int64_t v) {
    if (stmt_) sqlite3_bind_int64(stmt_.get(), i, v);
    return *this;
}

Stmt& Stmt::bind(int i, std::string_view v) {
    if (stmt_) sqlite3_bind_text(stmt_.get(), i, v.data(), int(v.size()), SQLITE_TRANSIENT);
    return *this;
}

Stmt& Stmt::bind(int i, const Bytes& v) {
    // A zero-length blob must still bind as a blob, not as NULL.
    static const uint8_t kEmpty = 0;
    if (stmt_) sqlite3_bind_blob(stmt_.get(), i, v.empty() ? &kEmpty : v.data(), int(v.size()), SQLITE_TRANSIENT);
    return *this;
}

Stmt& Stmt::bindNull(int i) {
    if (stmt_) sqlite3_bind_null(stmt_.get(), i);
    return *this;
}

bool Stmt::step() {
    if (!stmt_) return false;
    last_ = sqlite3_step(stmt_.get());
    return last_ == SQLITE_ROW;
}

bool Stmt::run() {
    if (!stmt_) return false;
    do last_ = sqlite3_step(stmt_.get());
    while (last_ == SQLITE_ROW);
    return last_ == SQLITE_DONE;
}

int64_t Stmt::integer(int col) const { return stmt_ ? sqlite3_column_int64(stmt_.get(), col) : 0; }

bool Stmt::isNull(int col) const { return !stmt_ || sqlite3_column_type(stmt_.get(), col) == SQLITE_NULL; }

std::string Stmt::text(int col) const {
    if (!stmt_) return {};
    const unsigned char* p = sqlite3_column_text(stmt_.get(), col);
    int n = sqlite3_column_bytes(stmt_.get(), col);
    return p ? std::string(reinterpret_cast<const char*>(p), size_t(n)) : std::string();
}

Bytes Stmt::blob(int col) const {
    if (!stmt_) return {};
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_.get(), col));
    int n = sqlite3_column_bytes(stmt_.get(), col);
    return p ? Bytes(p, p + n) : Bytes();
}

bool openDatabase(const std::string& path, SqlitePtr& out, std::string& error) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    SqlitePtr db(raw);
    if (rc != SQLITE_OK) {
        error = "cannot open " + path + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(db.get(), 5000);  // milliseconds
    if (!execSql(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error)) return false;
    out = std::move(db);
    return true;
}

bool execSql(sqlite3* db, const char* sql, std::string& error) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
    error = msg ? msg : "sqlite error";
    sqlite3_free(msg);
    return false;
}

SqlTransaction::SqlTransaction(sqlite3* db) : db_(db) {
    begun_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
}

SqlTransaction::~SqlTransaction() {
    if (begun_ && !done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool SqlTransaction::commit() {
    if (!begun_ || done_) return false;
    done_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    return done_;
}

}  // namespace dialo::service

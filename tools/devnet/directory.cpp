#include "tools/devnet/directory.h"

#include "base/text.h"
#include "vaultra/resolve.h"
#include "wallet/encoding.h"

namespace dialo::devnet {
namespace {

using service::execSql;
using service::openDatabase;
using service::SqlitePtr;
using service::Stmt;

constexpr const char* kDirectorySchema = "CREATE TABLE IF NOT EXISTS hosted(alias TEXT PRIMARY KEY, address TEXT NOT NULL);";

}  // namespace

bool Directory::open(const std::string& dir, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    SqlitePtr db;
    if (!openDatabase(dir + "/directory.sqlite", db, error) || !execSql(db.get(), kDirectorySchema, error)) return false;
    db_ = std::move(db);
    return true;
}

void Directory::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    db_.reset();
}

bool Directory::hostAlias(const std::string& aliasIn, const std::string& address, std::string& error) {
    const std::string alias = lowerAscii(aliasIn);
    if (!valid_paymail_alias(alias)) {
        error = "alias must be 1 to 64 letters, digits, +, -, . or _";
        return false;
    }
    Hash160 h{};
    if (!decode_p2pkh_address(address, h)) {
        error = "address is not a P2PKH address";
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) {
        error = "directory closed";
        return false;
    }
    Stmt put(db_.get(), "INSERT INTO hosted(alias, address) VALUES(?, ?) ON CONFLICT(alias) DO UPDATE SET address = "
                        "excluded.address");
    if (!put.bind(1, alias).bind(2, address).run()) {
        error = std::string("directory: ") + sqlite3_errmsg(db_.get());
        return false;
    }
    return true;
}

bool Directory::hostedAddress(const std::string& alias, std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return false;
    Stmt q(db_.get(), "SELECT address FROM hosted WHERE alias = ?");
    if (!q.bind(1, lowerAscii(alias)).step()) return false;
    address = q.text(0);
    return true;
}

}  // namespace dialo::devnet

#include "tools/devnet/directory.h"

#include "base/text.h"
#include "vaultra/identity.h"
#include "vaultra/resolve.h"
#include "wallet/encoding.h"

namespace dialo::devnet {
namespace {

using nlohmann::json;

constexpr int64_t kClaimWindowSeconds = 3600;  // how far "ts" may lie from now

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS aliases(alias TEXT PRIMARY KEY, pubkey TEXT NOT NULL, address TEXT NOT NULL,
                                   avatar TEXT NOT NULL, ord_address TEXT NOT NULL, bn_pub TEXT NOT NULL,
                                   bn_address TEXT NOT NULL, ts INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS aliases_pubkey ON aliases(pubkey);
CREATE TABLE IF NOT EXISTS hosted(alias TEXT PRIMARY KEY, address TEXT NOT NULL);
)";

bool takeText(const json& body, const char* key, std::string& out, bool required) {
    auto it = body.find(key);
    if (it == body.end() || it->is_null()) return !required;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

ClaimResult refused(int status, std::string error) {
    ClaimResult r;
    r.status = status;
    r.error = std::move(error);
    return r;
}

}  // namespace

std::string claimText(const PaymailEntry& e) {
    std::string t = "OV-PAYMAIL-CLAIM|" + e.alias + "|" + e.pubkey + "|" + e.address + "|" + e.avatar + "|";
    if (!e.bnPub.empty() && !e.bnAddress.empty()) t += e.ordAddress + "|" + e.bnPub + "|" + e.bnAddress + "|";
    else if (!e.ordAddress.empty()) t += e.ordAddress + "|";
    return t + std::to_string(e.ts);
}

bool validAlias(const std::string& alias) {
    if (alias.empty() || alias.size() > 64) return false;
    for (size_t i = 0; i < alias.size(); ++i) {
        char c = alias[i];
        bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum && (i == 0 || (c != '.' && c != '_' && c != '-'))) return false;
    }
    return true;
}

bool Directory::open(const std::string& dir, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    SqlitePtr db;
    if (!openDatabase(dir + "/directory.sqlite", db, error) || !execSql(db.get(), kSchema, error)) return false;
    db_ = std::move(db);
    return true;
}

void Directory::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    db_.reset();
}

ClaimResult Directory::claim(const json& body, int64_t now) {
    if (!body.is_object()) return refused(400, "claim must be a JSON object");
    PaymailEntry e;
    std::string sig;
    if (!takeText(body, "alias", e.alias, true) || !takeText(body, "pubkey", e.pubkey, true) ||
        !takeText(body, "address", e.address, true) || !takeText(body, "avatar", e.avatar, false) ||
        !takeText(body, "ordAddress", e.ordAddress, false) || !takeText(body, "bnPub", e.bnPub, false) ||
        !takeText(body, "bnAddress", e.bnAddress, false) || !takeText(body, "sig", sig, true))
        return refused(400, "claim needs alias, pubkey, address, ts and sig as text");
    auto ts = body.find("ts");
    if (ts == body.end() || !ts->is_number_integer()) return refused(400, "claim needs ts in seconds");
    e.ts = ts->get<int64_t>();
    if (!validAlias(e.alias)) return refused(400, "invalid alias");
    if (normalize_pubkey(hex_decode(e.pubkey)) != e.pubkey) return refused(400, "pubkey must be 66 lower-case hex");
    Hash160 h{};
    if (!decode_p2pkh_address(e.address, h)) return refused(400, "address is not a P2PKH address");
    if (e.ts < now - kClaimWindowSeconds || e.ts > now + kClaimWindowSeconds) return refused(400, "claim time is stale");
    if (!verify_message(claimText(e), e.pubkey, sig)) return refused(401, "bad signature");

    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return refused(503, "directory closed");
    Stmt owner(db_.get(), "SELECT pubkey, ts FROM aliases WHERE alias = ?");
    if (owner.bind(1, e.alias).step()) {
        if (owner.text(0) != e.pubkey) return refused(409, "alias already claimed by another identity");
        if (e.ts < owner.integer(1)) return refused(409, "a newer claim of this alias exists");
    }
    Stmt put(db_.get(),
             "INSERT INTO aliases(alias, pubkey, address, avatar, ord_address, bn_pub, bn_address, ts) "
             "VALUES(?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT(alias) DO UPDATE SET address = excluded.address, "
             "avatar = excluded.avatar, ord_address = excluded.ord_address, bn_pub = excluded.bn_pub, "
             "bn_address = excluded.bn_address, ts = excluded.ts");
    if (!put.bind(1, e.alias).bind(2, e.pubkey).bind(3, e.address).bind(4, e.avatar).bind(5, e.ordAddress)
             .bind(6, e.bnPub).bind(7, e.bnAddress).bind(8, e.ts).run())
        return refused(500, std::string("directory: ") + sqlite3_errmsg(db_.get()));
    ClaimResult ok;
    ok.entry = std::move(e);
    return ok;
}

bool Directory::lookup(const std::string& alias, PaymailEntry& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return false;
    Stmt q(db_.get(),
           "SELECT alias, pubkey, address, avatar, ord_address, bn_pub, bn_address, ts FROM aliases WHERE alias = ?");
    if (!q.bind(1, alias).step()) return false;
    out = {q.text(0), q.text(1), q.text(2), q.text(3), q.text(4), q.text(5), q.text(6), q.integer(7)};
    return true;
}

bool Directory::hasPubkey(const std::string& pubkey) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return false;
    Stmt q(db_.get(), "SELECT 1 FROM aliases WHERE pubkey = ?");
    return q.bind(1, pubkey).step();
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

#include "tools/devnet/ledger.h"

#include <algorithm>
#include <set>

#include "base/clock.h"
#include "service/script.h"
#include "wallet/encoding.h"
#include "wallet/transaction.h"

namespace dialo::devnet {
namespace {

using service::checkP2pkhSpend;
using service::execSql;
using service::isDataScript;
using service::openDatabase;
using service::SqlTransaction;
using service::Stmt;

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS blocks(height INTEGER PRIMARY KEY, hash TEXT NOT NULL, prev TEXT NOT NULL,
                                  time INTEGER NOT NULL, tx_count INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS txs(seq INTEGER PRIMARY KEY AUTOINCREMENT, txid TEXT NOT NULL UNIQUE, raw BLOB NOT NULL,
                               seen INTEGER NOT NULL, fee INTEGER NOT NULL, height INTEGER);
CREATE INDEX IF NOT EXISTS txs_height ON txs(height);
CREATE TABLE IF NOT EXISTS outputs(txid TEXT NOT NULL, vout INTEGER NOT NULL, address TEXT, sats INTEGER NOT NULL,
                                   script BLOB NOT NULL, spent_by TEXT, PRIMARY KEY(txid, vout));
CREATE INDEX IF NOT EXISTS outputs_address ON outputs(address);
CREATE TABLE IF NOT EXISTS touches(address TEXT NOT NULL, seq INTEGER NOT NULL, pays INTEGER NOT NULL,
                                   PRIMARY KEY(address, seq));
)";

// 21,000,000 BSV in satoshis: no value or total of values may exceed it.
constexpr int64_t kMaxMoney = 2100000000000000LL;

constexpr const char* kNullTxid = "0000000000000000000000000000000000000000000000000000000000000000";

bool isHex64(const std::string& s) { return s.size() == 64 && hex_decode(s).size() == 32; }

std::string addressOf(const Bytes& script) {
    Hash160 h{};
    return is_p2pkh_script(script, &h) ? address_from_hash(h) : std::string();
}

SubmitResult refuse(Reject kind, std::string txid, std::string reason) {
    SubmitResult r;
    r.reject = kind;
    r.txid = std::move(txid);
    r.reason = std::move(reason);
    return r;
}

// A stand-in block hash: double SHA-256 over the previous hash, height, time and txids.
std::string blockHash(const std::string& prev, int64_t height, int64_t time, const std::vector<std::string>& txids) {
    std::string pre = prev + ":" + std::to_string(height) + ":" + std::to_string(time);
    for (const std::string& t : txids) pre += ":" + t;
    Hash256 h{};
    if (!sha256d(reinterpret_cast<const uint8_t*>(pre.data()), pre.size(), h)) return {};
    return hex_encode(h);
}

}  // namespace

bool Ledger::open(const std::string& dir, int64_t minFeeRate, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    minFeeRate_ = std::max<int64_t>(minFeeRate, 0);
    SqlitePtr db;
    if (!openDatabase(dir + "/ledger.sqlite", db, error)) return false;
    if (!execSql(db.get(), kSchema, error)) return false;
    // Acceptance to the millisecond came later than the table: older ledgers gain the column.
    if (Stmt probe(db.get(), "SELECT seen_ms FROM txs LIMIT 0"); !probe.ok() &&
        !execSql(db.get(), "ALTER TABLE txs ADD COLUMN seen_ms INTEGER", error))
        return false;
    Stmt genesis(db.get(), "SELECT COUNT(*) FROM blocks");
    if (!genesis.step()) {
        error = "ledger: cannot read blocks";
        return false;
    }
    if (genesis.integer(0) == 0) {
        int64_t now = nowSeconds();
        Stmt add(db.get(), "INSERT INTO blocks(height, hash, prev, time, tx_count) VALUES(0, ?, ?, ?, 0)");
        if (!add.bind(1, blockHash(kNullTxid, 0, now, {})).bind(2, kNullTxid).bind(3, now).run()) {
            error = "ledger: cannot write the genesis block";
            return false;
        }
    }
    db_ = std::move(db);
    return true;
}

void Ledger::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    db_.reset();
}

SubmitResult Ledger::submit(const Bytes& raw) {
    SubmitResult r;
    FeedTx accepted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!db_) return refuse(Reject::Malformed, {}, "ledger closed");
        r = submitLocked(raw, accepted);
    }
    if (r.accepted) tellAccepted(accepted);
    return r;
}

void Ledger::setHooks(AcceptHook accepted, MineHook mined) {
    std::lock_guard<std::mutex> lock(hookMutex_);
    acceptHook_ = std::move(accepted);
    mineHook_ = std::move(mined);
}

void Ledger::tellAccepted(const FeedTx& tx) {
    AcceptHook hook;
    {
        std::lock_guard<std::mutex> lock(hookMutex_);
        hook = acceptHook_;
    }
    if (hook) hook(tx);
}

SubmitResult Ledger::submitLocked(const Bytes& raw, FeedTx& accepted) {
    ParsedTx tx;
    if (raw.empty() || !parse_tx(raw, tx)) return refuse(Reject::Malformed, {}, "TX decode failed");
    const std::string txid = txid_of(raw);
    {
        Stmt known(db_.get(), "SELECT 1 FROM txs WHERE txid = ?");
        if (known.bind(1, txid).step()) return refuse(Reject::AlreadyKnown, txid, "txn-already-known");
    }
    if (tx.inputs.empty()) return refuse(Reject::Malformed, txid, "bad-txns-vin-empty");
    if (tx.outputs.empty()) return refuse(Reject::Malformed, txid, "bad-txns-vout-empty");
    // The shared signature hash covers version 1, final sequences and lock time 0: the form
    // every wallet here builds. Anything else is not relayed rather than misjudged.
    if (tx.version != 1 || tx.lockTime != 0) return refuse(Reject::NonStandard, txid, "version");
    for (const ParsedInput& in : tx.inputs)
        if (in.sequence != 0xFFFFFFFFu) return refuse(Reject::NonStandard, txid, "non-final");

    std::set<std::pair<std::string, uint32_t>> seen;
    std::vector<Coin> coins;
    std::vector<Hash160> lockHashes;
    std::vector<std::pair<std::string, uint32_t>> spends;
    bool conflict = false;
    int64_t totalIn = 0;
    for (const ParsedInput& in : tx.inputs) {
        if (in.prevTxid == kNullTxid) return refuse(Reject::Malformed, txid, "bad-txns-prevout-null");
        if (!seen.insert({in.prevTxid, in.vout}).second)
            return refuse(Reject::Malformed, txid, "bad-txns-inputs-duplicate");
        Stmt out(db_.get(),
                 "SELECT o.sats, o.script, o.spent_by, s.height IS NULL AND o.spent_by IS NOT NULL "
                 "FROM outputs o LEFT JOIN txs s ON s.txid = o.spent_by WHERE o.txid = ? AND o.vout = ?");
        if (!out.bind(1, in.prevTxid).bind(2, int64_t(in.vout)).step())
            return refuse(Reject::MissingInputs, txid, "Missing inputs");
        if (!out.isNull(2)) {
            // Spent in a block: gone from the UTXO set. Spent in the mempool: a double spend.
            if (out.integer(3) == 0) return refuse(Reject::MissingInputs, txid, "Missing inputs");
            conflict = true;
        }
        Coin c;
        c.txid = in.prevTxid;
        c.vout = in.vout;
        c.sats = out.integer(0);
        // Each value and the running sum are checked before adding, so the sum cannot overflow.
        if (c.sats < 0 || c.sats > kMaxMoney || totalIn > kMaxMoney - c.sats)
            return refuse(Reject::Malformed, txid, "bad-txns-inputvalues-outofrange");
        c.locking = out.blob(1);
        Hash160 h{};
        if (!is_p2pkh_script(c.locking, &h)) return refuse(Reject::NonStandard, txid, "non-standard input");
        totalIn += c.sats;
        coins.push_back(std::move(c));
        lockHashes.push_back(h);
        spends.emplace_back(in.prevTxid, in.vout);
    }
    if (conflict) return refuse(Reject::Conflict, txid, "txn-mempool-conflict");

    int64_t totalOut = 0;
    for (const TxOutput& o : tx.outputs) {
        if (o.sats < 0) return refuse(Reject::Malformed, txid, "bad-txns-vout-negative");
        if (o.sats > kMaxMoney) return refuse(Reject::Malformed, txid, "bad-txns-vout-toolarge");
        // Thousands of huge outputs would otherwise wrap the total and mint coins.
        if (totalOut > kMaxMoney - o.sats) return refuse(Reject::Malformed, txid, "bad-txns-txouttotal-toolarge");
        if (is_p2pkh_script(o.locking)) {
            if (o.sats < 1) return refuse(Reject::NonStandard, txid, "dust");
        } else if (isDataScript(o.locking)) {
            if (o.sats != 0) return refuse(Reject::NonStandard, txid, "scriptpubkey");
        } else {
            return refuse(Reject::NonStandard, txid, "scriptpubkey");
        }
        totalOut += o.sats;
    }
    if (totalOut > totalIn) return refuse(Reject::BelowOut, txid, "bad-txns-in-belowout");

    for (size_t i = 0; i < tx.inputs.size(); ++i) {
        Hash256 digest{};
        std::string why = signature_hash(coins, i, tx.outputs, coins[i].locking, digest)
                              ? checkP2pkhSpend(tx.inputs[i].script, lockHashes[i], digest)
                              : "mandatory-script-verify-flag-failed (signature hash)";
        if (!why.empty()) return refuse(Reject::BadScript, txid, why);
    }

    const int64_t fee = totalIn - totalOut;
    const int64_t minFee = minFeeRate_ == 0 ? 0 : fee_for_size(int64_t(raw.size()), minFeeRate_);
    if (fee < minFee)
        return refuse(Reject::LowFee, txid,
                      "min relay fee not met, " + std::to_string(fee) + " < " + std::to_string(minFee));

    SubmitResult ok;
    std::string error;
    if (!insertTx(txid, raw, fee, spends, accepted, error)) return refuse(Reject::Malformed, txid, "ledger: " + error);
    ok.accepted = true;
    ok.txid = txid;
    return ok;
}

bool Ledger::insertTx(const std::string& txid, const Bytes& raw, int64_t fee,
                      const std::vector<std::pair<std::string, uint32_t>>& spends, FeedTx& accepted,
                      std::string& error) {
    ParsedTx tx;
    if (!parse_tx(raw, tx)) {
        error = "unparsable";
        return false;
    }
    SqlTransaction t(db_.get());
    if (!t.begun()) {
        error = "cannot begin";
        return false;
    }
    const int64_t seenMs = nowUnixMs();
    Stmt addTx(db_.get(), "INSERT INTO txs(txid, raw, seen, fee, height, seen_ms) VALUES(?, ?, ?, ?, NULL, ?)");
    if (!addTx.bind(1, txid).bind(2, raw).bind(3, nowSeconds()).bind(4, fee).bind(5, seenMs).run()) {
        error = sqlite3_errmsg(db_.get());
        return false;
    }
    const int64_t seq = sqlite3_last_insert_rowid(db_.get());
    auto touch = [&](const std::string& address, bool pays) {
        Stmt s(db_.get(),
               "INSERT INTO touches(address, seq, pays) VALUES(?, ?, ?) "
               "ON CONFLICT(address, seq) DO UPDATE SET pays = MAX(pays, excluded.pays)");
        return s.bind(1, address).bind(2, seq).bind(3, int64_t(pays ? 1 : 0)).run();
    };
    for (const auto& [prev, vout] : spends) {
        Stmt spend(db_.get(), "UPDATE outputs SET spent_by = ? WHERE txid = ? AND vout = ?");
        if (!spend.bind(1, txid).bind(2, prev).bind(3, int64_t(vout)).run()) {
            error = sqlite3_errmsg(db_.get());
            return false;
        }
        Stmt owner(db_.get(), "SELECT address FROM outputs WHERE txid = ? AND vout = ?");
        if (owner.bind(1, prev).bind(2, int64_t(vout)).step() && !owner.isNull(0) && !touch(owner.text(0), false)) {
            error = sqlite3_errmsg(db_.get());
            return false;
        }
    }
    for (size_t i = 0; i < tx.outputs.size(); ++i) {
        const TxOutput& o = tx.outputs[i];
        std::string address = addressOf(o.locking);
        Stmt add(db_.get(), "INSERT INTO outputs(txid, vout, address, sats, script, spent_by) VALUES(?, ?, ?, ?, ?, NULL)");
        add.bind(1, txid).bind(2, int64_t(i));
        if (address.empty()) add.bindNull(3);
        else add.bind(3, address);
        if (!add.bind(4, o.sats).bind(5, o.locking).run() || (!address.empty() && !touch(address, true))) {
            error = sqlite3_errmsg(db_.get());
            return false;
        }
    }
    if (!t.commit()) {
        error = "cannot commit";
        return false;
    }
    accepted = {seq, txid, raw, -1, seenMs};
    return true;
}

bool Ledger::fund(const std::string& address, int64_t sats, std::string& txid, std::string& error) {
    Hash160 h{};
    if (!decode_p2pkh_address(address, h)) {
        error = "not a P2PKH address";
        return false;
    }
    if (sats < 1 || sats > kMaxMoney) {
        error = "sats must be between 1 and 2100000000000000";
        return false;
    }
    FeedTx accepted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!fundLocked(h, sats, txid, accepted, error)) return false;
    }
    tellAccepted(accepted);
    return true;
}

bool Ledger::fundLocked(const Hash160& h, int64_t sats, std::string& txid, FeedTx& accepted, std::string& error) {
    if (!db_) {
        error = "ledger closed";
        return false;
    }
    // A counter in the coinbase-style input keeps every faucet transaction distinct.
    int64_t counter = 0;
    {
        Stmt get(db_.get(), "SELECT value FROM meta WHERE key = 'faucet'");
        if (get.step()) counter = get.integer(0);
        Stmt put(db_.get(), "INSERT INTO meta(key, value) VALUES('faucet', ?) "
                            "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
        if (!put.bind(1, counter + 1).run()) {
            error = sqlite3_errmsg(db_.get());
            return false;
        }
    }
    Bytes raw;
    auto le = [&raw](uint64_t v, int n) {
        for (int i = 0; i < n; ++i) raw.push_back(uint8_t(v >> (8 * i)));
    };
    le(1, 4);
    append_varint(raw, 1);
    raw.insert(raw.end(), 32, 0);
    le(0xFFFFFFFFu, 4);
    Bytes script;
    uint8_t count[8];
    for (int i = 0; i < 8; ++i) count[i] = uint8_t(uint64_t(counter) >> (8 * i));
    append_push(script, count, sizeof count);
    static const char kTag[] = "dialo-devnet faucet";
    append_push(script, reinterpret_cast<const uint8_t*>(kTag), sizeof kTag - 1);
    append_varint(raw, script.size());
    raw.insert(raw.end(), script.begin(), script.end());
    le(0xFFFFFFFFu, 4);
    append_varint(raw, 1);
    le(uint64_t(sats), 8);
    Bytes locking = p2pkh_script(h);
    append_varint(raw, locking.size());
    raw.insert(raw.end(), locking.begin(), locking.end());
    le(0, 4);
    txid = txid_of(raw);
    return insertTx(txid, raw, 0, {}, accepted, error);
}

bool Ledger::mine(BlockInfo& block, std::string& error) {
    MinedBlock mined;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!mineLocked(block, mined.txids, error)) return false;
    }
    mined.height = block.height;
    MineHook hook;
    {
        std::lock_guard<std::mutex> lock(hookMutex_);
        hook = mineHook_;
    }
    if (hook) hook(mined);
    return true;
}

bool Ledger::mineLocked(BlockInfo& block, std::vector<std::string>& txids, std::string& error) {
    if (!db_) {
        error = "ledger closed";
        return false;
    }
    BlockInfo tip = tipLocked();
    {
        Stmt pending(db_.get(), "SELECT txid FROM txs WHERE height IS NULL ORDER BY seq");
        while (pending.step()) txids.push_back(pending.text(0));
    }
    block.height = tip.height + 1;
    block.time = std::max(nowSeconds(), tip.time);
    block.hash = blockHash(tip.hash, block.height, block.time, txids);
    block.txCount = int64_t(txids.size());
    SqlTransaction t(db_.get());
    Stmt add(db_.get(), "INSERT INTO blocks(height, hash, prev, time, tx_count) VALUES(?, ?, ?, ?, ?)");
    Stmt confirm(db_.get(), "UPDATE txs SET height = ? WHERE height IS NULL");
    if (!t.begun() ||
        !add.bind(1, block.height).bind(2, block.hash).bind(3, tip.hash).bind(4, block.time).bind(5, block.txCount).run() ||
        !confirm.bind(1, block.height).run() || !t.commit()) {
        error = std::string("ledger: ") + sqlite3_errmsg(db_.get());
        return false;
    }
    return true;
}

BlockInfo Ledger::tipLocked() {
    BlockInfo b;
    Stmt tip(db_.get(), "SELECT height, hash, time, tx_count FROM blocks ORDER BY height DESC LIMIT 1");
    if (tip.step()) {
        b.height = tip.integer(0);
        b.hash = tip.text(1);
        b.time = tip.integer(2);
        b.txCount = tip.integer(3);
    }
    return b;
}

bool Ledger::tx(const std::string& txid, TxRecord& out) {
    if (!isHex64(txid)) return false;
    std::string id = txid;
    std::transform(id.begin(), id.end(), id.begin(), [](char c) { return char(std::tolower(uint8_t(c))); });
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return false;
    Stmt q(db_.get(),
           "SELECT t.raw, t.height, b.time, b.hash, t.seen, t.fee FROM txs t LEFT JOIN blocks b ON b.height = t.height "
           "WHERE t.txid = ?");
    if (!q.bind(1, id).step()) return false;
    out.txid = id;
    out.raw = q.blob(0);
    out.height = q.isNull(1) ? -1 : q.integer(1);
    out.blockTime = q.isNull(2) ? 0 : q.integer(2);
    out.blockHash = q.isNull(3) ? std::string() : q.text(3);
    out.seen = q.integer(4);
    out.fee = q.integer(5);
    return true;
}

std::vector<std::string> Ledger::txidsPaying(const std::string& address, size_t limit) {
    std::vector<std::string> out;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return out;
    Stmt q(db_.get(),
           "SELECT t.txid FROM touches a JOIN txs t ON t.seq = a.seq WHERE a.address = ? AND a.pays = 1 "
           "ORDER BY a.seq DESC LIMIT ?");
    q.bind(1, address).bind(2, int64_t(limit));
    while (q.step()) out.push_back(q.text(0));
    std::reverse(out.begin(), out.end());
    return out;
}

std::vector<HistoryEntry> Ledger::history(const std::string& address, HistoryKind kind) {
    std::vector<HistoryEntry> out;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return out;
    Stmt q(db_.get(), "SELECT t.txid, t.height FROM touches a JOIN txs t ON t.seq = a.seq WHERE a.address = ? ORDER BY a.seq");
    q.bind(1, address);
    while (q.step()) {
        HistoryEntry e{q.text(0), q.isNull(1) ? -1 : q.integer(1)};
        bool confirmed = e.height >= 0;
        if (kind == HistoryKind::All || (kind == HistoryKind::Confirmed) == confirmed) out.push_back(std::move(e));
    }
    return out;
}

std::vector<Utxo> Ledger::unspent(const std::string& address) {
    std::vector<Utxo> out;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return out;
    Stmt q(db_.get(),
           "SELECT o.txid, o.vout, o.sats, t.height, o.spent_by IS NOT NULL FROM outputs o "
           "JOIN txs t ON t.txid = o.txid LEFT JOIN txs s ON s.txid = o.spent_by "
           "WHERE o.address = ? AND (o.spent_by IS NULL OR s.height IS NULL) ORDER BY t.seq, o.vout");
    q.bind(1, address);
    while (q.step()) {
        Utxo u;
        u.txid = q.text(0);
        u.vout = uint32_t(q.integer(1));
        u.sats = q.integer(2);
        u.height = q.isNull(3) ? -1 : q.integer(3);
        u.spentInMempool = q.integer(4) != 0;
        out.push_back(std::move(u));
    }
    return out;
}

Balance Ledger::balance(const std::string& address) {
    Balance b;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return b;
    Stmt q(db_.get(),
           "SELECT o.sats, t.height IS NOT NULL, o.spent_by IS NOT NULL, s.height IS NOT NULL FROM outputs o "
           "JOIN txs t ON t.txid = o.txid LEFT JOIN txs s ON s.txid = o.spent_by WHERE o.address = ?");
    q.bind(1, address);
    while (q.step()) {
        const int64_t sats = q.integer(0);
        const bool createdInBlock = q.integer(1) != 0, spent = q.integer(2) != 0, spentInBlock = q.integer(3) != 0;
        if (createdInBlock && !spentInBlock) b.confirmed += sats;
        if (!createdInBlock) b.unconfirmed += sats;
        if (spent && !spentInBlock) b.unconfirmed -= sats;
    }
    return b;
}

std::vector<FeedTx> Ledger::txsAfter(int64_t seq, size_t limit) {
    std::vector<FeedTx> out;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return out;
    Stmt q(db_.get(),
           "SELECT seq, txid, raw, height, COALESCE(seen_ms, seen * 1000) FROM txs WHERE seq > ? ORDER BY seq LIMIT ?");
    q.bind(1, seq).bind(2, int64_t(limit));
    while (q.step()) out.push_back({q.integer(0), q.text(1), q.blob(2), q.isNull(3) ? -1 : q.integer(3), q.integer(4)});
    return out;
}

std::vector<MinedBlock> Ledger::blocksAbove(int64_t height, size_t limit) {
    std::vector<MinedBlock> out;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return out;
    Stmt q(db_.get(), "SELECT height FROM blocks WHERE height > ? ORDER BY height LIMIT ?");
    q.bind(1, height).bind(2, int64_t(limit));
    while (q.step()) out.push_back({q.integer(0), {}});
    for (MinedBlock& b : out) {
        Stmt t(db_.get(), "SELECT txid FROM txs WHERE height = ? ORDER BY seq");
        t.bind(1, b.height);
        while (t.step()) b.txids.push_back(t.text(0));
    }
    return out;
}

LedgerStatus Ledger::status() {
    LedgerStatus st;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return st;
    st.tip = tipLocked();
    Stmt q(db_.get(),
           "SELECT (SELECT COUNT(*) FROM txs WHERE height IS NULL), (SELECT COUNT(*) FROM txs), "
           "(SELECT COUNT(*) FROM outputs WHERE spent_by IS NULL AND address IS NOT NULL)");
    if (q.step()) {
        st.mempool = q.integer(0);
        st.txs = q.integer(1);
        st.utxos = q.integer(2);
    }
    return st;
}

}  // namespace dialo::devnet

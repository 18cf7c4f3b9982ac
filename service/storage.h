#pragma once
// Where the platform keeps what it knows: the paymail directory (aliases with their identity
// keys and claims) and the index of transactions by the addresses they pay. Two backends share
// this interface: SQLite for one machine, PostgreSQL for several instances on one database.
// Every call is safe from any thread; nothing here throws. Schema migrations are numbered and
// run by open().

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace dialo::service {

struct PaymailEntry {
    std::string alias;   // lower case
    std::string pubkey;  // 66 lower-case hex
    std::string address;
    std::string avatar;
    std::string ordAddress;
    std::string bnPub;
    std::string bnAddress;
    int64_t ts = 0;  // claim time, Unix seconds
};

enum class PutClaim { Taken, OtherOwner, Older, Failed };

/// One transaction the index holds.
struct IndexedTx {
    std::string txid;
    Bytes raw;
    int64_t height = -1;  // -1 while unconfirmed (or not known)
    int64_t seen = 0;     // Unix milliseconds the chain source first saw it (0: unknown)
    int64_t indexed = 0;  // Unix milliseconds it entered the index
};

/// A listing: the most recent txids paying an address, oldest first, and the address's
/// cursor, which grows with every transaction indexed for it (0 when none). Cursors are
/// comparable across instances sharing one database.
struct Listing {
    std::vector<std::string> txids;
    int64_t cursor = 0;
};

/// Called with an address whenever a transaction paying it enters the index, in this process
/// or (PostgreSQL) in any instance on the same database. It runs on a storage thread and must
/// not call back into the storage. An empty address means arrivals may have been missed (the
/// PostgreSQL listener was away): every waiter should look again.
using ArrivalHook = std::function<void(const std::string& address)>;

class Storage {
public:
    virtual ~Storage() = default;

    /// Connects, runs the migrations not yet run (each numbered, in order, in a transaction)
    /// and starts telling arrivals to the hook.
    [[nodiscard]] virtual bool open(std::string& error) = 0;
    virtual void close() = 0;
    /// The schema version after open(): the number of the last migration run.
    virtual int schemaVersion() = 0;
    /// True when the database answers now (for /healthz).
    virtual bool healthy() = 0;
    /// Replaces the arrival hook; set before open().
    virtual void setArrivalHook(ArrivalHook hook) = 0;

    // The directory.
    [[nodiscard]] virtual bool lookupAlias(const std::string& alias, PaymailEntry& out) = 0;
    virtual bool hasPubkey(const std::string& pubkey) = 0;
    /// Whether some alias is paid at this address, in `registered`; false when the storage
    /// could not tell (a transaction must then wait, not be dropped as unregistered).
    [[nodiscard]] virtual bool isRegisteredAddress(const std::string& address, bool& registered) = 0;
    /// Records a checked claim atomically: refused when another key owns the alias, or when
    /// the stored claim is newer than this one.
    virtual PutClaim putClaim(const PaymailEntry& entry) = 0;

    // The index.
    /// Adds a transaction with the addresses it pays (each once); false on a storage failure.
    /// A transaction already held gains only addresses it lacked and a height it lacked;
    /// `added` tells whether any address was new, and each such address is told to the
    /// arrival hooks of every instance.
    [[nodiscard]] virtual bool indexTx(const IndexedTx& tx, const std::vector<std::string>& addresses,
                                       bool& added) = 0;
    /// The last `limit` txids paying the address, oldest first, and its cursor.
    [[nodiscard]] virtual bool listing(const std::string& address, size_t limit, Listing& out) = 0;
    [[nodiscard]] virtual bool tx(const std::string& txid, IndexedTx& out) = 0;
    /// Marks transactions confirmed at a height.
    virtual bool confirm(const std::vector<std::string>& txids, int64_t height) = 0;

    // Small named values that outlive a restart (the chain source's resume point).
    [[nodiscard]] virtual bool getValue(const std::string& key, std::string& out) = 0;
    virtual bool setValue(const std::string& key, const std::string& value) = 0;
};

/// SQLite in one file (created with its folder's owner-only mode); arrivals are told within
/// this process only.
std::unique_ptr<Storage> makeSqliteStorage(const std::string& path);

/// PostgreSQL at a libpq connection string ("host=... port=... dbname=... user=..."); arrivals
/// are told across instances with LISTEN/NOTIFY.
std::unique_ptr<Storage> makePostgresStorage(const std::string& conninfo);

}  // namespace dialo::service

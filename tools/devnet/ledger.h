#pragma once
// The devnet's chain: transactions, blocks, every output with the transaction that spends
// it, and the mempool, kept in SQLite (WAL) under the data folder so that all of it
// survives a restart. One mutex serialises every call; nothing here throws.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "wallet/hashes.h"
#include "service/sqlite_db.h"

namespace dialo::devnet {

using service::SqlitePtr;

/// Why a transaction was refused; the reason text names the node's reject string.
enum class Reject { None, Malformed, AlreadyKnown, Conflict, MissingInputs, BadScript, NonStandard, LowFee, BelowOut };

struct SubmitResult {
    bool accepted = false;
    Reject reject = Reject::None;
    std::string txid;    // set whenever the bytes parsed
    std::string reason;  // "txn-mempool-conflict", "Missing inputs", ... (empty when accepted)
};

struct TxRecord {
    std::string txid;
    Bytes raw;
    int64_t height = -1;  // -1 while in the mempool
    int64_t blockTime = 0;  // Unix seconds, 0 while in the mempool
    std::string blockHash;
    int64_t seen = 0;  // Unix seconds of acceptance
    int64_t fee = 0;   // satoshis
};

struct HistoryEntry {
    std::string txid;
    int64_t height = -1;  // -1 in the mempool
};

struct Utxo {
    std::string txid;
    uint32_t vout = 0;
    int64_t sats = 0;
    int64_t height = -1;          // -1 when the creating transaction is in the mempool
    bool spentInMempool = false;  // spent by a transaction not yet in a block
};

struct Balance {
    int64_t confirmed = 0;    // satoshis in blocks, not spent in a block
    int64_t unconfirmed = 0;  // net mempool change: received minus spent (may be negative)
};

struct BlockInfo {
    int64_t height = 0;
    std::string hash;
    int64_t time = 0;  // Unix seconds
    int64_t txCount = 0;
};

struct LedgerStatus {
    BlockInfo tip;
    int64_t mempool = 0;  // transactions not yet in a block
    int64_t txs = 0;
    int64_t utxos = 0;    // outputs not spent by any transaction (mempool included)
};

enum class HistoryKind { All, Confirmed, Unconfirmed };

/// A transaction as the ledger took it, in acceptance order.
struct FeedTx {
    int64_t seq = 0;  // grows with every transaction accepted
    std::string txid;
    Bytes raw;
    int64_t height = -1;  // -1 in the mempool
    int64_t seenMs = 0;   // Unix milliseconds of acceptance
};

/// A block with the transactions it confirmed, in acceptance order.
struct MinedBlock {
    int64_t height = 0;
    std::vector<std::string> txids;
};

/// Told of every transaction accepted (whichever route brought it) and every block mined,
/// on the thread that did it, after the ledger's mutex is released.
using AcceptHook = std::function<void(const FeedTx&)>;
using MineHook = std::function<void(const MinedBlock&)>;

class Ledger {
public:
    /// Opens or creates `<dir>/ledger.sqlite`; `minFeeRate` in satoshis per 1000 bytes (0 = no minimum).
    [[nodiscard]] bool open(const std::string& dir, int64_t minFeeRate, std::string& error);
    void close();

    /// Validates and adds a transaction to the mempool.
    SubmitResult submit(const Bytes& raw);

    /// Makes a faucet transaction (a coinbase-style input) paying `sats` to `address`.
    [[nodiscard]] bool fund(const std::string& address, int64_t sats, std::string& txid, std::string& error);

    /// Confirms the whole mempool in a new block (an empty block when the mempool is empty).
    [[nodiscard]] bool mine(BlockInfo& block, std::string& error);

    [[nodiscard]] bool tx(const std::string& txid, TxRecord& out);
    /// The most recent `limit` transactions with an output paying the address, oldest first.
    std::vector<std::string> txidsPaying(const std::string& address, size_t limit);
    /// Transactions paying or spending from the address, in the order they were accepted.
    std::vector<HistoryEntry> history(const std::string& address, HistoryKind kind);
    /// Outputs of the address not spent in a block, in acceptance order (mempool included).
    std::vector<Utxo> unspent(const std::string& address);
    Balance balance(const std::string& address);
    LedgerStatus status();

    /// Up to `limit` transactions accepted after `seq`, oldest first.
    std::vector<FeedTx> txsAfter(int64_t seq, size_t limit);
    /// Up to `limit` blocks above `height`, oldest first.
    std::vector<MinedBlock> blocksAbove(int64_t height, size_t limit);

    /// Replaces the hooks (empty ones: none). A hook already running may still finish.
    void setHooks(AcceptHook accepted, MineHook mined);

private:
    SubmitResult submitLocked(const Bytes& raw, FeedTx& accepted);
    [[nodiscard]] bool insertTx(const std::string& txid, const Bytes& raw, int64_t fee,
                                const std::vector<std::pair<std::string, uint32_t>>& spends, FeedTx& accepted,
                                std::string& error);
    [[nodiscard]] bool fundLocked(const Hash160& h, int64_t sats, std::string& txid, FeedTx& accepted,
                                  std::string& error);
    [[nodiscard]] bool mineLocked(BlockInfo& block, std::vector<std::string>& txids, std::string& error);
    BlockInfo tipLocked();
    void tellAccepted(const FeedTx& tx);

    std::mutex mutex_;
    SqlitePtr db_;             // guarded by mutex_
    int64_t minFeeRate_ = 1;   // satoshis per 1000 bytes
    std::mutex hookMutex_;
    AcceptHook acceptHook_;    // guarded by hookMutex_
    MineHook mineHook_;        // guarded by hookMutex_
};

}  // namespace dialo::devnet

#pragma once
// Where the platform learns about transactions and where its relay sends them: the devnet's
// feed in development and tests, a BSV node for the main network. The source calls the sink
// for every transaction it sees (mempool and blocks); the index keeps those that pay an
// address it follows. Nothing here throws.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "base/bytes.h"

namespace dialo::service {

struct ChainTx {
    std::string txid;
    Bytes raw;
    int64_t height = -1;  // -1: in the mempool
    int64_t seen = 0;     // Unix milliseconds the source first saw it (0: unknown)
};

struct Relayed {
    bool accepted = false;  // the network took it, or holds it already
    std::string txid;
    std::string error;      // the network's reason when refused
};

/// Returns false when the transaction could not be taken (the storage is down): the source
/// then keeps its resume point before it and offers it again later.
using ChainSink = std::function<bool(const ChainTx&)>;
/// Called when a block confirms transactions: their txids and the height. Returns false when
/// they could not be recorded: the source then asks for that block again later.
using ConfirmSink = std::function<bool(const std::vector<std::string>& txids, int64_t height)>;

class ChainSource {
public:
    virtual ~ChainSource() = default;
    /// Starts following the chain from `resume` (the last value handed to `saveResume`; empty
    /// the first time) on a thread of its own.
    [[nodiscard]] virtual bool start(ChainSink sink, ConfirmSink confirmed, std::string resume,
                                     std::function<void(const std::string&)> saveResume, std::string& error) = 0;
    virtual void stop() = 0;
    /// Sends a raw transaction to the network for the submit relay.
    virtual Relayed relay(const Bytes& raw) = 0;
    /// {"source": kind, "connected": bool, "last_seen_ms": ..., ...} for /healthz and metrics.
    virtual nlohmann::json health() = 0;
};

}  // namespace dialo::service

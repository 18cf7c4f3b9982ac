#pragma once
// The platform service as a library: the paymail directory and claims, public profiles, the
// oracle index with its push listing, transaction JSON and the submit relay, over a storage
// backend and a chain source. dialo-platform serves it; dialo-devnet embeds it beside its
// pretend chain, so a phone meets the same service in tests and in use.
//
// Push: the oracle listing GET /oi/oracle/dialo/txids?address=A&kind=all&limit=N answers
// {"txids": [...], "cursor": "C"}. With &wait=S (1..maxWaitSeconds) and &after=C it answers as
// soon as the address's cursor passes C, or after S seconds with the listing as it stands.
// GET /oi/capabilities advertises it: {"push": {"kind": "long-poll", "path":
// "/oi/oracle/dialo/txids", "max_wait_seconds": S}}.

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "service/chain_source.h"
#include "service/storage.h"

namespace dialo::service {

struct PlatformOptions {
    std::string domain = "orvane.test";  // the paymail domain and host
    bool indexAll = false;     // index every address paid, not only registered handles' (the devnet)
    int maxWaitSeconds = 25;   // the longest push wait a listing may ask
    size_t maxWaiters = 20000; // push listings held at once; more are refused with 503
};

/// Counters the metrics page shows; read without locks.
struct PlatformCounters {
    std::atomic<uint64_t> listings{0};        // oracle listings answered
    std::atomic<uint64_t> pushWaits{0};       // listings that waited
    std::atomic<uint64_t> pushWoken{0};       // waits answered by an arrival
    std::atomic<uint64_t> pushWaiting{0};     // waiting now
    std::atomic<uint64_t> indexed{0};         // transactions entered into the index
    std::atomic<uint64_t> relayed{0};         // submissions the network accepted
    std::atomic<int64_t> lastIndexLagMs{0};   // from the source's sighting to the index, last one
};

class Platform {
public:
    Platform(PlatformOptions options, std::unique_ptr<Storage> storage, std::unique_ptr<ChainSource> source);
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    /// Opens the storage (running its migrations) and starts the chain source.
    [[nodiscard]] bool start(std::string& error);
    /// Stops the source, wakes every push wait and closes the storage; safe twice.
    void stop();

    /// Adds the service's routes to a server.
    void addRoutes(httplib::Server& server);

    /// Enters a transaction the caller saw (the relay, or an embedding chain) into the index;
    /// false when the storage failed (a transaction of no followed address is taken: true).
    bool learn(const ChainTx& tx);

    Storage& storage();
    const PlatformCounters& counters() const;
    /// {"ok", "schema", "storage", "source": ...} for /healthz.
    nlohmann::json health();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace dialo::service

#pragma once
// A fault storm for tests: while it blows, a chosen share of the requests to every server
// (the platform, WhatsOnChain, ARC, the directory copy and the paymail host) meets a fault
// drawn at random from a chosen set, so phones see rate limits, server errors, slow answers
// and dropped connections in no fixed pattern. The draws come from a seeded generator in the
// order the requests arrive, so the same seed replays the same run of fates. It also counts
// the oracle listings asked for each address, storm or not, so a test can read a phone's poll
// rate from this side.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/devnet/faults.h"

namespace dialo::devnet {

class Storm {
public:
    /// Starts (or restarts, counts cleared) from {"rate": 0..1, "kinds": [429, 503, 500, "slow",
    /// "drop", or any status 400..599], "slow_ms": 1..60000 (a slow answer waits a random time
    /// from half of it to all of it), "seed": integer}. Absent keys: rate 0.2, the five kinds
    /// named, slow_ms 3000, seed 1.
    [[nodiscard]] bool start(const nlohmann::json& request, std::string& error);
    /// Stops drawing; the counts stay until the next start.
    void stop();
    /// The fault for this request, counted, or none: a calm request, or no storm.
    std::optional<Fault> draw();
    /// {"active", "rate", "seed", "slow_ms", "kinds", "requests" (seen while active),
    ///  "faults": {kind: count}}.
    nlohmann::json report();

    /// Counts one oracle listing asked for `address`.
    void countPoll(const std::string& address);
    /// {address: listings asked since start}.
    nlohmann::json polls();

private:
    std::mutex mutex_;  // guards everything below
    bool active_ = false;
    double rate_ = 0.2;
    int slowMs_ = 3000;
    uint64_t seed_ = 1;
    std::vector<std::string> kinds_;     // "429", "slow", "drop", ...
    std::mt19937_64 random_;
    uint64_t requests_ = 0;
    std::map<std::string, uint64_t> faults_;  // kind to faults injected
    std::map<std::string, uint64_t> polls_;   // address to listings asked
};

}  // namespace dialo::devnet

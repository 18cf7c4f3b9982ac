#pragma once
// Injected failures for tests: the next N requests whose path starts with a prefix get a
// chosen status and body, a delay, or a dropped connection instead of the normal answer.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace dialo::devnet {

struct Fault {
    std::string pathPrefix;
    std::string method;       // empty: any method
    std::string server;       // "service", "directory", "paymail" or empty for any
    std::string host;         // only requests addressed to this host name (lower case); empty: any
    int status = 0;           // 0: answer normally (after any delay)
    std::string body;
    std::string contentType;  // empty: JSON when the body parses as JSON, else HTML
    std::string location;     // Location header of the answer (a redirect); empty: none
    int delayMs = 0;          // milliseconds before answering
    bool drop = false;        // close the connection without an answer
    int64_t remaining = 1;    // requests still to affect
};

class FaultTable {
public:
    /// Adds a fault from {"path_prefix", "status", "body", "content_type", "location",
    /// "delay_ms", "drop", "count", "method", "server", "host"}.
    [[nodiscard]] bool add(const nlohmann::json& request, std::string& error);
    void clear();
    /// The first matching fault, counted as used; none when nothing matches. `host` is the
    /// name the request was addressed to, without its port.
    std::optional<Fault> take(const std::string& server, const std::string& method, const std::string& path,
                              const std::string& host = {});
    size_t pending();

private:
    std::mutex mutex_;
    std::vector<Fault> faults_;  // guarded by mutex_; oldest first
};

/// The body answered for an injected status without a body of its own: a small HTML page,
/// as proxies and overloaded servers send.
std::string defaultFaultPage(int status);

}  // namespace dialo::devnet

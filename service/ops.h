#pragma once
// What an operator runs the platform with: rate limits per client and per indexed address
// (429 with Retry-After, which the phone honours), one JSON log line per request, Prometheus
// metrics at GET /metrics and the health check at GET /healthz. Nothing here throws.

#include <httplib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "service/config.h"
#include "service/platform.h"

namespace dialo::service {

/// Milliseconds since 1970 on the system clock.
int64_t unixMs();

/// Token buckets by key: `burst` requests at once, `perSecond` kept up. A bucket that has been
/// idle long enough to be full again is forgotten, so memory follows the clients of the last
/// few seconds; past `maxKeys` live buckets new keys pass unlimited rather than be refused.
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    RateLimiter(double perSecond, int burst, size_t maxKeys = 200000);

    /// Takes one token: 0 when the request may go on, else whole seconds (at least 1) until the
    /// key has a token again.
    int take(const std::string& key, Clock::time_point now);
    size_t size() const;

private:
    struct Bucket {
        double tokens;
        Clock::time_point last;
    };
    void sweep(Clock::time_point now);

    const double perSecond_;
    const double burst_;
    const size_t maxKeys_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
    Clock::time_point lastSweep_{};
};

/// The route a path counts under in the metrics: one of the service's fixed route names, or
/// "other", so that made-up paths cannot grow the metrics page.
std::string routeLabel(const std::string& path);

/// The key a client's bucket is kept under: an IPv4 address itself, an IPv6 address's /64
/// (one host may hold a whole /64).
std::string clientKey(const std::string& address);

/// Counters of the requests this process answered.
class RequestMetrics {
public:
    static constexpr std::array<double, 12> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                         0.5,   1,    2.5,   5,    10,  30};  // seconds

    void record(const std::string& route, int status, double seconds);
    void limited(bool byAddress) { (byAddress ? limitedAddress_ : limitedClient_)++; }

    /// The Prometheus text page: these counters, the platform's and the source's connection.
    std::string render(const PlatformCounters* counters, const nlohmann::json& health) const;

private:
    struct Histogram {
        std::array<uint64_t, kBuckets.size()> le{};  // cumulative is computed when shown
        uint64_t count = 0;
        double sum = 0;
    };
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, int>, uint64_t> requests_;
    std::map<std::string, Histogram> durations_;
    std::atomic<uint64_t> limitedClient_{0}, limitedAddress_{0};
};

/// Where the request log goes: standard output, standard error or a file appended to.
class RequestLog {
public:
    [[nodiscard]] bool open(const std::string& target, std::string& error);
    void write(const std::string& line);

private:
    struct FileClose {
        void operator()(FILE* f) const {
            if (f) std::fclose(f);
        }
    };
    std::mutex mutex_;
    FILE* out_ = stderr;
    std::unique_ptr<FILE, FileClose> owned_;
};

/// One request's log line: a JSON object of ts (Unix milliseconds), client, method, path (with
/// the query's `address` kept and nothing else), status, ms and bytes.
std::string requestLogLine(int64_t tsMs, const std::string& client, const httplib::Request& req, int status,
                           double ms, size_t bytes);

/// Rate limits, log and metrics hooked into one server.
class Ops {
public:
    Ops(const PlatformLimits& limits, bool trustProxy, RequestLog* log);

    /// Sets the server's pre-routing handler (limits) and logger (log and metrics), and adds
    /// GET /metrics and GET /healthz. `health` is Platform::health() (or a stand-in);
    /// `counters` may be null. Both must outlive the server.
    void install(httplib::Server& server, std::function<nlohmann::json()> health, const PlatformCounters* counters);

    /// The client a request counts for (see PlatformConfig::trustProxy).
    std::string clientOf(const httplib::Request& req) const;
    RequestMetrics& metrics() { return metrics_; }

private:
    httplib::Server::HandlerResponse admit(const httplib::Request& req, httplib::Response& res);
    void logged(const httplib::Request& req, const httplib::Response& res);

    bool trustProxy_;
    RateLimiter clients_;
    RateLimiter addresses_;
    RequestLog* log_;
    RequestMetrics metrics_;
};

}  // namespace dialo::service

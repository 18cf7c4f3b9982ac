#include "service/ops.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "service/http_server.h"

namespace dialo::service {

namespace {

using nlohmann::json;

constexpr auto kSweepEvery = std::chrono::seconds(1);

// The service's routes, longest first where one is a prefix of another.
constexpr const char* kRoutes[] = {
    "/oi/oracle/dialo/txids", "/oi/capabilities",    "/oi/tx/",           "/oi/submit",
    "/.well-known/bsvalias",  "/api/bsvalias/id/",   "/api/bsvalias/address/", "/api/bsvalias/public-profile/",
    "/api/p2p-destination/",  "/api/destination/",   "/api/receive-tx/",  "/api/paymail/quota/",
    "/api/paymail/claim",     "/metrics",            "/healthz",
};

// When the pre-routing handler saw this thread's current request; the logger runs on the same
// thread right after the answer is written. Requests refused before routing have none.
thread_local bool tStarted = false;
thread_local std::chrono::steady_clock::time_point tStart;

std::string number(double v) {
    std::ostringstream o;
    o.precision(10);
    o << v;
    return o.str();
}

}  // namespace

int64_t unixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}


RateLimiter::RateLimiter(double perSecond, int burst, size_t maxKeys)
    : perSecond_(perSecond > 0 ? perSecond : 1), burst_(burst > 0 ? burst : 1), maxKeys_(maxKeys) {}

int RateLimiter::take(const std::string& key, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (now - lastSweep_ >= kSweepEvery) sweep(now);
    auto it = buckets_.find(key);
    if (it == buckets_.end()) {
        if (buckets_.size() >= maxKeys_) return 0;
        it = buckets_.emplace(key, Bucket{burst_, now}).first;
    }
    Bucket& b = it->second;
    const double elapsed = std::chrono::duration<double>(now - b.last).count();
    if (elapsed > 0) {
        b.tokens = std::min(burst_, b.tokens + elapsed * perSecond_);
        b.last = now;
    }
    if (b.tokens >= 1) {
        b.tokens -= 1;
        return 0;
    }
    return std::max(1, int(std::ceil((1 - b.tokens) / perSecond_)));
}

void RateLimiter::sweep(Clock::time_point now) {
    lastSweep_ = now;
    // A bucket full again by now is the same as no bucket.
    for (auto it = buckets_.begin(); it != buckets_.end();) {
        const double elapsed = std::chrono::duration<double>(now - it->second.last).count();
        if (it->second.tokens + elapsed * perSecond_ >= burst_) it = buckets_.erase(it);
        else ++it;
    }
}

size_t RateLimiter::size() const {
    std::lock_guard lock(mutex_);
    return buckets_.size();
}

std::string routeLabel(const std::string& path) {
    for (const char* r : kRoutes) {
        const size_t n = std::strlen(r);
        if (path.compare(0, n, r) == 0) {
            // "/oi/tx/<txid>" counts as "/oi/tx"; an exact route must match to its end.
            if (r[n - 1] == '/') return std::string(r, n - 1);
            if (path.size() == n || path[n] == '/' || path[n] == '?') return r;
        }
    }
    return "other";
}

std::string clientKey(const std::string& address) {
    in6_addr v6{};
    if (address.find(':') == std::string::npos || inet_pton(AF_INET6, address.c_str(), &v6) != 1) return address;
    // An IPv4 peer on a dual-stack socket is that IPv4 address.
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(v6.s6_addr, kMapped, 12) == 0) {
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, v6.s6_addr + 12, text, sizeof text)) return text;
    }
    std::memset(v6.s6_addr + 8, 0, 8);
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, &v6, text, sizeof text)) return address;
    return std::string(text) + "/64";
}

void RequestMetrics::record(const std::string& route, int status, double seconds) {
    std::lock_guard lock(mutex_);
    requests_[{route, status}]++;
    Histogram& h = durations_[route];
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) {
            h.le[i]++;
            break;
        }
    h.count++;
    h.sum += seconds;
}

std::string RequestMetrics::render(const PlatformCounters* counters, const json& health) const {
    std::ostringstream o;
    auto head = [&o](const char* name, const char* type, const char* help) {
        o << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
    };
    {
        std::lock_guard lock(mutex_);
        head("dialo_platform_requests_total", "counter", "Requests answered, by route and status code.");
        for (const auto& [key, n] : requests_)
            o << "dialo_platform_requests_total{route=\"" << key.first << "\",code=\"" << key.second << "\"} " << n
              << "\n";
        head("dialo_platform_request_duration_seconds", "histogram",
             "Time from routing to the answer written, push waits included.");
        for (const auto& [route, h] : durations_) {
            uint64_t cumulative = 0;
            for (size_t i = 0; i < kBuckets.size(); ++i) {
                cumulative += h.le[i];
                o << "dialo_platform_request_duration_seconds_bucket{route=\"" << route << "\",le=\""
                  << number(kBuckets[i]) << "\"} " << cumulative << "\n";
            }
            o << "dialo_platform_request_duration_seconds_bucket{route=\"" << route << "\",le=\"+Inf\"} " << h.count
              << "\n";
            o << "dialo_platform_request_duration_seconds_sum{route=\"" << route << "\"} " << number(h.sum) << "\n";
            o << "dialo_platform_request_duration_seconds_count{route=\"" << route << "\"} " << h.count << "\n";
        }
    }
    head("dialo_platform_rate_limited_total", "counter", "Requests refused with 429, by the bucket that refused.");
    o << "dialo_platform_rate_limited_total{bucket=\"client\"} " << limitedClient_.load() << "\n";
    o << "dialo_platform_rate_limited_total{bucket=\"address\"} " << limitedAddress_.load() << "\n";
    if (counters) {
        head("dialo_platform_listings_total", "counter", "Oracle listings answered.");
        o << "dialo_platform_listings_total " << counters->listings.load() << "\n";
        head("dialo_platform_push_waits_total", "counter", "Listings that waited for an arrival.");
        o << "dialo_platform_push_waits_total " << counters->pushWaits.load() << "\n";
        head("dialo_platform_push_woken_total", "counter", "Waits answered by an arrival.");
        o << "dialo_platform_push_woken_total " << counters->pushWoken.load() << "\n";
        head("dialo_platform_push_waiting", "gauge", "Listings waiting now.");
        o << "dialo_platform_push_waiting " << counters->pushWaiting.load() << "\n";
        head("dialo_platform_indexed_total", "counter", "Transactions entered into the index.");
        o << "dialo_platform_indexed_total " << counters->indexed.load() << "\n";
        head("dialo_platform_relayed_total", "counter", "Submissions the network accepted.");
        o << "dialo_platform_relayed_total " << counters->relayed.load() << "\n";
        head("dialo_platform_index_lag_seconds", "gauge",
             "From the chain source's sighting of the last transaction indexed to its indexing.");
        o << "dialo_platform_index_lag_seconds " << number(double(counters->lastIndexLagMs.load()) / 1000) << "\n";
    }
    bool connected = false;
    if (health.is_object() && health.contains("source") && health["source"].is_object()) {
        const json& s = health["source"];
        connected = s.contains("connected") && s["connected"].is_boolean() && s["connected"].get<bool>();
    }
    head("dialo_platform_chain_source_connected", "gauge", "1 while the chain source reaches its network.");
    o << "dialo_platform_chain_source_connected " << (connected ? 1 : 0) << "\n";
    bool storageOk = health.is_object() && health.contains("ok") && health["ok"].is_boolean() && health["ok"].get<bool>();
    head("dialo_platform_healthy", "gauge", "1 while /healthz answers 200.");
    o << "dialo_platform_healthy " << (storageOk ? 1 : 0) << "\n";
    return o.str();
}

bool RequestLog::open(const std::string& target, std::string& error) {
    std::lock_guard lock(mutex_);
    if (target == "stdout" || target == "stderr") {
        owned_.reset();
        out_ = target == "stdout" ? stdout : stderr;
        return true;
    }
    std::unique_ptr<FILE, FileClose> f(std::fopen(target.c_str(), "a"));
    if (!f) {
        error = "cannot open the log file " + target + ": " + std::strerror(errno);
        return false;
    }
    owned_ = std::move(f);
    out_ = owned_.get();
    return true;
}

void RequestLog::write(const std::string& line) {
    std::lock_guard lock(mutex_);
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

std::string requestLogLine(int64_t tsMs, const std::string& client, const httplib::Request& req, int status,
                           double ms, size_t bytes) {
    std::string path = req.path;
    // The address a listing asks about is what an operator needs to follow a phone's polling;
    // every other parameter stays out of the log.
    if (req.has_param("address"))
        path += "?address=" + httplib::detail::encode_query_param(req.get_param_value("address"));
    json line = {{"ts", tsMs},     {"client", client}, {"method", req.method},
                 {"path", path},   {"status", status}, {"ms", std::round(ms * 10) / 10},
                 {"bytes", bytes}};
    return line.dump(-1, ' ', false, json::error_handler_t::replace);
}

Ops::Ops(const PlatformLimits& limits, bool trustProxy, RequestLog* log)
    : trustProxy_(trustProxy),
      clients_(limits.clientPerSecond, limits.clientBurst),
      addresses_(limits.addressPerSecond, limits.addressBurst),
      log_(log) {}

std::string Ops::clientOf(const httplib::Request& req) const {
    const std::string& peer = req.remote_addr;
    if (trustProxy_ && (peer.starts_with("127.") || peer == "::1" || peer == "::ffff:127.0.0.1")) {
        // The proxy appends the address it saw; earlier entries are whatever the client sent.
        std::string forwarded = req.get_header_value("X-Forwarded-For");
        const size_t comma = forwarded.rfind(',');
        if (comma != std::string::npos) forwarded.erase(0, comma + 1);
        const size_t a = forwarded.find_first_not_of(' ');
        const size_t b = forwarded.find_last_not_of(' ');
        if (a != std::string::npos) return forwarded.substr(a, b - a + 1);
    }
    return peer;
}

httplib::Server::HandlerResponse Ops::admit(const httplib::Request& req, httplib::Response& res) {
    tStarted = true;
    tStart = std::chrono::steady_clock::now();
    // A long-poll listing takes one token like any request: the wait itself costs nothing.
    const std::string client = clientKey(clientOf(req));
    int wait = clients_.take(client, tStart);
    bool byAddress = false;
    // Per client too: a bucket of the address alone would let anyone who knows a phone's
    // (public) address use it up and keep that phone from hearing its calls.
    if (wait == 0 && req.has_param("address")) {
        wait = addresses_.take(client + " " + req.get_param_value("address"), tStart);
        byAddress = true;
    }
    if (wait == 0) return httplib::Server::HandlerResponse::Unhandled;
    metrics_.limited(byAddress);
    res.set_header("Retry-After", std::to_string(wait));
    sendJson(res,
             {{"error", byAddress ? "too many requests for this address" : "too many requests"},
              {"retry_after", wait}},
             429);
    return httplib::Server::HandlerResponse::Handled;
}

void Ops::logged(const httplib::Request& req, const httplib::Response& res) {
    double seconds = 0;
    if (tStarted) seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    tStarted = false;
    metrics_.record(routeLabel(req.path), res.status, seconds);
    if (log_) log_->write(requestLogLine(unixMs(), clientOf(req), req, res.status, seconds * 1000, res.body.size()));
}

void Ops::install(httplib::Server& server, std::function<json()> health, const PlatformCounters* counters) {
    server.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return admit(req, res); });
    server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        try {
            logged(req, res);
        } catch (...) {
            // A log line that cannot be written must not end the worker thread.
        }
    });
    server.Get("/metrics", [this, health, counters](const httplib::Request&, httplib::Response& res) {
        json h;
        try {
            h = health();
        } catch (...) {
        }
        res.set_content(metrics_.render(counters, h), "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/healthz", [health](const httplib::Request&, httplib::Response& res) {
        json h;
        try {
            h = health();
        } catch (...) {
            h = {{"ok", false}, {"error", "health check failed"}};
        }
        const bool ok = h.is_object() && h.contains("ok") && h["ok"].is_boolean() && h["ok"].get<bool>();
        sendJson(res, h, ok ? 200 : 503);
    });
}

}  // namespace dialo::service

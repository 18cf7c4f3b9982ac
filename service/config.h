#pragma once
// dialo-platform's configuration file, JSON like every file of ours. Every key but "domain" has
// a default; loading names every problem at once, each on a line of its own that names the key,
// so an operator fixes a file in one pass. Secrets (the database password, the node's RPC
// password) never appear in the summary or any error line.

#include <cstdint>
#include <string>
#include <vector>

namespace dialo::service {

struct PlatformLimits {
    // A phone in a call that polls (push down) lists its address ten times a second and fetches
    // each event besides; a household behind one address may hold two calls.
    double clientPerSecond = 50;   // requests a second one client address may keep up
    int clientBurst = 200;         // requests it may make at once
    double addressPerSecond = 15;  // requests a second about one indexed address
    int addressBurst = 60;
    int maxConnections = 512;      // worker threads: each kept-alive or waiting connection holds one
    int maxWaitSeconds = 25;       // the longest push wait a listing may ask
};

struct PlatformConfig {
    std::string domain;
    std::string listenAddress = "0.0.0.0";
    int listenPort = 443;
    // The client of a request is the last X-Forwarded-For entry when the peer is loopback
    // (a reverse proxy on the same machine); otherwise the peer itself.
    bool trustProxy = false;
    std::string tlsCertFile, tlsKeyFile;  // both empty: plain HTTP, on loopback only

    std::string storageKind = "sqlite";  // "sqlite" or "postgres"
    std::string sqlitePath = "/var/lib/dialo-platform/platform.db";
    std::string pgConninfo;              // may hold a password: a secret
    std::string pgPasswordFile;

    std::string chainKind = "devnet";    // "devnet" or "node"
    std::string devnetUrl = "https://127.0.0.1:24443";
    std::string devnetCaFile;            // empty: the system's roots
    std::string nodeRpcUrl = "http://127.0.0.1:8332";
    std::string nodeRpcUser;
    std::string nodeRpcPasswordFile;
    int nodePollMs = 1000;

    bool indexAll = false;  // "index": {"addresses": "all"}; default "registered"
    PlatformLimits limits;
    std::string log = "stderr";  // "stdout", "stderr" or a file path the request log is appended to
};

/// Reads and checks the file; false with every problem in `errors` (fixed English, one a line,
/// each naming its key). Files the configuration names (TLS, password, CA) must be readable.
[[nodiscard]] bool loadPlatformConfig(const std::string& path, PlatformConfig& cfg, std::vector<std::string>& errors);

/// Several lines describing the configuration for `check-config`, without any secret.
std::string configSummary(const PlatformConfig& cfg);

/// A libpq connection string with its password values replaced by "***" (key=value form and
/// postgresql:// URIs).
std::string redactConninfo(const std::string& conninfo);

/// Whether an IPv4 or IPv6 listen address is on loopback ("127.x.y.z", "::1", "localhost").
bool isLoopbackAddress(const std::string& address);

}  // namespace dialo::service

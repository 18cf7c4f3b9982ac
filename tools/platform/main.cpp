// dialo-platform: the platform service for real use (the paymail directory and claims, public
// profiles, the oracle index with push, transaction JSON and the submit relay), configured by
// one JSON file. `serve` runs it; `check-config` reads the file and says what is wrong.

#include <httplib.h>
#include <openssl/crypto.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/update_check.h"
#include "base/main_guard.h"
#include "platform/files.h"
#include "platform/signals.h"
#include "service/chain_sources.h"
#include "service/config.h"
#include "service/http_server.h"
#include "service/ops.h"
#include "service/platform.h"

namespace {

using namespace dialo::service;

constexpr const char* kUsage =
    "usage: dialo-platform serve --config FILE\n"
    "       dialo-platform check-config --config FILE\n"
    "       dialo-platform --version\n";
constexpr int kListenBacklog = 1024;           // connections waiting for accept()
constexpr size_t kMaxBody = 4u * 1024 * 1024;  // bytes: a submitted transaction, a claim

int fail(const std::string& line) {
    std::fprintf(stderr, "dialo-platform: %s\n", line.c_str());
    return 1;
}

// Text wiped when it goes: the database password on its way into the connection string.
struct Wiped {
    std::string text;
    ~Wiped() { OPENSSL_cleanse(text.data(), text.size()); }
};

// The connection string with the password file's first line added, in the string's own form.
bool conninfoWithPassword(const PlatformConfig& cfg, Wiped& out, std::string& error) {
    out.text = cfg.pgConninfo;
    if (cfg.pgPasswordFile.empty()) return true;
    Wiped file;
    if (!dialo::readWholeFile(cfg.pgPasswordFile, file.text)) {
        error = "cannot read storage.password_file " + cfg.pgPasswordFile;
        return false;
    }
    const size_t n = std::min(file.text.find_first_of("\r\n"), file.text.size());
    Wiped value;
    value.text.reserve(3 * n + 2);
    const bool uri = cfg.pgConninfo.starts_with("postgres://") || cfg.pgConninfo.starts_with("postgresql://");
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(file.text[i]);
        if (uri) {
            if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
                value.text.push_back(char(c));
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", c);
                value.text.append(hex);
            }
        } else {
            if (c == '\'' || c == '\\') value.text.push_back('\\');
            value.text.push_back(char(c));
        }
    }
    Wiped joined;
    joined.text.reserve(out.text.size() + value.text.size() + 16);
    joined.text.append(out.text);
    if (uri) joined.text.append(out.text.find('?') == std::string::npos ? "?password=" : "&password=").append(value.text);
    else joined.text.append(" password='").append(value.text).append("'");
    std::swap(out.text, joined.text);
    return true;
}

std::unique_ptr<Storage> makeStorage(const PlatformConfig& cfg, std::string& error) {
    if (cfg.storageKind == "postgres") {
        Wiped conninfo;
        if (!conninfoWithPassword(cfg, conninfo, error)) return nullptr;
        return makePostgresStorage(conninfo.text);
    }
    return makeSqliteStorage(cfg.sqlitePath);
}

std::unique_ptr<ChainSource> makeSource(const PlatformConfig& cfg) {
    if (cfg.chainKind == "node") {
        NodeSourceOptions o;
        o.rpcUrl = cfg.nodeRpcUrl;
        o.rpcUser = cfg.nodeRpcUser;
        o.rpcPasswordFile = cfg.nodeRpcPasswordFile;
        o.pollMs = cfg.nodePollMs;
        return makeNodeSource(std::move(o));
    }
    DevnetFeedOptions o;
    o.url = cfg.devnetUrl;
    o.caFile = cfg.devnetCaFile;
    return makeDevnetFeedSource(std::move(o));
}

// The socket the library made for listening; set while binding, on this thread.
socket_t gListenSocket = -1;

std::unique_ptr<httplib::Server> makeServer(const PlatformConfig& cfg, std::string& error) {
    std::unique_ptr<httplib::Server> srv;
    if (cfg.tlsCertFile.empty()) {
        srv = std::make_unique<httplib::Server>();
    } else {
        auto tls = std::make_unique<httplib::SSLServer>(cfg.tlsCertFile.c_str(), cfg.tlsKeyFile.c_str());
        if (!tls->is_valid()) {
            error = "the TLS certificate " + cfg.tlsCertFile + " or key " + cfg.tlsKeyFile + " cannot be used";
            return nullptr;
        }
        srv = std::move(tls);
    }
    tuneServer(*srv, size_t(cfg.limits.maxConnections), kMaxBody, &gListenSocket);
    return srv;
}

int serve(const std::string& configPath) {
    PlatformConfig cfg;
    std::vector<std::string> problems;
    if (!loadPlatformConfig(configPath, cfg, problems)) {
        for (const std::string& p : problems) fail(p);
        return 1;
    }
    // Before the servers' and sources' threads start, so they inherit the mask.
    const sigset_t stopSignals = dialo::holdStopSignals();

    RequestLog log;
    std::string error;
    if (!log.open(cfg.log, error)) return fail(error);
    std::unique_ptr<Storage> storage = makeStorage(cfg, error);
    if (!storage) return fail(error.empty() ? "the storage cannot be made" : error);

    PlatformOptions options;
    options.domain = cfg.domain;
    options.indexAll = cfg.indexAll;
    options.maxWaitSeconds = cfg.limits.maxWaitSeconds;
    // Waits hold threads; a quarter of them stay for everything else.
    options.maxWaiters = size_t(cfg.limits.maxConnections) * 3 / 4;
    Platform platform(options, std::move(storage), makeSource(cfg));
    if (!platform.start(error)) return fail(error);

    std::unique_ptr<httplib::Server> server = makeServer(cfg, error);
    if (!server) {
        platform.stop();
        return fail(error);
    }
    Ops ops(cfg.limits, cfg.trustProxy, &log);
    ops.install(*server, [&platform] { return platform.health(); }, &platform.counters());
    platform.addRoutes(*server);

    gListenSocket = -1;
    // Port 0 takes any free one (tests); the line below names it.
    const int port = cfg.listenPort == 0 ? server->bind_to_any_port(cfg.listenAddress)
                                         : (server->bind_to_port(cfg.listenAddress, cfg.listenPort) ? cfg.listenPort : -1);
    if (port <= 0) {
        platform.stop();
        return fail("cannot listen on " + cfg.listenAddress + ":" + std::to_string(cfg.listenPort) + " (" +
                    std::strerror(errno) + ")");
    }
    // The library listens with a backlog of 5; phones reconnecting together would be dropped.
    if (gListenSocket >= 0) ::listen(gListenSocket, kListenBacklog);
    std::thread listener([&server] { server->listen_after_bind(); });
    std::fprintf(stderr, "dialo-platform: listening on %s:%d\n", cfg.listenAddress.c_str(), port);

    dialo::waitForStopSignal(stopSignals);
    // Push waits end first, so the workers the server joins on stopping are free.
    platform.stop();
    server->stop();
    listener.join();
    std::fprintf(stderr, "dialo-platform: stopped\n");
    return 0;
}

int checkConfig(const std::string& configPath) {
    PlatformConfig cfg;
    std::vector<std::string> problems;
    if (!loadPlatformConfig(configPath, cfg, problems)) {
        for (const std::string& p : problems) std::fprintf(stderr, "%s\n", p.c_str());
        return 1;
    }
    std::printf("ok\n%s", configSummary(cfg).c_str());
    return 0;
}

int run(int argc, char** argv) {
    if (argc < 2) return fail("no command; commands are serve and check-config\n" + std::string(kUsage));
    const std::string command = argv[1];
    if (command == "--version" || command == "version") {
        std::printf("%s\n", dialo::versionLine("dialo-platform").c_str());
        return 0;
    }
    if (command == "--help" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::string config;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--config" && i + 1 < argc) config = argv[++i];
        else if (arg == "--config") return fail("--config needs a file");
        else return fail("unknown argument " + arg + "\n" + kUsage);
    }
    if (command != "serve" && command != "check-config")
        return fail("unknown command " + command + "; commands are serve and check-config");
    if (config.empty()) return fail(command + " needs --config FILE");
    return command == "serve" ? serve(config) : checkConfig(config);
}

}  // namespace

int main(int argc, char** argv) { return dialo::runGuarded(run, fail, argc, argv); }

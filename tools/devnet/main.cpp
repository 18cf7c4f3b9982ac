// dialo-devnet: a local BSV network and the services the phone calls, for development,
// tests and the demo. `serve` runs it; `fund`, `mine`, `status` and `paymail-add` talk to a
// running one.

#include <httplib.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/update_check.h"
#include "base/config.h"
#include "base/main_guard.h"
#include "platform/data_dir.h"
#include "platform/signals.h"
#include "store/phone_store.h"
#include "tools/devnet/service.h"
#include "service/tx_json.h"

namespace {

using dialo::devnet::Devnet;
using dialo::devnet::DevnetOptions;
using nlohmann::json;

constexpr const char* kUsage =
    "usage: dialo-devnet serve [--data DIR] [--port P] [--directory-port P] [--paymail-port P] [--dns-port P]\n"
    "                          [--block-interval S] [--min-fee-rate R]\n"
    "                          [--host-name NAME]... [--woc-api-key KEY] [--arc-api-key KEY]\n"
    "       dialo-devnet fund ADDRESS SATS [--confirm] [--port P] [--data DIR | --ca FILE]\n"
    "       dialo-devnet mine [--port P] [--data DIR | --ca FILE]\n"
    "       dialo-devnet status [--port P] [--data DIR | --ca FILE]\n"
    "       dialo-devnet paymail-add ALIAS ADDRESS [--port P] [--data DIR | --ca FILE]\n"
    "serve with a port of 0 binds any free port (the paymail and DNS ports default to 0); the \"network\"\n"
    "object it prints first names the bound ports. paymail-add makes ALIAS@paymail.test pay ADDRESS.\n"
    "--host-name adds a public host name (api.whatsonchain.com, arc.gorillapool.io, ...) to the certificate, so a\n"
    "phone on the main network's profile can be mapped here; with an API key, those calls answer 401 without it.\n";

int fail(const std::string& line) {
    std::fprintf(stderr, "dialo-devnet: %s\n", line.c_str());
    return 1;
}

bool toInt(const std::string& text, int64_t lo, int64_t hi, int64_t& out) {
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && p == end && out >= lo && out <= hi;
}

struct Args {
    std::vector<std::string> positional;
    std::string data, ca, wocApiKey, arcApiKey;
    std::vector<std::string> hostNames;
    int64_t port = -1, directoryPort = -1, paymailPort = 0, dnsPort = 0, blockInterval = 10, minFeeRate = 1;
    bool confirm = false;
};

bool parseArgs(int argc, char** argv, Args& a, std::string& error) {
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](int64_t lo, int64_t hi, int64_t& out) {
            std::string v;
            if (!value(v)) return false;
            if (toInt(v, lo, hi, out)) return true;
            error = arg + " must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
            return false;
        };
        bool ok = true;
        if (arg == "--data") ok = value(a.data);
        else if (arg == "--ca") ok = value(a.ca);
        else if (arg == "--port") ok = number(0, 65535, a.port);
        else if (arg == "--directory-port") ok = number(0, 65535, a.directoryPort);
        else if (arg == "--paymail-port") ok = number(0, 65535, a.paymailPort);
        else if (arg == "--dns-port") ok = number(0, 65535, a.dnsPort);
        else if (arg == "--block-interval") ok = number(0, 86400, a.blockInterval);
        else if (arg == "--min-fee-rate") ok = number(0, 100000000, a.minFeeRate);
        else if (arg == "--confirm") a.confirm = true;
        else if (arg == "--woc-api-key") ok = value(a.wocApiKey);
        else if (arg == "--arc-api-key") ok = value(a.arcApiKey);
        else if (arg == "--host-name") {
            std::string name;
            ok = value(name);
            if (ok && (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-") != std::string::npos)) {
                error = "--host-name takes a lower-case host name";
                return false;
            }
            a.hostNames.push_back(std::move(name));
        }
        else if (arg.starts_with("--")) {
            error = "unknown option " + arg;
            return false;
        } else {
            a.positional.push_back(arg);
        }
        if (!ok) return false;
    }
    return true;
}

int serve(const Args& a) {
    const dialo::NetworkConfig net = dialo::networkConfig();
    DevnetOptions o;
    o.dataDir = a.data.empty() ? dialo::platformDirectory() + "/devnet" : a.data;
    o.servicePort = a.port >= 0 ? int(a.port) : net.servicePort;
    o.directoryPort = a.directoryPort >= 0 ? int(a.directoryPort) : net.directoryPort;
    o.paymailPort = int(a.paymailPort);
    o.dnsPort = int(a.dnsPort);
    o.blockIntervalSeconds = int(a.blockInterval);
    o.minFeeRate = a.minFeeRate;
    if (!net.serviceDomain.empty()) o.serviceDomain = net.serviceDomain;
    o.hostNames = a.hostNames;
    o.wocApiKey = a.wocApiKey;
    o.arcApiKey = a.arcApiKey;
    o.caExportPath = dialo::caFilePath().empty() ? dialo::devnetCaPath() : dialo::caFilePath();

    const sigset_t stopSignals = dialo::holdStopSignals();

    Devnet devnet;
    std::string error;
    if (!devnet.start(o, error)) return fail(error);
    std::printf("%s\n", dialo::service::dumpJson(json{{"network", devnet.networkJson()}}).c_str());
    std::fflush(stdout);
    std::fprintf(stderr,
                 "dialo-devnet: serving https://127.0.0.1:%d (directory %d, %s on %d, DNS on udp %d), data %s, CA %s\n",
                 devnet.servicePort(), devnet.directoryPort(), o.paymailDomain.c_str(), devnet.paymailPort(),
                 devnet.dnsPort(), o.dataDir.c_str(), o.caExportPath.c_str());
    dialo::waitForStopSignal(stopSignals);
    devnet.stop();
    std::fprintf(stderr, "dialo-devnet: stopped\n");
    return 0;
}

// One request to a running devnet; prints the JSON reply on success.
int call(const Args& a, const std::string& method, const std::string& path, const json& body) {
    const dialo::NetworkConfig net = dialo::networkConfig();
    const int port = a.port >= 0 ? int(a.port) : net.servicePort;
    const std::string ca = !a.ca.empty() ? a.ca : !a.data.empty()        ? a.data + "/tls/ca.pem"
                           : !dialo::caFilePath().empty() ? dialo::caFilePath()
                                                          : dialo::devnetCaPath();
    httplib::SSLClient cli("127.0.0.1", port);
    cli.set_ca_cert_path(ca.c_str());
    cli.enable_server_certificate_verification(true);
    cli.set_connection_timeout(5);
    cli.set_read_timeout(60);
    httplib::Result r = method == "GET" ? cli.Get(path.c_str())
                                        : cli.Post(path.c_str(), dialo::service::dumpJson(body), "application/json");
    const std::string where = "https://127.0.0.1:" + std::to_string(port);
    if (!r) return fail("cannot reach the devnet at " + where + " (" + httplib::to_string(r.error()) + ", CA " + ca + ")");
    json reply = json::parse(r->body, nullptr, false);
    if (r->status < 200 || r->status > 299) {
        std::string why = reply.is_object() && reply.contains("error") && reply["error"].is_string()
                              ? reply["error"].get<std::string>()
                              : r->body;
        return fail(path + " answered " + std::to_string(r->status) + ": " + why);
    }
    std::printf("%s\n", reply.is_discarded() ? r->body.c_str() : dialo::service::dumpJson(reply).c_str());
    return 0;
}

int run(int argc, char** argv) {
    if (argc < 2) return fail("no command; commands are serve, fund, mine, status and paymail-add (dialo-devnet help)");
    const std::string command = argv[1];
    if (command == "--version" || command == "version") {
        std::printf("%s\n", dialo::versionLine("dialo-devnet").c_str());
        return 0;
    }
    Args a;
    std::string error;
    if (!parseArgs(argc, argv, a, error)) return fail(error);
    // The network settings (domain, ports, CA file) come from the phone's shared file.
    dialo::load_settings();
    if (command == "serve") {
        if (!a.positional.empty()) return fail("serve takes no arguments besides options");
        return serve(a);
    }
    if (command == "fund") {
        int64_t sats = 0;
        if (a.positional.size() != 2) return fail("fund needs ADDRESS and SATS");
        if (!toInt(a.positional[1], 1, 2100000000000000LL, sats)) return fail("SATS must be a whole number above 0");
        return call(a, "POST", "/devnet/fund", {{"address", a.positional[0]}, {"sats", sats}, {"confirm", a.confirm}});
    }
    if (command == "mine") return call(a, "POST", "/devnet/mine", json::object());
    if (command == "status") return call(a, "GET", "/devnet/status", json());
    if (command == "paymail-add") {
        if (a.positional.size() != 2) return fail("paymail-add needs ALIAS and ADDRESS");
        return call(a, "POST", "/devnet/paymail-add", {{"alias", a.positional[0]}, {"address", a.positional[1]}});
    }
    if (command == "--help" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    return fail("unknown command " + command +
                "; commands are serve, fund, mine, status and paymail-add (dialo-devnet help)");
}

}  // namespace

int main(int argc, char** argv) { return dialo::runGuarded(run, fail, argc, argv); }

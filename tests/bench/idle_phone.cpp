// What an idle phone costs while it listens: the poll loop as the background loop runs it when
// no call is up (an oracle poll every 250 ms plus the request time, the unconfirmed history
// every eighth cycle, the confirmed-history backfill), against a devnet run in-process on free
// loopback ports, for an address that already holds a few transactions. Prints requests and new
// TCP/TLS connections per second, the CPU share of the polling thread, and the process's
// resident memory. Informational only.
//
//   dialo_idle_bench [--seconds=60]

#include <curl/curl.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "call/https_get.h"
#include "call/poller.h"
#include "state/phone_state.h"
#include "tools/devnet/ledger.h"
#include "tools/devnet/service.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/transaction.h"

namespace {

using nlohmann::json;
using namespace dialo;

constexpr uint32_t kIdleSleepMs = 250;
constexpr int kUnconfirmedEvery = 8;
constexpr int kWarmCycles = 8;  // long enough to read what the address already holds

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}
double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}
double wallMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Resident memory in kB, from /proc/self/status.
long residentKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "idle bench: %s\n", why.c_str());
    return 1;
}

struct Key {
    std::string priv, pub, address;
    Hash160 hash{};
};

Key keyOf(char digit) {
    Key k;
    k.priv = std::string(64, digit);
    (void)pubkey_from_priv(k.priv, k.pub);
    k.address = address_from_pubkey(k.pub);
    (void)decode_p2pkh_address(k.address, k.hash);
    return k;
}

// Pays `to` 1 satoshi from a fresh faucet coin, with a data output when `payload` is not empty.
bool pay(devnet::Ledger& ledger, const Key& payer, const Key& to, const std::string& payload, std::string& error) {
    Coin c;
    if (!ledger.fund(payer.address, 100'000, c.txid, error)) return false;
    c.sats = 100'000;
    c.locking = p2pkh_script(payer.hash);
    c.owner = payer.hash;
    std::vector<Coin> coins{c};
    std::vector<TxOutput> requested{{1, p2pkh_script(to.hash)}}, outputs;
    if (!payload.empty()) requested.push_back({0, data_output_script(payload)});
    int64_t fee = 0;
    if (!build_tx(coins, outputs, payer.hash, requested, fee, error, 1, 1) ||
        !sign_input(coins[0], coins, outputs, payer.hash, payer.priv, payer.pub, error))
        return false;
    devnet::SubmitResult r = ledger.submit(serialize_tx(coins, outputs, false));
    error = r.reason;
    return r.accepted;
}

std::atomic<int> gPayloads{0};
void countPayload(const std::string&, const std::string&) { ++gPayloads; }

struct Window {
    double wall = 0, threadCpu = 0, processCpu = 0;
    size_t requests = 0;
    uint64_t connections = 0;
    int cycles = 0;
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.starts_with("--seconds=")) seconds = std::atof(arg.c_str() + 10);
        else return fail("usage: dialo_idle_bench [--seconds=S]");
    }
    if (seconds < 1) return fail("--seconds must be at least 1");
    std::signal(SIGPIPE, SIG_IGN);
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return fail("libcurl did not initialise");
    const long rssBare = residentKb();

    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("dialo-idle-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    devnet::Devnet net;
    devnet::DevnetOptions o;
    o.dataDir = (root / "devnet").string();
    o.servicePort = o.directoryPort = 0;
    o.blockIntervalSeconds = 0;
    o.caExportPath = (root / "devnet-ca.pem").string();
    std::string error;
    if (!net.start(o, error)) return fail(error);
    applyConfigDocument(json{{"network", net.networkJson()}});

    // A phone that has been in use: a few events and payments, most of them confirmed.
    const Key phone = keyOf('4'), payer = keyOf('1');
    int events = 0;
    for (int i = 0; i < 8; ++i) {
        const bool event = i % 2 == 0;
        const std::string payload =
            event ? R"({"enc_v":4,"pmessage1":")" + std::string(400, 'a') + R"(","protocol":"OV-Dialo","type":"dl"})" : "";
        if (!pay(net.ledger(), payer, phone, payload, error)) return fail("seeding: " + error);
        events += event;
        devnet::BlockInfo block;
        if (i == 5 && !net.ledger().mine(block, error)) return fail(error);
    }
    setPayloadHandler(countPayload);
    lockPhone().state.ownPayAddress = phone.address;
    const long rssReady = residentKb();

    std::printf("idle phone on an in-process devnet for %g s: oracle poll every %u ms plus the request, unconfirmed "
                "history every %dth cycle, backfill each cycle\n",
                seconds, kIdleSleepMs, kUnconfirmedEvery);
    std::printf("address %s holds %d transactions (%d events)\n", phone.address.c_str(), 8, events);
    std::fflush(stdout);

    // The first cycles read what the address already holds; the rest is the steady idle cost.
    Window first, steady;
    std::thread poller([&] {
        auto mark = [](Window& w) {
            w.wall = wallMs();
            w.threadCpu = threadCpuMs();
            w.processCpu = processCpuMs();
            w.requests = 0;
            w.connections = phoneConnectionsOpened();
        };
        auto close = [&](Window& w, size_t requestsBefore) {
            w.wall = wallMs() - w.wall;
            w.threadCpu = threadCpuMs() - w.threadCpu;
            w.processCpu = processCpuMs() - w.processCpu;
            w.requests = net.requestCount("service") - requestsBefore;
            w.connections = phoneConnectionsOpened() - w.connections;
        };
        const double end = wallMs() + seconds * 1000;
        size_t requests = net.requestCount("service");
        mark(first);
        scanConfirmedHistory(phone.address);  // once, as after the store loads
        int cycle = 0;
        while (wallMs() < end) {
            const std::string address = lockPhone().state.ownPayAddress;
            pollOracle(address);
            if (++cycle % kUnconfirmedEvery == 0) scanUnconfirmedHistory(address);
            drainBackfill();
            if (cycle == kWarmCycles) {
                close(first, requests);
                first.cycles = cycle;
                requests = net.requestCount("service");
                mark(steady);
            } else {
                ++steady.cycles;
            }
            sleepMs(kIdleSleepMs);
        }
        close(steady, requests);
    });
    poller.join();
    const long rssEnd = residentKb();
    releasePhoneConnections();
    net.stop();
    curl_global_cleanup();
    std::filesystem::remove_all(root);

    auto report = [](const char* name, const Window& w) {
        const double s = w.wall / 1000;
        std::printf("%-8s %5d cycles in %7.2f s: %6.2f requests/s (%zu), %5.3f new connections/s (%llu), polling "
                    "thread CPU %5.2f %% (%.1f ms), whole process CPU %5.2f %%\n",
                    name, w.cycles, s, s > 0 ? double(w.requests) / s : 0.0, w.requests,
                    s > 0 ? double(w.connections) / s : 0.0, static_cast<unsigned long long>(w.connections),
                    w.wall > 0 ? 100 * w.threadCpu / w.wall : 0.0, w.threadCpu,
                    w.wall > 0 ? 100 * w.processCpu / w.wall : 0.0);
    };
    report("warm-up", first);
    report("steady", steady);
    std::printf("payloads handed on: %d of %d events\n", gPayloads.load(), events);
    std::printf("resident memory (VmRSS): %ld kB at start, %ld kB with the devnet up and seeded, %ld kB at the end\n",
                rssBare, rssReady, rssEnd);
    std::printf("  the process also runs the devnet (three HTTPS servers with their thread pools, the ledger), so\n"
                "  these figures and the whole-process CPU overstate a phone; the growth while polling was %ld kB\n",
                rssEnd - rssReady);
    return 0;
}

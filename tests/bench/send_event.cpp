// The cost of one call event: sendEvent of an invite, from the JSON object to a transaction the
// network accepted, against a devnet run in-process on free loopback ports. Prints the median
// and 95th percentile wall time over N sends and the CPU time of each step, timed apart: signing
// the event, sealing it, building and signing a transaction of the same shape, and what is left
// of the wall time (the broadcast and the coin bookkeeping). Informational only.
//
//   dialo_send_bench [--sends=100]

#include <curl/curl.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "call/event.h"
#include "call/send.h"
#include "state/phone_state.h"
#include "tests/bench/bench_wallet.h"
#include "vaultra/envelope.h"
#include "vaultra/identity.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/transaction.h"

namespace {

using nlohmann::json;
using namespace dialo;

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}
double wallMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}
int fail(const std::string& why) {
    std::fprintf(stderr, "send bench: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int sends = 100;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.starts_with("--sends=")) sends = std::atoi(arg.c_str() + 8);
        else return fail("usage: dialo_send_bench [--sends=N]");
    }
    if (sends < 1) return fail("--sends must be above 0");
    std::signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_ALL);

    const std::string root = (std::filesystem::temp_directory_path() / ("dialo-send-bench-" + std::to_string(getpid())));
    std::filesystem::remove_all(root);
    setenv("LOCALAPPDATA", root.c_str(), 1);
    devnet::Devnet net;
    std::string error, address;
    if (!bench::startDevnet(net, root, error)) return fail(error);
    applyConfigDocument(json{{"network", net.networkJson()}});
    if (!bench::makeWallet(root, net, "alice", address, error)) return fail(error);
    // One confirmed coin, split into many small ones and confirmed, as a phone prepares a call.
    if (!bench::fundAndSplit(net, address, error)) return fail(error);

    const std::string bobPriv(64, '7');
    std::string bobPub;
    if (!pubkey_from_priv(bobPriv, bobPub)) return fail("no peer key");
    const std::string bobAddress = address_from_pubkey(bobPub);
    {
        auto g = lockPhone();
        g.state.ownHandle = "alice";
        g.state.ownPayAddress = address;
    }
    const Peer bob{"bob", bobAddress, bobPub};

    std::vector<double> wall, cpu;
    json warm = buildEvent(kInvite, "0123456789abcdef");
    if (!sendEvent(bob, warm, kSignalRate, true)) return fail("first send: " + lockPhone().state.statusText);
    for (int i = 0; i < sends; ++i) {
        json e = buildEvent(kInvite, "0123456789abcdef");
        const double w0 = wallMs(), c0 = threadCpuMs();
        if (!sendEvent(bob, e, kSignalRate, true)) return fail("send: " + lockPhone().state.statusText);
        wall.push_back(wallMs() - w0);
        cpu.push_back(threadCpuMs() - c0);
    }

    // The steps apart, each on this thread's CPU clock.
    std::vector<double> signMs, sealMs, txMs;
    for (int i = 0; i < sends; ++i) {
        json e = buildEvent(kInvite, "0123456789abcdef");
        e.update({{"protocol", "OV-Dialo"}, {"type", "dl"}, {"location", "dialo"}, {"handle", "alice"}, {"pay", address}});
        double c0 = threadCpuMs();
        if (!build_protocol_message(e, error)) return fail(error);
        signMs.push_back(threadCpuMs() - c0);
        json outer = buildEnvelope(nowSeconds());
        c0 = threadCpuMs();
        if (!seal(compactText(e), bobPub, outer, error)) return fail(error);
        sealMs.push_back(threadCpuMs() - c0);

        const std::string payload = compactText(outer);
        const std::string coinKey(64, '5');
        std::string coinPub;
        Hash160 owner{}, bobHash{};
        if (!pubkey_from_priv(coinKey, coinPub) || !decode_p2pkh_address(address_from_pubkey(coinPub), owner) ||
            !decode_p2pkh_address(bobAddress, bobHash))
            return fail("keys");
        Coin c;
        c.txid = std::string(64, 'a');
        c.sats = 200;
        c.locking = p2pkh_script(owner);
        c.owner = owner;
        std::vector<Coin> coins{c};
        std::vector<TxOutput> outputs;
        int64_t fee = 0;
        c0 = threadCpuMs();
        const std::vector<TxOutput> requested{{1, p2pkh_script(bobHash)}, {1, p2pkh_script(bobHash)},
                                              {0, data_output_script(payload)}};
        if (!build_tx(coins, outputs, owner, requested, fee, error, 1, 1) ||
            !sign_input(coins[0], coins, outputs, owner, coinKey, coinPub, error))
            return fail(error);
        const Bytes raw = serialize_tx(coins, outputs, false);
        txMs.push_back(threadCpuMs() - c0);
        (void)raw;
    }

    const double medWall = percentile(wall, 0.5), sign = percentile(signMs, 0.5), sealed = percentile(sealMs, 0.5),
                 tx = percentile(txMs, 0.5);
    std::printf("sendEvent of an invite, %d sends on an in-process devnet:\n", sends);
    std::printf("  wall: median %.2f ms, p95 %.2f ms; CPU of the sending thread: median %.2f ms\n", medWall,
                percentile(wall, 0.95), percentile(cpu, 0.5));
    std::printf("  sign the event       %.3f ms CPU (canonical text, identity signature, self-check)\n", sign);
    std::printf("  seal                 %.3f ms CPU\n", sealed);
    std::printf("  build and sign tx    %.3f ms CPU\n", tx);
    std::printf("  broadcast and rest   %.2f ms wall (median wall less the three above)\n",
                medWall - sign - sealed - tx);
    net.stop();
    std::filesystem::remove_all(root);
    curl_global_cleanup();
    return 0;
}

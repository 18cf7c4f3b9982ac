// Load on the devnet's oracle listing, the endpoint every phone polls. A devnet runs in-process on
// free ports over a temporary folder, one address gets 30 payments, then many clients poll that
// address's listing on a fixed schedule, each over one kept-alive libcurl handle as a phone's
// poller would. Prints request and error counts, the achieved rate and latency percentiles.
// Informational only: nothing here fails on a time.
//
//   dialo_oracle_load [--clients=50] [--rate=10] [--seconds=30] [--stagger]
//
// --stagger spreads the clients' first requests across one period instead of sending them
// all at once, as independent phones would.

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/config.h"
#include "tools/devnet/ledger.h"
#include "tools/devnet/service.h"
#include "wallet/coin.h"
#include "wallet/curl_handles.h"
#include "wallet/encoding.h"
#include "wallet/http.h"
#include "wallet/keys.h"
#include "wallet/transaction.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using dialo::Bytes;
using dialo::Coin;
using dialo::Hash160;
using dialo::TxOutput;

constexpr size_t kListLimit = 20;
constexpr int kPayments = 30;
constexpr int kConfirmedPayments = 20;  // the rest stay in the mempool, as a busy phone's would
constexpr int64_t kPayerFunds = 1'000'000;  // satoshis per payer
constexpr size_t kErrorSamples = 5;

using Easy = dialo::CurlEasy;
using List = dialo::CurlList;

struct CurlGlobal {
    bool ok = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
    ~CurlGlobal() {
        if (ok) curl_global_cleanup();
    }
};

// The devnet's data lives only as long as the run.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "dialo-oracle-load-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

struct Options {
    int clients = 50;
    double rate = 10;  // requests per second per client
    double seconds = 30;
    bool stagger = false;
};

bool parseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&a](const char* name, double& out) {
            std::string prefix = std::string(name) + "=";
            if (a.rfind(prefix, 0) != 0) return false;
            char* end = nullptr;
            out = std::strtod(a.c_str() + prefix.size(), &end);
            return end && *end == '\0' && out > 0;
        };
        double v = 0;
        if (value("--clients", v) && v == int(v) && v <= 10000) o.clients = int(v);
        else if (value("--rate", v) && v <= 1000) o.rate = v;
        else if (value("--seconds", v) && v <= 86400) o.seconds = v;
        else if (a == "--stagger") o.stagger = true;
        else return false;
    }
    return true;
}

size_t collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// A well-formed listing: an object whose "txids" holds at most `limit` transaction ids.
bool validListing(const std::string& body, size_t limit, size_t* count = nullptr) {
    json j = json::parse(body, nullptr, false);
    if (!j.is_object()) return false;
    auto it = j.find("txids");
    if (it == j.end() || !it->is_array() || it->size() > limit) return false;
    for (const json& t : *it)
        if (!t.is_string() || !dialo::is_hex64(t.get_ref<const std::string&>())) return false;
    if (count) *count = it->size();
    return true;
}

struct Key {
    std::string priv, pub, address;
    Hash160 hash{};
};

Key keyOf(char digit) {
    Key k;
    k.priv = std::string(64, digit);
    (void)dialo::pubkey_from_priv(k.priv, k.pub);
    k.address = dialo::address_from_pubkey(k.pub);
    (void)dialo::decode_p2pkh_address(k.address, k.hash);
    return k;
}

// Funds three payers from the faucet and has them pay `target` kPayments times, each spending
// its own previous change; the first kConfirmedPayments are mined, the rest wait in the mempool.
bool seedLedger(dialo::devnet::Ledger& ledger, const Key& target, std::string& error) {
    std::vector<Key> payers = {keyOf('1'), keyOf('2'), keyOf('3')};
    std::vector<Coin> coins;
    for (const Key& p : payers) {
        Coin c;
        if (!ledger.fund(p.address, kPayerFunds, c.txid, error)) return false;
        c.sats = kPayerFunds;
        c.locking = dialo::p2pkh_script(p.hash);
        c.owner = p.hash;
        coins.push_back(c);
    }
    dialo::devnet::BlockInfo block;
    if (!ledger.mine(block, error)) return false;

    for (int i = 0; i < kPayments; ++i) {
        const Key& payer = payers[size_t(i) % payers.size()];
        Coin& coin = coins[size_t(i) % payers.size()];
        std::vector<Coin> inputs = {coin};
        std::vector<TxOutput> outputs;
        int64_t fee = 0;
        const std::vector<TxOutput> requested = {{1000 + i, dialo::p2pkh_script(target.hash)}};
        if (!dialo::build_tx(inputs, outputs, payer.hash, requested, fee, error, 1, 1)) return false;
        for (Coin& in : inputs)
            if (!dialo::sign_input(in, inputs, outputs, in.owner, payer.priv, payer.pub, error)) {
                error = "signing failed: " + error;
                return false;
            }
        const Bytes raw = dialo::serialize_tx(inputs, outputs, false);
        dialo::devnet::SubmitResult r = ledger.submit(raw);
        if (!r.accepted) {
            error = "payment " + std::to_string(i) + " refused: " + r.reason;
            return false;
        }
        const Bytes change = dialo::p2pkh_script(payer.hash);
        auto out = std::find_if(outputs.begin(), outputs.end(), [&](const TxOutput& o) { return o.locking == change; });
        if (out == outputs.end()) {
            error = "payment " + std::to_string(i) + " left no change";
            return false;
        }
        coin.txid = r.txid;
        coin.vout = uint32_t(out - outputs.begin());
        coin.sats = out->sats;
        coin.unlocking.clear();
        if (i + 1 == kConfirmedPayments && !ledger.mine(block, error)) return false;
    }
    return true;
}

struct ClientResult {
    std::vector<double> latencyMs;
    std::vector<bool> newConnection;
    int transport = 0, status = 0, body = 0;
    int late = 0;           // due before the previous reply came, so sent on that reply
    double maxLagMs = 0;    // furthest behind schedule a request was sent
    Clock::time_point end;  // when the last reply came in
    std::vector<std::string> samples;
};

void runClient(const std::string& url, const std::string& resolve, const std::string& caPath, Clock::time_point start,
               Clock::duration period, long count, ClientResult& out) {
    out.latencyMs.reserve(size_t(count));
    out.newConnection.reserve(size_t(count));
    auto fail = [&out](int& counter, std::string what) {
        ++counter;
        if (out.samples.size() < kErrorSamples) out.samples.push_back(std::move(what));
    };
    Easy h(curl_easy_init());
    List pins(curl_slist_append(nullptr, resolve.c_str()));
    if (!h || !pins) {
        out.transport = int(count);
        out.samples.push_back("curl init failed");
        out.end = Clock::now();
        return;
    }
    std::string body;
    Clock::time_point previousDone{};
    curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(h.get(), CURLOPT_RESOLVE, pins.get());
    curl_easy_setopt(h.get(), CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
    curl_easy_setopt(h.get(), CURLOPT_CAINFO, caPath.c_str());
    curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h.get(), CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(h.get(), CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(h.get(), CURLOPT_USERAGENT, "dialo-oracle-load");

    for (long i = 0; i < count; ++i) {
        const Clock::time_point due = start + period * i;
        std::this_thread::sleep_until(due);
        body.clear();
        const Clock::time_point sent = Clock::now();
        const double lagMs = std::chrono::duration<double, std::milli>(sent - due).count();
        out.maxLagMs = std::max(out.maxLagMs, lagMs);
        if (i > 0 && previousDone > due) ++out.late;
        const CURLcode rc = curl_easy_perform(h.get());
        const Clock::time_point done = Clock::now();
        previousDone = done;
        out.latencyMs.push_back(std::chrono::duration<double, std::milli>(done - sent).count());
        long connects = 0, code = 0;
        curl_easy_getinfo(h.get(), CURLINFO_NUM_CONNECTS, &connects);
        curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &code);
        out.newConnection.push_back(connects > 0);
        if (rc != CURLE_OK) fail(out.transport, std::string("transport: ") + curl_easy_strerror(rc));
        else if (code != 200) fail(out.status, "HTTP " + std::to_string(code) + ": " + body.substr(0, 120));
        else if (!validListing(body, kListLimit)) fail(out.body, "body: " + body.substr(0, 120));
    }
    out.end = Clock::now();
}

// Nearest-rank percentile of sorted values.
double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t rank = size_t(std::max(1.0, std::ceil(p / 100.0 * double(sorted.size()))));
    return sorted[std::min(rank, sorted.size()) - 1];
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseArgs(argc, argv, opt)) {
        std::fprintf(stderr, "usage: dialo_oracle_load [--clients=N] [--rate=PER_SECOND] [--seconds=S] [--stagger]\n");
        return 2;
    }
    // As dialo-devnet does: an answer written to a dropped connection must not end the run.
    std::signal(SIGPIPE, SIG_IGN);
    CurlGlobal curl;
    TempDir dir;
    if (!curl.ok || dir.path.empty()) {
        std::fprintf(stderr, "oracle load: cannot initialise libcurl or make a temporary folder\n");
        return 1;
    }

    dialo::devnet::DevnetOptions dopt;
    dopt.dataDir = (dir.path / "devnet").string();
    dopt.servicePort = 0;
    dopt.directoryPort = 0;
    dopt.blockIntervalSeconds = 0;
    dopt.caExportPath = (dir.path / "devnet-ca.pem").string();
    dialo::devnet::Devnet devnet;
    std::string error;
    if (!devnet.start(dopt, error)) {
        std::fprintf(stderr, "oracle load: devnet: %s\n", error.c_str());
        return 1;
    }
    const Key target = keyOf('4');
    if (!seedLedger(devnet.ledger(), target, error)) {
        std::fprintf(stderr, "oracle load: seeding the ledger: %s\n", error.c_str());
        return 1;
    }

    const std::string path = "/oi/oracle/dialo/txids?address=" + target.address + "&kind=all&limit=" +
                             std::to_string(kListLimit);
    const std::string port = std::to_string(devnet.servicePort());
    const std::string url = "https://" + dopt.serviceDomain + ":" + port + path;
    const std::string resolve = dopt.serviceDomain + ":" + port + ":127.0.0.1";

    // One request through the phone's own HTTPS layer first, so a broken setup shows as such
    // rather than as thousands of errors.
    dialo::applyConfigDocument(json{{"network", devnet.networkJson()}});
    std::string body;
    size_t listed = 0;
    if (!dialo::fetch_get(dialo::service_url(path), body, error, 5, false) || !validListing(body, kListLimit, &listed) ||
        listed != kListLimit) {
        std::fprintf(stderr, "oracle load: the listing is not as seeded: %s%s\n", error.c_str(), body.substr(0, 200).c_str());
        return 1;
    }

    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / opt.rate));
    const long perClient = std::max(1L, std::lround(opt.rate * opt.seconds));
    std::printf("oracle load: %d clients x %g requests/s for %g s%s, one kept-alive connection each\n", opt.clients,
                opt.rate, opt.seconds, opt.stagger ? " (staggered starts)" : " (all on the same beat)");
    std::printf("endpoint:    %s (%zu of %d payments listed)\n", url.c_str(), listed, kPayments);
    std::fflush(stdout);

    std::vector<ClientResult> results(size_t(opt.clients));
    std::vector<std::thread> threads;
    threads.reserve(results.size());
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(500);
    for (int c = 0; c < opt.clients; ++c) {
        const Clock::time_point mine = opt.stagger ? start + period * c / opt.clients : start;
        threads.emplace_back(runClient, std::cref(url), std::cref(resolve), devnet.caPath(), mine, period, perClient,
                             std::ref(results[size_t(c)]));
    }
    for (std::thread& t : threads) t.join();
    devnet.stop();

    std::vector<double> all, fresh, kept;
    int transport = 0, status = 0, bad = 0, late = 0;
    double maxLag = 0;
    Clock::time_point end = start;
    std::vector<std::string> samples;
    for (const ClientResult& r : results) {
        for (size_t i = 0; i < r.latencyMs.size(); ++i) {
            all.push_back(r.latencyMs[i]);
            (r.newConnection[i] ? fresh : kept).push_back(r.latencyMs[i]);
        }
        transport += r.transport;
        status += r.status;
        bad += r.body;
        late += r.late;
        maxLag = std::max(maxLag, r.maxLagMs);
        end = std::max(end, r.end);
        for (const std::string& s : r.samples)
            if (samples.size() < kErrorSamples) samples.push_back(s);
    }
    std::sort(all.begin(), all.end());
    std::sort(fresh.begin(), fresh.end());
    std::sort(kept.begin(), kept.end());
    const double wall = std::chrono::duration<double>(end - start).count();
    const int errors = transport + status + bad;

    std::printf("\nrequests     %zu\n", all.size());
    std::printf("errors       %d (transport %d, status %d, body %d)\n", errors, transport, status, bad);
    std::printf("achieved     %.1f requests/s over %.2f s\n", wall > 0 ? double(all.size()) / wall : 0.0, wall);
    std::printf("latency ms   p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", percentile(all, 50), percentile(all, 90),
                percentile(all, 99), all.empty() ? 0.0 : all.back());
    std::printf("connections  %zu opened (%.1f requests each)\n", fresh.size(),
                fresh.empty() ? 0.0 : double(all.size()) / double(fresh.size()));
    if (!fresh.empty())
        std::printf("  new        p50 %.2f  p99 %.2f  max %.2f ms\n", percentile(fresh, 50), percentile(fresh, 99),
                    fresh.back());
    if (!kept.empty())
        std::printf("  reused     p50 %.2f  p99 %.2f  max %.2f ms\n", percentile(kept, 50), percentile(kept, 99),
                    kept.back());
    std::printf("schedule     %d due before the previous reply came; furthest behind %.1f ms\n", late, maxLag);
    for (const std::string& s : samples) std::printf("  error: %s\n", s.c_str());
    const bool met = errors == 0 && percentile(all, 99) < 50;
    std::printf("target       p99 under 50 ms with no errors: %s\n", met ? "met" : "not met");
    return 0;
}

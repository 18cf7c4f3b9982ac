#include "call/https_get.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <mutex>

#include "base/clock.h"
#include "base/config.h"
#include "state/phone_state.h"
#include "wallet/curl_handles.h"
#include "wallet/http.h"

namespace dialo {
namespace {

constexpr char kUserAgent[] = "Dialo/0.002";
constexpr size_t kBodyCap = 8u << 20;      // bytes; anything bigger is not a transaction we read
constexpr long kPlatformConnectMs = 800;
constexpr int kPlatformFloorMs = 800;
constexpr int kOtherFloorMs = 1500;
constexpr int kMinBackoffMs = 1000;
constexpr long kMaxRedirects = 5;

struct Sink {
    std::string body;
    bool cut = false;  // the cap was reached and the transfer stopped on purpose
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t n = size * count;
    try {
        const size_t room = kBodyCap - sink->body.size();
        if (n > room) {
            sink->body.append(data, room);
            sink->cut = true;
            return 0;
        }
        sink->body.append(data, n);
        return n;
    } catch (const std::exception&) {  // out of memory: end the transfer, not the process
        return 0;
    }
}

// A host whose connection outlives the request: polling several times a second over a fresh
// TLS session each time would cost more than the requests themselves.
struct KeptHost {
    std::mutex mutex;
    CurlEasy handle;
    HttpsPins pins;   // referenced by the handle
    std::string key;  // the authority, pins and CA bundle the handle was made for
};

KeptHost gPlatform;
KeptHost gWoc;
std::atomic<uint64_t> gConnects{0};

// "https://host[:port]" of a URL, lower-cased; empty when it is not an https URL.
std::string authorityOf(const std::string& url) {
    constexpr std::string_view scheme = "https://";
    if (url.size() <= scheme.size()) return {};
    std::string head = url.substr(0, scheme.size());
    std::transform(head.begin(), head.end(), head.begin(), [](char c) { return char(std::tolower(uint8_t(c))); });
    if (head != scheme) return {};
    size_t end = url.find_first_of("/?#", scheme.size());
    std::string out = url.substr(0, end);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) { return char(std::tolower(uint8_t(c))); });
    return out;
}

std::string listText(const CurlList& list) {
    std::string out;
    for (const curl_slist* l = list.get(); l; l = l->next) {
        out += l->data;
        out += '\n';
    }
    return out;
}

void setCommon(CURL* h, const HttpsPins& pins) {
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    apply_https_policy(h, pins);
}

enum class Outcome { Body, Failed };

// One request on a handle whose common options are set; counts the connections it opened.
Outcome perform(CURL* h, const std::string& url, long connectMs, long totalMs, Sink& sink, long& status) {
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, totalMs);
    const CURLcode rc = curl_easy_perform(h);
    long connects = 0;
    if (curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK && connects > 0)
        gConnects += uint64_t(connects);
    status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && sink.cut)) return Outcome::Body;
    return Outcome::Failed;
}

// On a fresh handle, closed with the request.
Outcome performOnce(const std::string& url, const HttpsPins& pins, long connectMs, long totalMs, Sink& sink,
                    long& status) {
    CurlEasy h(curl_easy_init());
    if (!h) return Outcome::Failed;
    setCommon(h.get(), pins);
    return perform(h.get(), url, connectMs, totalMs, sink, status);
}

// On the kept handle, made (again) when there is none or the configuration moved the host.
// With `wait` false a request that finds the handle busy goes on a fresh one instead.
Outcome performKept(KeptHost& host, bool wait, const std::string& url, std::string key, HttpsPins pins,
                    long connectMs, long totalMs, Sink& sink, long& status) {
    std::unique_lock lock(host.mutex, std::defer_lock);
    if (wait) lock.lock();
    else if (!lock.try_lock()) return performOnce(url, pins, connectMs, totalMs, sink, status);
    if (host.handle && host.key != key) host.handle.reset();
    if (!host.handle) {
        host.handle.reset(curl_easy_init());
        if (!host.handle) return Outcome::Failed;
        host.pins = std::move(pins);
        host.key = std::move(key);
        setCommon(host.handle.get(), host.pins);
        curl_easy_setopt(host.handle.get(), CURLOPT_TCP_KEEPALIVE, 1L);
    }
    Outcome out = perform(host.handle.get(), url, connectMs, totalMs, sink, status);
    // A connection that failed mid-request is not trusted again; nor is its TLS session.
    if (out == Outcome::Failed) {
        host.handle.reset();
        host.pins = {};
        host.key.clear();
    }
    return out;
}

}  // namespace

std::string httpsGet(const std::string& url, int timeoutMs, std::atomic<uint64_t>* backoff, int backoffMs) {
    try {
        const std::string authority = authorityOf(url);
        if (authority.empty()) return {};
        const NetworkConfig net = networkConfig();
        const bool platform = authority == authorityOf(service_url("/"));
        const bool woc = !platform && authority == authorityOf(net.wocBase);

        Sink sink;
        long status = 0;
        Outcome out;
        if (platform || woc) {
            const long totalMs = platform ? std::max(timeoutMs, kPlatformFloorMs) : std::max(timeoutMs, kOtherFloorMs);
            const long connectMs = platform ? kPlatformConnectMs : totalMs;
            HttpsPins pins = https_pins(url);
            std::string key = authority + "\n" + listText(pins.resolve) + listText(pins.connectTo) + caFilePath();
            // Platform requests queue behind each other; WhatsOnChain's run side by side, so a
            // 20-second raw read on the fetch worker never holds up the background loop.
            out = performKept(platform ? gPlatform : gWoc, platform, url, std::move(key), std::move(pins), connectMs,
                              totalMs, sink, status);
        } else {
            const long ms = std::max(timeoutMs, kOtherFloorMs);
            out = performOnce(url, https_pins(url), ms, ms, sink, status);
        }
        if (out == Outcome::Failed) return {};
        if (status == 429 || status == 503) {
            std::atomic<uint64_t>& deadline = backoff ? *backoff : phoneFlags().wocBackoffUntil;
            deadline = nowMs() + uint64_t(std::max(backoffMs, kMinBackoffMs));
            return {};
        }
        return std::move(sink.body);
    } catch (const std::exception&) {
        return {};
    }
}

uint64_t phoneConnectionsOpened() { return gConnects.load(); }

void releasePhoneConnections() {
    for (KeptHost* host : {&gPlatform, &gWoc}) {
        std::lock_guard lock(host->mutex);
        host->handle.reset();
        host->pins = {};
        host->key.clear();
    }
}

}  // namespace dialo

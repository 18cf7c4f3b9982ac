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

constexpr size_t kBodyCap = 8u << 20;  // bytes; anything bigger is not a transaction we read
constexpr long kPlatformConnectMs = 800;
constexpr int kPlatformFloorMs = 800;
constexpr int kOtherFloorMs = 1500;
constexpr int kMinBackoffMs = 1000;

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
KeptHost gPush;  // the held push listing's, apart from gPlatform
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

// A longer answer is cut, and read as far as it goes.
GetSetup phoneGet(long connectMs, long totalMs) {
    return {.connectMs = connectMs, .timeoutMs = totalMs, .bodyCap = kBodyCap, .cutAtCap = true};
}

// On the kept handle, made (again) when there is none or the configuration moved the host.
// With `wait` false a request that finds the handle busy goes on a fresh one instead.
GetReply performKept(KeptHost& host, bool wait, const std::string& url, std::string key, HttpsPins pins,
                     const GetSetup& setup) {
    std::unique_lock lock(host.mutex, std::defer_lock);
    if (wait) lock.lock();
    else if (!lock.try_lock()) return https_get(url, setup);
    if (host.handle && host.key != key) host.handle.reset();
    if (!host.handle) {
        host.handle.reset(curl_easy_init());
        if (!host.handle) return {};
        host.pins = std::move(pins);
        host.key = std::move(key);
        GetSetup kept = setup;
        kept.keepAlive = true;
        setup_get(host.handle.get(), kept, host.pins);
    }
    GetReply reply = perform_get(host.handle.get(), url, setup);
    // A connection that failed mid-request is not trusted again; nor is its TLS session.
    if (reply.status < 0) {
        host.handle.reset();
        host.pins = {};
        host.key.clear();
    }
    return reply;
}

// Back-off deadline for a 429 or 503: the answer's Retry-After when it asks longer.
void backOff(std::atomic<uint64_t>& deadline, int backoffMs, long retryAfterSeconds) {
    const uint64_t ms = std::max<uint64_t>(uint64_t(std::max(backoffMs, kMinBackoffMs)),
                                           uint64_t(std::clamp<long>(retryAfterSeconds, 0, 3600)) * 1000);
    deadline = nowMs() + ms;
}

struct LongWait {
    const std::function<bool()>* abandon;
};

// libcurl calls this about once a second while an answer is held, and more often as data flows.
int longWaitProgress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* wait = static_cast<const LongWait*>(data);
    if (!phoneFlags().running) return 1;
    return (wait && *wait->abandon && (*wait->abandon)() && (*wait->abandon)()) ? 1 : 0;
}

}  // namespace

std::string httpsGetLong(const std::string& url, int timeoutMs, std::atomic<uint64_t>& backoff, int backoffMs,
                         const std::function<bool()>& abandon, long* status) {
    if (status) *status = -1;
    try {
        const std::string authority = authorityOf(url);
        if (authority.empty() || authority != authorityOf(service_url("/"))) return {};
        HttpsPins pins = https_pins(url);
        std::string key = authority + "\n" + listText(pins.resolve) + listText(pins.connectTo) + listText(pins.headers) + caFilePath();
        const long totalMs = std::max(timeoutMs, kPlatformFloorMs);
        LongWait wait{&abandon};
        GetReply reply;
        {
            std::lock_guard lock(gPush.mutex);
            if (gPush.handle && gPush.key != key) gPush.handle.reset();
            if (!gPush.handle) {
                gPush.handle.reset(curl_easy_init());
                if (!gPush.handle) return {};
                gPush.pins = std::move(pins);
                gPush.key = std::move(key);
                GetSetup kept = phoneGet(kPlatformConnectMs, totalMs);
                kept.keepAlive = true;
                setup_get(gPush.handle.get(), kept, gPush.pins);
                curl_easy_setopt(gPush.handle.get(), CURLOPT_NOPROGRESS, 0L);
                curl_easy_setopt(gPush.handle.get(), CURLOPT_XFERINFOFUNCTION, longWaitProgress);
            }
            curl_easy_setopt(gPush.handle.get(), CURLOPT_XFERINFODATA, &wait);
            reply = perform_get(gPush.handle.get(), url, phoneGet(kPlatformConnectMs, totalMs));
            curl_easy_setopt(gPush.handle.get(), CURLOPT_XFERINFODATA, nullptr);
            if (reply.status < 0) {
                gPush.handle.reset();
                gPush.pins = {};
                gPush.key.clear();
            }
        }
        if (reply.connects > 0) gConnects += uint64_t(reply.connects);
        if (status) *status = reply.status;
        if (reply.status < 0) return {};
        if (reply.status == 429 || reply.status == 503) {
            backOff(backoff, backoffMs, reply.retryAfter);
            return {};
        }
        return std::move(reply.body);
    } catch (const std::exception&) {
        return {};
    }
}

std::string httpsGet(const std::string& url, int timeoutMs, std::atomic<uint64_t>* backoff, int backoffMs) {
    try {
        const std::string authority = authorityOf(url);
        if (authority.empty()) return {};
        const NetworkConfig net = networkConfig();
        const bool platform = authority == authorityOf(service_url("/"));
        const bool woc = !platform && authority == authorityOf(net.wocBase);

        GetReply reply;
        if (platform || woc) {
            const long totalMs = platform ? std::max(timeoutMs, kPlatformFloorMs) : std::max(timeoutMs, kOtherFloorMs);
            const long connectMs = platform ? kPlatformConnectMs : totalMs;
            HttpsPins pins = https_pins(url);
            std::string key = authority + "\n" + listText(pins.resolve) + listText(pins.connectTo) + listText(pins.headers) + caFilePath();
            // Platform requests queue behind each other; WhatsOnChain's run side by side, so a
            // 20-second raw read on the fetch worker never holds up the background loop.
            reply = performKept(platform ? gPlatform : gWoc, platform, url, std::move(key), std::move(pins),
                                phoneGet(connectMs, totalMs));
        } else {
            const long ms = std::max(timeoutMs, kOtherFloorMs);
            reply = https_get(url, phoneGet(ms, ms));
        }
        if (reply.connects > 0) gConnects += uint64_t(reply.connects);
        if (reply.status < 0) return {};
        if (reply.status == 429 || reply.status == 503) {
            backOff(backoff ? *backoff : phoneFlags().wocBackoffUntil, backoffMs, reply.retryAfter);
            return {};
        }
        return std::move(reply.body);
    } catch (const std::exception&) {
        return {};
    }
}

uint64_t phoneConnectionsOpened() { return gConnects.load(); }

void releasePhoneConnections() {
    for (KeptHost* host : {&gPlatform, &gWoc, &gPush}) {
        std::lock_guard lock(host->mutex);
        host->handle.reset();
        host->pins = {};
        host->key.clear();
    }
}

}  // namespace dialo

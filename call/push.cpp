#include "call/push.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "call/https_get.h"
#include "call/poller.h"
#include "state/phone_state.h"
#include "wallet/http.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr int kLongestWaitSeconds = 25;  // whatever the platform allows: proxies cut longer ones
constexpr int kWaitSlackMs = 5000;       // beyond the wait, for the answer to come back
constexpr int kQuickTimeoutMs = 2500;    // capabilities and the first listing
constexpr uint64_t kCapabilitiesAgainMs = 5 * 60 * 1000;
constexpr uint64_t kRetryFirstMs = 1000;
constexpr uint64_t kRetryMostMs = 30000;
constexpr uint32_t kSliceMs = 100;  // how soon a pause notices a stop or a restart
constexpr uint64_t kUnreadAgainMs = 250;  // as a poll would come back for what a listing left unread
constexpr uint64_t kEarlyAnswerMs = 1000;  // a wait answered sooner with nothing new...
constexpr uint64_t kEarlyPauseMs = 1000;   // ...is not asked again at once

std::atomic<bool> gActive{false};
std::atomic<uint64_t> gDeliveries{0};
std::atomic<uint64_t> gGeneration{0};
std::atomic<uint64_t> gBackoffUntil{0};  // monotonic ms; a 429 or 503 on a push request

bool running() { return phoneFlags().running.load(); }

// Where push listens now: the platform and the own address; empty while it cannot.
std::string listenKey(std::string& address) {
    const NetworkConfig net = networkConfig();
    address = lockPhoneBrief().state.ownPayAddress;
    if (!net.push || address.empty()) return {};
    return service_url("/") + "\n" + address;
}

// Sleeps up to `ms` in slices; false as soon as the phone stops or push must start over.
bool pause(uint64_t ms, uint64_t generation, const std::string& key) {
    for (uint64_t slept = 0; slept < ms; slept += kSliceMs) {
        if (!running() || gGeneration.load() != generation) return false;
        std::string address;
        if (listenKey(address) != key) return false;
        sleepMs(uint32_t(std::min<uint64_t>(kSliceMs, ms - slept)));
    }
    return running();
}

// The longest wait the platform offers, capped; 0 when it offers no push this phone speaks.
int offeredWait(const std::string& body) {
    const json doc = json::parse(body, nullptr, false);
    if (!doc.is_object()) return 0;
    auto push = doc.find("push");
    if (push == doc.end() || !push->is_object()) return 0;
    auto kind = push->find("kind");
    auto path = push->find("path");
    auto most = push->find("max_wait_seconds");
    if (kind == push->end() || !kind->is_string() || *kind != "long-poll") return 0;
    if (path == push->end() || !path->is_string() || *path != "/oi/oracle/dialo/txids") return 0;
    if (most == push->end() || !most->is_number_integer() || most->get<int64_t>() < 1) return 0;
    return int(std::min<int64_t>(most->get<int64_t>(), kLongestWaitSeconds));
}

struct Worker {
    std::string key;        // what the state below was learnt for
    uint64_t generation = 0;
    int wait = 0;           // seconds; 0: not offered (or not asked yet)
    uint64_t askedMs = 0;   // when capabilities were last asked; 0: never for this key
    std::string cursor;     // empty: the next listing is a first one, without a wait
    uint64_t retryMs = kRetryFirstMs;
    // Whether a first listing may bring push up: at the start, so that polling stops at once,
    // but after a failure only a held listing answered proves push works again.
    bool proven = true;
    // The last listing left txids unread (more than four, or a read that failed and is held
    // back for a moment): the next one does not wait for a new arrival.
    bool unread = false;

    void startOver(std::string newKey) {
        gActive = false;
        key = std::move(newKey);
        generation = gGeneration.load();
        wait = 0;
        askedMs = 0;
        cursor.clear();
        retryMs = kRetryFirstMs;
        proven = true;
        unread = false;
    }

    // After a failure: polling takes over at once, push is tried again after a growing pause.
    void failed() {
        gActive = false;
        proven = false;
        cursor.clear();
        const uint64_t now = nowMs(), until = gBackoffUntil.load();
        const uint64_t ms = std::max(retryMs, until > now ? until - now : 0);
        retryMs = std::min(retryMs * 2, kRetryMostMs);
        (void)pause(ms, generation, key);
    }

    void askCapabilities() {
        if (askedMs != 0 && nowMs() - askedMs < kCapabilitiesAgainMs) {
            (void)pause(kSliceMs, generation, key);
            return;
        }
        askedMs = nowMs();
        if (gBackoffUntil.load() > nowMs()) {
            askedMs = 0;
            failed();
            return;
        }
        long status = -1;
        const std::string body = httpsGetLong(service_url("/oi/capabilities"), kQuickTimeoutMs, gBackoffUntil,
                                              int(retryMs), [] { return false; }, &status);
        if (status == 200) wait = offeredWait(body);
        // Absent (an older platform's 404, or no push named): asked again in five minutes.
        // Unanswered: sooner, with the usual back-off.
        if (status != 200 && status != 404) {
            askedMs = 0;
            failed();
        }
    }

    void listen(const std::string& address) {
        if (gBackoffUntil.load() > nowMs()) return failed();
        const bool first = cursor.empty();
        if (unread && !pause(kUnreadAgainMs, generation, key)) return;
        const bool quick = first || unread;
        const std::string extra =
            quick ? std::string() : "&wait=" + std::to_string(wait) + "&after=" + url_path_segment(cursor);
        const uint64_t askedAt = nowMs();
        const uint64_t held = generation;
        long status = -1;
        const std::string body =
            httpsGetLong(oracleListingUrl(address, extra), quick ? kQuickTimeoutMs : wait * 1000 + kWaitSlackMs,
                         gBackoffUntil, int(retryMs), [held] { return gGeneration.load() != held; }, &status);
        if (gGeneration.load() != held) return;  // ended for a restart, not a failure
        std::string next;
        size_t fetched = 0;
        bool left = false;
        const ListingResult read =
            status == 200 ? readOracleListing(body, &next, &fetched, &left) : ListingResult::Unusable;
        if (read != ListingResult::Read || next.empty()) return failed();
        const bool early = !quick && !left && fetched == 0 && next == cursor && nowMs() - askedAt < kEarlyAnswerMs;
        unread = left;
        cursor = std::move(next);
        if (!first) {
            retryMs = kRetryFirstMs;
            proven = true;
        }
        gActive = proven;
        if (fetched > 0) ++gDeliveries;
        if (early) (void)pause(kEarlyPauseMs, generation, key);
    }

    void step() {
        std::string address;
        std::string now = listenKey(address);
        if (now != key || gGeneration.load() != generation) startOver(std::move(now));
        if (key.empty()) {
            (void)pause(kSliceMs, generation, key);
            return;
        }
        if (wait == 0) askCapabilities();
        else listen(address);
    }
};

}  // namespace

void pushWorker() {
    Worker worker;
    while (running()) {
        try {
            worker.step();
        } catch (const std::exception&) {
            gActive = false;
            sleepMs(kSliceMs);
        }
    }
    gActive = false;
}

bool pushActive() { return gActive.load(); }

uint64_t pushDeliveries() { return gDeliveries.load(); }

void pushRestart() {
    gActive = false;
    ++gGeneration;
}

void resetPush() {
    gActive = false;
    gBackoffUntil = 0;
    ++gGeneration;
}

}  // namespace dialo

#include "call/poller.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/bytes.h"
#include "base/clock.h"
#include "base/config.h"
#include "call/event.h"
#include "call/https_get.h"
#include "state/phone_state.h"
#include "wallet/http.h"
#include "wallet/transaction.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr size_t kFetchesPerPoll = 4;
constexpr size_t kBackfillCap = 80;
constexpr uint64_t kRawCountCap = 10000;
constexpr size_t kMinRawDigits = 20;
constexpr size_t kRetryPruneAt = 4096;  // entries before expired holds are swept
constexpr size_t kMissedCap = 64;       // unread txids remembered through a call
constexpr uint64_t kListingLimit = 20;  // payments a listing shows
constexpr uint64_t kDeepListingMax = 1000;
// In a call both sides' events and the phone's own change pay the address: a few payments a
// second. After this long (ms) without a listing, the next one reaches back one payment per
// kMsPerPayment of the wait, so nothing paid meanwhile is out of its sight.
constexpr uint64_t kDeepAfterMs = 2000;
constexpr uint64_t kMsPerPayment = 200;

// Time-outs and back-offs, milliseconds.
constexpr int kListingTimeout = 2500;
constexpr int kOracleBackoff = 2000;
constexpr uint64_t kOracleErrorPause = 30000;
constexpr int kPlatformTxTimeout = 2500;
constexpr int kWocTxTimeout = 3000;
constexpr int kRawTimeout = 20000;
constexpr int kUnconfirmedTimeout = 2500;
constexpr int kUnconfirmedBackoff = 2000;
constexpr int kHistoryTimeout = 8000;
constexpr int kWocBackoff = 8000;
constexpr uint64_t kInCallRetry = 400;    // the next fast poll brings it back
constexpr uint64_t kWocJsonRetry = 3000;
constexpr uint64_t kRawRetry = 4000;
constexpr uint64_t kNoScriptsRetry = 8000;

// The fetch-queue mutex guards the three below. Never taken together with the phone-state mutex.
std::mutex gFetchMutex;
std::deque<std::string> gQueue;
std::set<std::string> gQueued;
std::map<std::string, uint64_t> gRetryNotBefore;
// Txids a listing showed mid-call that are not read yet (their read failed, or more were
// listed than one poll reads), oldest first. The listing shows only the last payments and the
// phone's own change lands on the same address, so in a call a txid falls out of it within
// seconds; these are read until they are read or the call ends.
std::deque<std::string> gMissed;

std::atomic<PayloadHandler> gHandler{nullptr};
std::atomic<uint64_t> gLastListingMs{0};  // monotonic ms of the last listing read; 0: none yet

bool isTxid(const std::string& txid) { return is_hex64(txid); }

bool heldLocked(const std::string& txid, uint64_t now) {
    auto it = gRetryNotBefore.find(txid);
    return it != gRetryNotBefore.end() && it->second > now;
}

bool held(const std::string& txid) {
    std::lock_guard lock(gFetchMutex);
    return heldLocked(txid, nowMs());
}

void hold(const std::string& txid, uint64_t ms) { holdTxidUntil(txid, nowMs() + ms); }

bool known(const std::string& txid) { return lockPhoneBrief().state.knownTxids.count(txid) > 0; }

bool isNew(const std::string& txid) { return isTxid(txid) && !held(txid) && !known(txid); }

bool inFuture(const std::atomic<uint64_t>& deadline) { return deadline.load() > nowMs(); }

bool idle() { return lockPhoneBrief().state.callState == CallState::Idle; }

bool isCallPayload(const std::string& payload) {
    return payload.size() >= kMinPayload && payload.find(kProtocol) != std::string::npos;
}

void deliver(const std::string& txid, const std::string& payload) {
    PayloadHandler handler = gHandler.load();
    if (!handler) return;
    try {
        handler(txid, payload);
    } catch (...) {  // the dispatcher's failure is its own; polling goes on
    }
}

std::string wocUrl(const std::string& path) { return networkConfig().wocBase + path; }

bool isTxJson(const json& j) { return j.is_object() && j.contains("vout"); }

const std::string* stringAt(const json& obj, const char* key) {
    auto it = obj.find(key);
    return it != obj.end() && it->is_string() ? &it->get_ref<const std::string&>() : nullptr;
}

// WhatsOnChain answers a bare array, or an object whose "result" is one.
const json* historyList(const json& body) {
    if (body.is_array()) return &body;
    if (body.is_object())
        if (auto it = body.find("result"); it != body.end() && it->is_array()) return &*it;
    return nullptr;
}

std::string entryTxid(const json& entry) {
    if (!entry.is_object()) return {};
    const char* key = entry.contains("txid") ? "txid" : "tx_hash";
    const std::string* s = stringAt(entry, key);
    return s ? *s : std::string();
}

// Some output shows its script, so a missing payload means there is none.
bool showsScripts(const json& tx) {
    auto vout = tx.find("vout");
    if (vout == tx.end() || !vout->is_array()) return false;
    for (const json& out : *vout) {
        if (!out.is_object()) continue;
        auto spk = out.find("scriptPubKey");
        if (spk == out.end() || !spk->is_object()) continue;
        const std::string* hex = stringAt(*spk, "hex");
        const std::string* asmText = stringAt(*spk, "asm");
        if ((hex && hex->size() >= 4) || (asmText && asmText->size() >= 2)) return true;
    }
    return false;
}

// The first push of a script's hex as a JSON shows it, read as far as its digits decode.
std::optional<std::string> pushFromScriptHex(std::string_view hex) {
    if (hex.starts_with("006a")) hex.remove_prefix(4);
    Bytes script{0x6a};
    script.reserve(hex.size() / 2 + 1);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = hex_value(hex[i]), lo = hex_value(hex[i + 1]);
        if (hi < 0 || lo < 0) break;
        const uint8_t byte = uint8_t(hi << 4 | lo);
        if (i == 0 && byte == 0x6a) continue;
        script.push_back(byte);
    }
    return payloadFromScript(script);
}

// Remembers a txid listed mid-call and not read yet, or forgets one that was read.
void noteMissed(const std::string& txid, bool missed) {
    std::lock_guard lock(gFetchMutex);
    auto it = std::find(gMissed.begin(), gMissed.end(), txid);
    if (!missed) {
        if (it != gMissed.end()) gMissed.erase(it);
        return;
    }
    if (it != gMissed.end()) return;
    if (gMissed.size() >= kMissedCap) gMissed.pop_front();
    gMissed.push_back(txid);
}

// Reads again, oldest first, the txids missed earlier in this call whose hold has run out;
// idle, the WhatsOnChain fallbacks look for anything still missing instead.
void retryMissed() {
    std::vector<std::string> due;
    const bool inCall = !idle();
    {
        std::lock_guard lock(gFetchMutex);
        if (!inCall) {
            gMissed.clear();
            return;
        }
        const uint64_t now = nowMs();
        for (const std::string& t : gMissed)
            if (!heldLocked(t, now)) due.push_back(t);
    }
    // One read meanwhile by another way (a listing on another thread) is dropped, not counted:
    // a few of those at the front would otherwise take every turn and starve one still missing.
    size_t asked = 0;
    for (const std::string& t : due) {
        if (known(t)) {
            noteMissed(t, false);
            continue;
        }
        if (asked++ == kFetchesPerPoll) break;
        fetchTx(t);
    }
}

void fetchTxUnguarded(const std::string& txid) {
    if (!isTxid(txid) || held(txid)) return;
    {
        auto g = lockPhone();
        if (!g.state.knownTxids.insert(txid)) return;
    }
    PhoneFlags& flags = phoneFlags();
    json tx = json::parse(httpsGet(service_url("/oi/tx/" + txid), kPlatformTxTimeout, &flags.wocBackoffUntil, kWocBackoff),
                          nullptr, false);
    const bool inCall = !idle();
    std::string payload;
    if (isTxJson(tx)) payload = payloadFromTxJson(tx);
    noteMissed(txid, inCall && !isTxJson(tx));

    bool truncated = false, hasData = false;
    if (!isCallPayload(payload)) {
        if (inCall) {
            // WhatsOnChain is too slow to wait for mid-call; the platform is asked again soon.
            hold(txid, kInCallRetry);
            forgetTxid(txid);
            return;
        }
        tx = json::parse(httpsGet(wocUrl("/tx/" + txid), kWocTxTimeout, &flags.wocBackoffUntil, kWocBackoff), nullptr,
                         false);
        if (!isTxJson(tx)) {
            hold(txid, kWocJsonRetry);
            forgetTxid(txid);
            return;
        }
        payload = payloadFromTxJson(tx, &truncated, &hasData);
    }
    if (isCallPayload(payload)) {
        deliver(txid, payload);
        return;
    }
    if (truncated || hasData || payload.find("pmessage1") != std::string::npos ||
        payload.find("dialo") != std::string::npos) {
        (void)enqueueRawFetch(txid);
        return;
    }
    if (showsScripts(tx)) return;  // a plain payment: known for good
    hold(txid, kNoScriptsRetry);
    forgetTxid(txid);
}

std::string listingUrl(const std::string& address, const std::string& extra) {
    const bool inCall = !idle();
    uint64_t limit = kListingLimit;
    if (const uint64_t last = gLastListingMs.load(), now = nowMs(); inCall && last != 0 && now - last >= kDeepAfterMs)
        limit = std::min(kDeepListingMax, kListingLimit + (now - last) / kMsPerPayment);
    return service_url("/oi/oracle/dialo/txids?address=" + url_path_segment(address) +
                       "&kind=all&limit=" + std::to_string(limit) + extra);
}

ListingResult readListingUnguarded(const std::string& body, std::string* cursor, size_t* fetched, bool* unread) {
    if (body.empty()) return ListingResult::Unusable;
    const json listing = json::parse(body, nullptr, false);
    if (listing.is_discarded()) return ListingResult::Unusable;
    if (listing.is_object() && listing.contains("error")) {
        phoneFlags().oracleBackoffUntil = nowMs() + kOracleErrorPause;
        return ListingResult::Error;
    }
    if (!listing.is_object()) return ListingResult::Unusable;
    auto txids = listing.find("txids");
    if (txids == listing.end() || !txids->is_array()) return ListingResult::Unusable;
    if (cursor)
        if (const std::string* c = stringAt(listing, "cursor")) *cursor = *c;
    const bool inCall = !idle();
    gLastListingMs = nowMs();
    // The last four that qualify, found from the back: the same as collecting them all in order.
    // In a call the others are remembered, as the listing may not show them again.
    std::vector<std::string> picked, later;
    for (auto it = txids->rbegin(); it != txids->rend(); ++it) {
        if (!it->is_string() || !isNew(it->get_ref<const std::string&>())) continue;
        if (picked.size() < kFetchesPerPoll) picked.push_back(it->get<std::string>());
        else if (inCall) later.push_back(it->get<std::string>());
        else break;
    }
    // Acted on as they were made: a hang-up before its invite, or a chunk before the one it
    // follows, would be lost. So what an earlier read missed goes first: a pushed listing must
    // not play a chunk past one still waiting for a background cycle, which a slow service can
    // hold up for longer than a gap is waited for.
    if (inCall) retryMissed();
    for (auto it = later.rbegin(); it != later.rend(); ++it) noteMissed(*it, true);
    for (auto it = picked.rbegin(); it != picked.rend(); ++it) fetchTx(*it);
    if (fetched) *fetched = picked.size();
    if (unread)
        *unread = std::any_of(txids->begin(), txids->end(), [](const json& t) {
            return t.is_string() && isTxid(t.get_ref<const std::string&>()) && !known(t.get_ref<const std::string&>());
        });
    return ListingResult::Read;
}

void pollOracleUnguarded(const std::string& address) {
    PhoneFlags& flags = phoneFlags();
    if (address.empty() || inFuture(flags.oracleBackoffUntil)) return;
    (void)readListingUnguarded(httpsGet(listingUrl(address, {}), kListingTimeout, &flags.oracleBackoffUntil, kOracleBackoff),
                               nullptr, nullptr, nullptr);
}

void scanUnconfirmedUnguarded(const std::string& address) {
    PhoneFlags& flags = phoneFlags();
    if (address.empty() || inFuture(flags.unconfirmedBackoffUntil)) return;
    const json body = json::parse(httpsGet(wocUrl("/address/" + url_path_segment(address) + "/unconfirmed/history"),
                                           kUnconfirmedTimeout, &flags.unconfirmedBackoffUntil, kUnconfirmedBackoff),
                                  nullptr, false);
    const json* list = historyList(body);
    if (!list) return;
    std::string first, last;
    for (const json& entry : *list)
        if (std::string t = entryTxid(entry); isNew(t)) {
            first = std::move(t);
            break;
        }
    if (first.empty()) return;
    for (auto it = list->rbegin(); it != list->rend(); ++it)
        if (std::string t = entryTxid(*it); isNew(t)) {
            last = std::move(t);
            break;
        }
    fetchTx(first);
    if (idle() && !last.empty() && last != first) fetchTx(last);
}

void scanConfirmedUnguarded(const std::string& address) {
    PhoneFlags& flags = phoneFlags();
    if (address.empty() || inFuture(flags.wocBackoffUntil)) return;
    if (lockPhoneBrief().state.backfill.size() > kBackfillCap) return;
    const json body = json::parse(
        httpsGet(wocUrl("/address/" + url_path_segment(address) + "/history"), kHistoryTimeout, &flags.wocBackoffUntil,
                 kWocBackoff),
        nullptr, false);
    const json* list = historyList(body);
    if (!list) return;
    std::vector<std::string> found;
    const size_t walk = std::min(list->size(), kBackfillCap);
    for (size_t i = 0; i < walk; ++i)
        if (std::string t = entryTxid((*list)[i]); isNew(t)) found.push_back(std::move(t));
    auto g = lockPhone();
    std::deque<std::string>& backfill = g.state.backfill;
    for (std::string& t : found)
        if (!g.state.knownTxids.count(t) && std::find(backfill.begin(), backfill.end(), t) == backfill.end())
            backfill.push_back(std::move(t));
}

}  // namespace

void setPayloadHandler(PayloadHandler handler) { gHandler = handler; }

void pollOracle(const std::string& address) {
    try {
        if (!address.empty()) retryMissed();
        pollOracleUnguarded(address);
    } catch (const std::exception&) {
    }
}

std::string oracleListingUrl(const std::string& address, const std::string& extra) {
    try {
        return listingUrl(address, extra);
    } catch (const std::exception&) {
        return {};
    }
}

ListingResult readOracleListing(const std::string& body, std::string* cursor, size_t* fetched, bool* unread) {
    if (fetched) *fetched = 0;
    if (unread) *unread = false;
    try {
        return readListingUnguarded(body, cursor, fetched, unread);
    } catch (const std::exception&) {
        return ListingResult::Unusable;
    }
}

void retryMissedTxids() {
    try {
        retryMissed();
    } catch (const std::exception&) {
    }
}

void fetchTx(const std::string& txid) {
    try {
        fetchTxUnguarded(txid);
    } catch (const std::exception&) {
    }
}

bool enqueueRawFetch(const std::string& txid) {
    try {
        std::lock_guard lock(gFetchMutex);
        if (heldLocked(txid, nowMs()) || gQueued.count(txid)) return false;
        gQueued.insert(txid);
        gQueue.push_back(txid);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void forgetTxid(const std::string& txid) {
    try {
        lockPhoneBrief().state.knownTxids.erase(txid);
    } catch (const std::exception&) {
    }
}

void holdTxidUntil(const std::string& txid, uint64_t tickMs) {
    try {
        std::lock_guard lock(gFetchMutex);
        // An expired hold holds nothing, so sweeping them changes no answer.
        if (gRetryNotBefore.size() >= kRetryPruneAt) {
            const uint64_t now = nowMs();
            std::erase_if(gRetryNotBefore, [now](const auto& entry) { return entry.second <= now; });
        }
        gRetryNotBefore[txid] = tickMs;
    } catch (const std::exception&) {
    }
}

void resetPoller() {
    {
        std::lock_guard lock(gFetchMutex);
        gQueue.clear();
        gQueued.clear();
        gRetryNotBefore.clear();
        gMissed.clear();
    }
    gLastListingMs = 0;
}

void scanUnconfirmedHistory(const std::string& address) {
    try {
        scanUnconfirmedUnguarded(address);
    } catch (const std::exception&) {
    }
}

void scanConfirmedHistory(const std::string& address) {
    try {
        scanConfirmedUnguarded(address);
    } catch (const std::exception&) {
    }
}

void drainBackfill() {
    try {
        if (inFuture(phoneFlags().wocBackoffUntil)) return;
        std::string txid;
        {
            auto g = lockPhone();
            if (g.state.backfill.empty()) return;
            txid = std::move(g.state.backfill.front());
            g.state.backfill.pop_front();
        }
        fetchTx(txid);
    } catch (const std::exception&) {
    }
}

bool rawFetchStep() {
    try {
        std::string txid;
        {
            std::lock_guard lock(gFetchMutex);
            if (gQueue.empty()) return false;
            txid = std::move(gQueue.front());
            gQueue.pop_front();
            gQueued.erase(txid);
        }
        const std::string hex = httpsGet(wocUrl("/tx/" + txid + "/hex"), kRawTimeout, &phoneFlags().wocBackoffUntil,
                                         kWocBackoff);
        if (hex.size() < kMinRawDigits) {
            hold(txid, kRawRetry);
            forgetTxid(txid);
            return true;
        }
        const std::string payload = payloadFromRawHex(hex);
        if (isCallPayload(payload)) deliver(txid, payload);
        return true;
    } catch (const std::exception&) {
        return true;
    }
}

std::string payloadFromTxJson(const json& tx, bool* truncated, bool* hasData) {
    if (truncated) *truncated = false;
    if (hasData) *hasData = false;
    std::string best;
    try {
        if (!tx.is_object()) return best;
        auto vout = tx.find("vout");
        if (vout == tx.end() || !vout->is_array()) return best;
        auto offer = [&best](std::string candidate) {
            if (candidate.size() > best.size()) best = std::move(candidate);
        };
        for (const json& out : *vout) {
            if (!out.is_object()) continue;
            auto spkIt = out.find("scriptPubKey");
            if (spkIt == out.end() || !spkIt->is_object()) continue;
            const json& spk = *spkIt;
            if (auto t = spk.find("isTruncated"); t != spk.end() && t->is_boolean() && t->get<bool>() && truncated)
                *truncated = true;
            const std::string* type = stringAt(spk, "type");
            const std::string* asmText = stringAt(spk, "asm");
            const std::string* hex = stringAt(spk, "hex");
            if (hasData && ((type && *type == "nulldata") || (asmText && asmText->starts_with("OP_RETURN")) ||
                            (hex && (hex->starts_with("6a") || hex->starts_with("006a")))))
                *hasData = true;
            if (auto op = spk.find("opReturn"); op != spk.end() && op->is_object()) {
                if (const std::string* text = stringAt(*op, "text")) offer(*text);
                if (auto parts = op->find("parts"); parts != op->end() && parts->is_array()) {
                    std::string joined;
                    for (const json& p : *parts)
                        if (p.is_string()) joined += p.get_ref<const std::string&>();
                    offer(std::move(joined));
                }
            }
            if (hex)
                if (std::optional<std::string> push = pushFromScriptHex(*hex)) offer(std::move(*push));
        }
    } catch (const std::exception&) {
    }
    return best;
}

std::string payloadFromRawHex(std::string_view hex) {
    std::string best;
    try {
        Bytes raw;
        raw.reserve(hex.size() / 2);
        int high = -1;
        size_t digits = 0;
        for (char c : hex) {
            const int v = hex_value(c);
            if (v < 0) continue;
            ++digits;
            if (high < 0) {
                high = v;
            } else {
                raw.push_back(uint8_t(high << 4 | v));
                high = -1;
            }
        }
        if (digits < kMinRawDigits || digits % 2 != 0) return best;

        // A cut transaction's whole outputs are still read.
        ParsedTx tx;
        (void)read_tx_prefix(raw, kRawCountCap, tx);
        for (const TxOutput& out : tx.outputs)
            // payloadFromScript takes only scripts that begin 00 6a or 6a.
            if (std::optional<std::string> push = payloadFromScript(out.locking); push && push->size() > best.size())
                best = std::move(*push);
    } catch (const std::exception&) {
    }
    return best;
}

}  // namespace dialo

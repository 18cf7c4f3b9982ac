#include "vaultra/identity_lookup.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <mutex>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "base/detached.h"
#include "base/text.h"
#include "state/ui_bridge.h"
#include "vaultra/identity.h"
#include "wallet/http.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr uint64_t kIdentityFreshMs = 1800 * 1000;      // keys younger than this are not asked again
constexpr uint64_t kIdentityStaleMs = 24 * 3600 * 1000;  // a key whose refresh failed serves this long
constexpr uint64_t kUnknownMs = 60 * 1000;               // an actor nobody publishes is not asked again
constexpr size_t kUnknownCap = 4096;                     // strangers remembered at most
constexpr int kIdentityTimeoutSeconds = 15;
constexpr int kAvatarTimeoutSeconds = 8;
constexpr size_t kAvatarMinBytes = 16;
constexpr size_t kAvatarMaxBytes = 2u << 20;  // this size and above is dropped

struct CachedKey {
    std::string pubHex;
    uint64_t fetchedMs = 0;
    uint64_t retryMs = 0;  // after a failed refresh, the directory is not asked again before this tick
};

// What one question to the directory got: a key, a clear "no key" (the handle is unknown or
// its answer unusable), or no answer at all.
enum class Answer { Key, NoKey, Failed };

// Process-wide records, never destroyed: avatar threads are detached and may still be running
// while the process exits.
struct Records {
    std::mutex identityMutex;
    std::map<std::string, CachedKey> identities;  // "handle@servicedomain" lower-cased
    std::map<std::string, uint64_t> unknown;      // the same keys, to the tick they may be asked again
    std::mutex avatarMutex;
    std::map<std::string, Bytes> avatars;  // by handle; an entry exists once requested
};

Records& records() {
    static Records* r = new Records;
    return *r;
}

// Trim, one leading "@" or "$", trim: a handle as envelopes and the user name it.
std::string normalizeActor(std::string_view actor) {
    std::string_view t = trimBlanks(actor);
    if (!t.empty() && (t.front() == '@' || t.front() == '$')) t.remove_prefix(1);
    return std::string(trimBlanks(t));
}

void rememberUnknown(Records& r, const std::string& key) {
    const uint64_t now = nowMs();
    if (r.unknown.size() >= kUnknownCap) std::erase_if(r.unknown, [now](const auto& e) { return e.second <= now; });
    // A flood of distinct strangers: the oldest is forgotten first, so the map stays bounded.
    while (r.unknown.size() >= kUnknownCap)
        r.unknown.erase(std::min_element(r.unknown.begin(), r.unknown.end(),
                                         [](const auto& x, const auto& y) { return x.second < y.second; }));
    r.unknown[key] = now + kUnknownMs;
}

// A JSON object from the platform host, or a discarded value.
json platformGet(const std::string& url, int timeoutSeconds, bool requireOk) {
    std::string body, error;
    long code = get_once(url, body, error, timeoutSeconds);
    bool ok = requireOk ? code == 200 : code >= 200 && code < 300;
    if (!ok || body.empty()) return json(json::value_t::discarded);
    return json::parse(body, nullptr, false);
}

std::string textField(const json& j, const char* key) {
    if (!j.is_object()) return {};
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Answer askDirectory(const std::string& key, std::string& pubHex) {
    std::string body, error;
    const long code =
        get_once(service_url("/api/bsvalias/id/" + url_path_segment(key)), body, error, kIdentityTimeoutSeconds);
    // No answer, a busy or failing server: that says nothing about the handle.
    if (code < 200 || code == 408 || code == 429 || code >= 500) return Answer::Failed;
    if (code != 200 || body.empty()) return Answer::NoKey;
    const json answer = json::parse(body, nullptr, false);
    std::string hex = textField(answer, "pubkey");
    if (hex.empty()) hex = textField(answer, "publicKey");
    Bytes pub;
    if (hex.empty() || !parse_hex_trimmed(hex, pub)) return Answer::NoKey;
    pubHex = normalize_pubkey(pub);
    return pubHex.empty() ? Answer::NoKey : Answer::Key;
}

// "https://" + a non-empty host + "/" + a path.
bool usableAvatarUrl(const std::string& url) {
    constexpr std::string_view scheme = "https://";
    if (!url.starts_with(scheme)) return false;
    size_t slash = url.find('/', scheme.size());
    return slash != std::string::npos && slash > scheme.size() && slash + 1 < url.size();
}

void fetchAvatar(std::string handle) {
    const std::string profileUrl =
        service_url("/api/bsvalias/public-profile/" + url_path_segment(handle + "@" + networkConfig().serviceDomain));
    const std::string avatarUrl = textField(platformGet(profileUrl, kAvatarTimeoutSeconds, false), "avatar");
    if (!usableAvatarUrl(avatarUrl)) return;
    std::string body, error;
    long code = get_once(avatarUrl, body, error, kAvatarTimeoutSeconds, true);
    if (code < 200 || code >= 300 || body.size() < kAvatarMinBytes || body.size() >= kAvatarMaxBytes) return;
    Bytes picture(body.begin(), body.end());
    // Any other format would reach image readers nobody needs for a face: SVG, TIFF and the like.
    if (avatar_format(picture) == nullptr) return;
    {
        Records& r = records();
        std::lock_guard lock(r.avatarMutex);
        r.avatars[handle] = std::move(picture);
    }
    postUi(UiMessage::AvatarReady);
}

}  // namespace

std::string identity_lookup(std::string_view actorIn, std::string_view paymailIn, bool rememberUnknownActor) {
    const std::string actor = speakerHandle(actorIn);
    if (actor.empty()) return {};
    const std::string serviceDomain = lowerAscii(networkConfig().serviceDomain);
    std::string_view paymail = trimBlanks(paymailIn);
    if (size_t at = paymail.find('@'); at != std::string_view::npos && at > 0 && at + 1 < paymail.size()) {
        // An actor is only looked up on the platform's own domain.
        if (speakerHandle(paymail.substr(0, at)) == actor && lowerAscii(paymail.substr(at + 1)) != serviceDomain)
            return {};
    }
    const std::string key = actor + "@" + serviceDomain;
    Records& r = records();
    std::string stale;
    {
        std::lock_guard lock(r.identityMutex);
        const uint64_t now = nowMs();
        auto it = r.identities.find(key);
        if (it != r.identities.end()) {
            if (now - it->second.fetchedMs < kIdentityFreshMs) return it->second.pubHex;
            if (now - it->second.fetchedMs < kIdentityStaleMs) {
                if (now < it->second.retryMs) return it->second.pubHex;
                stale = it->second.pubHex;
            }
        }
        auto unknown = r.unknown.find(key);
        if (unknown != r.unknown.end()) {
            if (rememberUnknownActor && stale.empty() && now < unknown->second) return {};
            if (now >= unknown->second) r.unknown.erase(unknown);
        }
    }
    std::string pubHex;
    const Answer answer = askDirectory(key, pubHex);
    std::lock_guard lock(r.identityMutex);
    if (answer == Answer::Key) {
        r.identities[key] = {pubHex, nowMs()};
        r.unknown.erase(key);
        return pubHex;
    }
    // The directory could not be reached: the last good key goes on serving for a day.
    if (answer == Answer::Failed && !stale.empty()) {
        if (auto it = r.identities.find(key); it != r.identities.end()) it->second.retryMs = nowMs() + kUnknownMs;
        return stale;
    }
    // Only the directory's own "no key" makes a stranger: an outage says nothing of the handle.
    if (answer == Answer::NoKey) {
        r.identities.erase(key);
        if (rememberUnknownActor) rememberUnknown(r, key);
    }
    return {};
}

bool identity_matches(std::string_view actor, std::string_view pubHex, std::string_view paymail,
                      bool rememberUnknownActor) {
    Bytes pub;
    if (!parse_hex_trimmed(pubHex, pub)) return false;
    const std::string given = normalize_pubkey(pub);
    if (given.empty()) return false;
    const std::string published = identity_lookup(actor, paymail, rememberUnknownActor);
    return !published.empty() && published == given;
}

void request_avatar(const std::string& handleIn) {
    const std::string handle = normalizeActor(handleIn);
    if (handle.empty()) return;
    {
        Records& r = records();
        std::lock_guard lock(r.avatarMutex);
        if (!r.avatars.try_emplace(handle).second) return;
    }
    // No thread to spare: the card goes without a picture, as after a failed fetch.
    (void)startDetached([handle] { fetchAvatar(handle); });
}

void reset_identity_cache() {
    Records& r = records();
    {
        std::lock_guard lock(r.identityMutex);
        r.identities.clear();
        r.unknown.clear();
    }
    std::lock_guard lock(r.avatarMutex);
    r.avatars.clear();
}

Bytes avatar_for(const std::string& handle) {
    Records& r = records();
    std::lock_guard lock(r.avatarMutex);
    auto it = r.avatars.find(normalizeActor(handle));
    return it != r.avatars.end() ? it->second : Bytes();
}

const char* avatar_format(const Bytes& bytes) {
    static constexpr uint8_t kPng[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    static constexpr uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF};
    auto startsWith = [&bytes](const auto& magic) {
        return bytes.size() >= std::size(magic) && std::equal(std::begin(magic), std::end(magic), bytes.begin());
    };
    if (startsWith(kPng)) return "PNG";
    if (startsWith(kJpeg)) return "JPEG";
    return nullptr;
}

}  // namespace dialo

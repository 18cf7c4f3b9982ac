#include "vaultra/identity_lookup.h"

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

constexpr uint64_t kIdentityFreshMs = 1800 * 1000;  // keys younger than this are not asked again
constexpr int kIdentityTimeoutSeconds = 15;
constexpr int kAvatarTimeoutSeconds = 8;
constexpr size_t kAvatarMinBytes = 16;
constexpr size_t kAvatarMaxBytes = 2u << 20;  // this size and above is dropped

struct CachedKey {
    std::string pubHex;
    uint64_t fetchedMs = 0;
};

// Process-wide records, never destroyed: avatar threads are detached and may still be running
// while the process exits.
struct Records {
    std::mutex identityMutex;
    std::map<std::string, CachedKey> identities;  // "handle@servicedomain" lower-cased
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

// A JSON object from the platform host, or a discarded value.
json platformGet(const std::string& url, int timeoutSeconds, bool requireOk) {
    std::string body, error;
    long code = get_once(url, body, error, timeoutSeconds, true);
    bool ok = requireOk ? code == 200 : code >= 200 && code < 300;
    if (!ok || body.empty()) return json(json::value_t::discarded);
    return json::parse(body, nullptr, false);
}

std::string textField(const json& j, const char* key) {
    if (!j.is_object()) return {};
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
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
    {
        Records& r = records();
        std::lock_guard lock(r.avatarMutex);
        r.avatars[handle] = Bytes(body.begin(), body.end());
    }
    postUi(UiMessage::AvatarReady);
}

}  // namespace

std::string identity_lookup(std::string_view actorIn, std::string_view paymailIn) {
    const std::string actor = lowerAscii(normalizeActor(actorIn));
    if (actor.empty()) return {};
    const std::string serviceDomain = lowerAscii(networkConfig().serviceDomain);
    std::string_view paymail = trimBlanks(paymailIn);
    if (size_t at = paymail.find('@'); at != std::string_view::npos && at > 0 && at + 1 < paymail.size()) {
        // An actor is only looked up on the platform's own domain.
        if (lowerAscii(normalizeActor(paymail.substr(0, at))) == actor &&
            lowerAscii(paymail.substr(at + 1)) != serviceDomain)
            return {};
    }
    const std::string key = actor + "@" + serviceDomain;
    Records& r = records();
    {
        std::lock_guard lock(r.identityMutex);
        auto it = r.identities.find(key);
        if (it != r.identities.end() && nowMs() - it->second.fetchedMs < kIdentityFreshMs) return it->second.pubHex;
    }
    const json answer = platformGet(service_url("/api/bsvalias/id/" + url_path_segment(key)), kIdentityTimeoutSeconds, true);
    std::string hex = textField(answer, "pubkey");
    if (hex.empty()) hex = textField(answer, "publicKey");
    Bytes pub;
    if (hex.empty() || !parse_hex_trimmed(hex, pub)) return {};
    std::string normalized = normalize_pubkey(pub);
    if (normalized.empty()) return {};
    std::lock_guard lock(r.identityMutex);
    r.identities[key] = {normalized, nowMs()};
    return normalized;
}

bool identity_matches(std::string_view actor, std::string_view pubHex, std::string_view paymail) {
    Bytes pub;
    if (!parse_hex_trimmed(pubHex, pub)) return false;
    const std::string given = normalize_pubkey(pub);
    if (given.empty()) return false;
    const std::string published = identity_lookup(actor, paymail);
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

Bytes avatar_for(const std::string& handle) {
    Records& r = records();
    std::lock_guard lock(r.avatarMutex);
    auto it = r.avatars.find(normalizeActor(handle));
    return it != r.avatars.end() ? it->second : Bytes();
}

}  // namespace dialo

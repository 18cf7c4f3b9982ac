#include "service/claims.h"

#include "vaultra/identity.h"
#include "wallet/encoding.h"

namespace dialo::service {
namespace {

using nlohmann::json;

constexpr int64_t kClaimWindowSeconds = 3600;  // how far "ts" may lie from now

bool takeText(const json& body, const char* key, std::string& out, bool required) {
    auto it = body.find(key);
    if (it == body.end() || it->is_null()) return !required;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

ClaimResult refused(int status, std::string error) {
    ClaimResult r;
    r.status = status;
    r.error = std::move(error);
    return r;
}

}  // namespace

std::string claimText(const PaymailEntry& e) {
    std::string t = "OV-PAYMAIL-CLAIM|" + e.alias + "|" + e.pubkey + "|" + e.address + "|" + e.avatar + "|";
    if (!e.bnPub.empty() && !e.bnAddress.empty()) t += e.ordAddress + "|" + e.bnPub + "|" + e.bnAddress + "|";
    else if (!e.ordAddress.empty()) t += e.ordAddress + "|";
    return t + std::to_string(e.ts);
}

bool validAlias(const std::string& alias) {
    if (alias.empty() || alias.size() > 64) return false;
    for (size_t i = 0; i < alias.size(); ++i) {
        char c = alias[i];
        bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!alnum && (i == 0 || (c != '.' && c != '_' && c != '-'))) return false;
    }
    return true;
}

ClaimResult takeClaim(Storage& storage, const json& body, int64_t now) {
    if (!body.is_object()) return refused(400, "claim must be a JSON object");
    PaymailEntry e;
    std::string sig;
    if (!takeText(body, "alias", e.alias, true) || !takeText(body, "pubkey", e.pubkey, true) ||
        !takeText(body, "address", e.address, true) || !takeText(body, "avatar", e.avatar, false) ||
        !takeText(body, "ordAddress", e.ordAddress, false) || !takeText(body, "bnPub", e.bnPub, false) ||
        !takeText(body, "bnAddress", e.bnAddress, false) || !takeText(body, "sig", sig, true))
        return refused(400, "claim needs alias, pubkey, address, ts and sig as text");
    auto ts = body.find("ts");
    if (ts == body.end() || !ts->is_number_integer()) return refused(400, "claim needs ts in seconds");
    e.ts = ts->get<int64_t>();
    if (!validAlias(e.alias)) return refused(400, "invalid alias");
    if (normalize_pubkey(hex_decode(e.pubkey)) != e.pubkey) return refused(400, "pubkey must be 66 lower-case hex");
    Hash160 h{};
    if (!decode_p2pkh_address(e.address, h)) return refused(400, "address is not a P2PKH address");
    if (e.ts < now - kClaimWindowSeconds || e.ts > now + kClaimWindowSeconds) return refused(400, "claim time is stale");
    if (!verify_message(claimText(e), e.pubkey, sig)) return refused(401, "bad signature");

    switch (storage.putClaim(e)) {
    case PutClaim::Taken: break;
    case PutClaim::OtherOwner: return refused(409, "alias already claimed by another identity");
    case PutClaim::Older: return refused(409, "a newer claim of this alias exists");
    case PutClaim::Failed: return refused(500, "directory: the claim could not be stored");
    }
    ClaimResult ok;
    ok.entry = std::move(e);
    return ok;
}

}  // namespace dialo::service

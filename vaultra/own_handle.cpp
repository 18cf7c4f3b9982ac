#include "vaultra/own_handle.h"

#include <mutex>

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "base/text.h"
#include "vaultra/connect.h"
#include "vaultra/identity.h"
#include "wallet/client_sinks.h"
#include "wallet/http.h"
#include "wallet/wallet_file.h"

namespace dialo {
namespace {

using nlohmann::json;

std::mutex gClaimMutex;
std::string gLastClaimKey;  // the last claim that succeeded in this process

}  // namespace

std::string normalize_own_handle(std::string_view h) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!h.empty() && (h.front() == '@' || h.front() == '$' || blank(h.front()))) h.remove_prefix(1);
    while (!h.empty() && blank(h.back())) h.remove_suffix(1);
    if (size_t at = h.find('@'); at != std::string_view::npos) h = h.substr(0, at);
    return lowerAscii(h);
}

void refresh_own_handle(WalletState& w, bool report) {
    (void)report;  // a handle found elsewhere is announced; without a registry none ever is
    if (!w.loaded || w.keys.identityPub.empty()) return;
    std::string handle = normalize_own_handle(w.paymail);
    // Without the platform's local registry a wallet with no handle in its file has none.
    if (handle.empty()) return;
    w.paymail = handle;
    name_wallet(bound_wallet_id(), handle);
}

std::string own_paymail(WalletState& w) {
    if (!load_wallet(w)) return {};
    refresh_own_handle(w, false);
    if (w.paymail.empty()) return {};
    return w.paymail + "@" + networkConfig().serviceDomain;
}

std::string claim_text(const std::string& handle, const std::string& pubkey, const std::string& address,
                       const std::string& avatar, const std::string& ordAddress, const std::string& bnPub,
                       const std::string& bnAddress, int64_t ts) {
    std::string text = "OV-PAYMAIL-CLAIM|" + lowerAscii(handle) + "|" + lowerAscii(pubkey) + "|" + address + "|" +
                       avatar + "|";
    if (!bnPub.empty() && !bnAddress.empty())
        text += ordAddress + "|" + bnPub + "|" + bnAddress + "|";
    else if (!ordAddress.empty())
        text += ordAddress + "|";
    return text + std::to_string(ts);
}

bool send_paymail_claim(WalletState& w, const std::string& handleIn, const std::string& pubkeyIn,
                        const std::string& address, const std::string& avatar, const std::string& ordAddress,
                        std::string& error) {
    error.clear();
    const std::string handle = lowerAscii(handleIn), pubkey = lowerAscii(pubkeyIn);
    auto fail = [&error](std::string why) {
        error = std::move(why);
        return false;
    };
    if (handle.empty() || pubkey.empty()) return fail("need alias and pubkey");
    std::string bnPub, bnPriv, bnAddress;
    if (!derive_bn_key_held(w, bnPub, bnPriv, bnAddress, error)) bnPub.clear(), bnAddress.clear();
    if (!bnPriv.empty()) OPENSSL_cleanse(bnPriv.data(), bnPriv.size());
    const int64_t ts = nowSeconds();
    std::string signerPub, sig;
    if (!identity_sign_held(w, claim_text(handle, pubkey, address, avatar, ordAddress, bnPub, bnAddress, ts), signerPub,
                            sig, error))
        return fail("could not sign paymail claim");
    if (lowerAscii(signerPub) != pubkey) return fail("identity pubkey mismatch");

    json body = {{"alias", handle}, {"pubkey", pubkey}, {"address", address}, {"avatar", avatar}, {"ts", ts},
                 {"sig", sig}};
    if (!ordAddress.empty()) body["ordAddress"] = ordAddress;
    if (!bnPub.empty() && !bnAddress.empty()) {
        body["bnPub"] = bnPub;
        body["bnAddress"] = bnAddress;
    }
    std::string reply;
    error.clear();
    if (post_json(service_url("/api/paymail/claim"), body.dump(), reply, error, 25, 4)) {
        error.clear();
        return true;
    }
    json answer = json::parse(reply, nullptr, false);
    if (answer.is_object() && answer.contains("error") && answer["error"].is_string() &&
        !answer["error"].get<std::string>().empty())
        return fail(answer["error"].get<std::string>());
    return fail(error.empty() ? "paymail host refused" : error);
}

void reset_claim_memory() {
    std::lock_guard lock(gClaimMutex);
    gLastClaimKey.clear();
}

void claim_paymail(WalletState& w, const std::string& handle, const std::string& pubkey, const std::string& address,
                   const std::string& avatar, const std::string& ordAddress) {
    if (handle.empty() || pubkey.empty()) return;
    const std::string key = handle + "|" + address + "|" + ordAddress + "|" + avatar + "|bn1";
    {
        std::lock_guard lock(gClaimMutex);
        if (key == gLastClaimKey) return;
    }
    std::string error;
    if (!send_paymail_claim(w, handle, pubkey, address, avatar, ordAddress, error)) return;
    {
        std::lock_guard lock(gClaimMutex);
        gLastClaimKey = key;
    }
    // The role is only recorded by the platform's registry, which this build does not keep;
    // asking keeps the platform's view of the phone current.
    std::string body;
    (void)fetch_get(service_url("/api/paymail/quota/" + lowerAscii(pubkey)), body, error, 12, false);
}

}  // namespace dialo

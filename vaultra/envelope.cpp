#include "vaultra/envelope.h"

#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/config.h"
#include "base/json_fields.h"
#include "base/text.h"
#include "vaultra/identity.h"
#include "vaultra/identity_lookup.h"
#include "vaultra/own_handle.h"
#include "wallet/hashes.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

namespace dialo {
namespace {

using nlohmann::json;

// A string field, or the alternative name when the first is absent or not a string.
std::string text_of(const json& event, const char* key, const char* alternative = nullptr) {
    if (event.is_object()) {
        auto it = event.find(key);
        if (it != event.end() && it->is_string()) return it->get<std::string>();
    }
    return alternative ? string_field(event, alternative) : std::string();
}

// Trim, one leading "@" or "$" off, trim again, lower case.
std::string speaker(std::string_view handle) {
    std::string_view h = trimBlanks(handle);
    if (!h.empty() && (h.front() == '@' || h.front() == '$')) h = trimBlanks(h.substr(1));
    return lowerAscii(h);
}

std::string channel_of(const json& event) {
    std::string channel = text_of(event, "channel");
    return channel.empty() ? text_of(event, "location") : channel;
}

}  // namespace

std::string canonical_text(const json& event) {
    Hash256 audioHash{};
    const std::string audio = text_of(event, "audio");
    std::string audioHex = sha256(audio, audioHash) ? hex_encode(audioHash) : std::string();
    std::string text = "OV1|";
    text += std::string(trimBlanks(text_of(event, "type"))) + "|";
    text += lowerAscii(trimBlanks(channel_of(event))) + "|";
    text += speaker(text_of(event, "handle")) + "|";
    text += speaker(text_of(event, "actor")) + "|";
    text += std::to_string(int_field(event, "ts")) + "|";
    text += text_of(event, "kind") + "|";
    text += text_of(event, "id") + "|";
    text += std::to_string(int_field(event, "n")) + "|";
    text += text_of(event, "codec") + "|";
    text += text_of(event, "mark") + "|";
    text += std::to_string(int_field(event, "secs")) + "|";
    return text + audioHex;
}

bool build_protocol_message(json& event, std::string& error) {
    error.clear();
    if (!event.is_object()) {
        error = "Could not sign.";
        return false;
    }
    std::string handle;
    {
        WalletGuard g = lockWallet();
        if (load_wallet(g.state)) {
            refresh_own_handle(g.state, false);
            handle = g.state.paymail;
        }
    }
    if (handle.empty()) {
        error = "Connect Vaultra";
        return false;
    }
    const std::string domain = networkConfig().serviceDomain;
    event["actor"] = handle;
    event["paymail"] = handle + "@" + domain;
    if (auto it = event.find("ts"); it == event.end() || !it->is_number()) event["ts"] = nowSeconds();

    std::string pubHex, signature;
    if (!identity_sign(canonical_text(event), pubHex, signature, error)) return false;
    event["pubkey"] = pubHex;
    event["sig"] = signature;
    if (!verify_protocol_message(event)) {
        error = "identity signature did not verify against " + domain + " PKI";
        return false;
    }
    return true;
}

bool verify_protocol_message(const json& event) {
    if (!event.is_object()) return false;
    // Only the phone's protocol and its one type are served here. Any other type would escape
    // the rule that the speaker is the handle named, which is who the phone takes as caller.
    if (text_of(event, "protocol") != "OV-Dialo" || text_of(event, "type") != "dl") return false;
    const std::string channel = channel_of(event);
    const std::string handle = text_of(event, "handle");
    const std::string actor = text_of(event, "actor");
    const std::string pubkey = text_of(event, "pubkey", "publicKey");
    const std::string sig = text_of(event, "sig", "signature");
    if (channel.empty() || handle.empty() || actor.empty() || pubkey.empty() || sig.empty()) return false;
    if (speaker(actor) != speaker(handle)) return false;
    if (int_field(event, "ts") <= 0) return false;
    if (!verify_message(canonical_text(event), pubkey, sig)) return false;
    return identity_matches(actor, pubkey, text_of(event, "paymail"));
}

}  // namespace dialo

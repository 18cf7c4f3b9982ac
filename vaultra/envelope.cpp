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
    auto it = event.find(key);
    if (it != event.end() && it->is_string()) return it->get<std::string>();
    return alternative ? string_field(event, alternative) : std::string();
}

bool verify(const SignedEvent& e, bool rememberUnknown) {
    // Only the phone's protocol and its one type are served here. Any other type would escape
    // the rule that the speaker is the handle named, which is who the phone takes as caller.
    if (e.protocol != "OV-Dialo" || e.type != "dl") return false;
    if (e.channel.empty() || e.handle.empty() || e.actor.empty() || e.pubkey.empty() || e.sig.empty()) return false;
    if (speakerHandle(e.actor) != speakerHandle(e.handle)) return false;
    if (e.ts <= 0) return false;
    if (!verify_message(canonical_text(e), e.pubkey, e.sig)) return false;
    return identity_matches(e.actor, e.pubkey, e.paymail, rememberUnknown);
}

}  // namespace

bool read_signed_event(const json& event, SignedEvent& out) {
    out = SignedEvent{};
    if (!event.is_object()) return false;
    out.protocol = text_of(event, "protocol");
    out.type = text_of(event, "type");
    out.channel = text_of(event, "channel");
    if (out.channel.empty()) out.channel = text_of(event, "location");
    out.handle = text_of(event, "handle");
    out.actor = text_of(event, "actor");
    out.paymail = text_of(event, "paymail");
    out.pubkey = text_of(event, "pubkey", "publicKey");
    out.sig = text_of(event, "sig", "signature");
    out.kind = text_of(event, "kind");
    out.id = text_of(event, "id");
    out.codec = text_of(event, "codec");
    out.mark = text_of(event, "mark");
    out.audio = text_of(event, "audio");
    out.pay = text_of(event, "pay");
    out.n = int_field(event, "n");
    out.secs = int_field(event, "secs");
    auto ts = event.find("ts");
    if (ts == event.end() || !ts->is_number_integer()) return false;
    // A positive integer too large for int64 reads as unsigned; it is no time of ours either.
    if (ts->is_number_unsigned() && ts->get<uint64_t>() > uint64_t(INT64_MAX)) return false;
    out.ts = ts->get<int64_t>();
    if (out.ts <= 0) {
        out.ts = 0;
        return false;
    }
    return true;
}

std::string canonical_text(const SignedEvent& e) {
    Hash256 audioHash{};
    std::string audioHex = sha256(e.audio, audioHash) ? hex_encode(audioHash) : std::string();
    std::string text = "OV1|";
    text += std::string(trimBlanks(e.type)) + "|";
    text += lowerAscii(trimBlanks(e.channel)) + "|";
    text += speakerHandle(e.handle) + "|";
    text += speakerHandle(e.actor) + "|";
    text += std::to_string(e.ts) + "|";
    text += e.kind + "|";
    text += e.id + "|";
    text += std::to_string(e.n) + "|";
    text += e.codec + "|";
    text += e.mark + "|";
    text += std::to_string(e.secs) + "|";
    return text + audioHex;
}

std::string canonical_text(const json& event) {
    SignedEvent e;
    (void)read_signed_event(event, e);
    return canonical_text(e);
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
    if (auto it = event.find("ts"); it == event.end() || !it->is_number_integer() || it->get<int64_t>() <= 0)
        event["ts"] = nowSeconds();

    std::string pubHex, signature;
    if (!identity_sign(canonical_text(event), pubHex, signature, error)) return false;
    event["pubkey"] = pubHex;
    event["sig"] = signature;
    SignedEvent built;
    // Our own handle just claimed must not be remembered as unknown by a self-check.
    if (!read_signed_event(event, built) || !verify(built, false)) {
        error = "identity signature did not verify against " + domain + " PKI";
        return false;
    }
    return true;
}

bool verify_protocol_message(const SignedEvent& event) { return verify(event, true); }

bool verify_protocol_message(const json& event) {
    SignedEvent e;
    return read_signed_event(event, e) && verify(e, true);
}

}  // namespace dialo

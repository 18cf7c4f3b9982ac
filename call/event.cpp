#include "call/event.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "base/base64.h"
#include "base/json_fields.h"
#include "base/text.h"
#include "vaultra/ecies.h"
#include "vaultra/identity.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr int kSealVersion = 4;
constexpr uint8_t kOpFalse = 0x00, kOpReturn = 0x6a;
constexpr uint8_t kPushData1 = 0x4c, kPushData2 = 0x4d, kPushData4 = 0x4e;

uint64_t readLittleEndian(const Bytes& b, size_t at, size_t width) {
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v |= uint64_t(b[at + i]) << (8 * i);
    return v;
}

}  // namespace

json buildEvent(std::string_view kind, std::string_view callId) {
    return json{{"kind", kind}, {"id", callId}};
}

json buildAudioEvent(std::string_view callId, int64_t n, const Bytes& gsm) {
    json e = buildEvent(kAudio, callId);
    e["n"] = n;
    e["codec"] = "gsm";
    e["audio"] = base64Encode(gsm);
    return e;
}

json buildTapeEvent(std::string_view callId, const Bytes& gsm, int64_t secs) {
    json e = buildEvent(kTape, callId);
    e["mark"] = "start-end";
    e["codec"] = "gsm";
    e["audio"] = base64Encode(gsm);
    e["secs"] = std::max<int64_t>(secs, 1);
    return e;
}

std::string compactText(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

json buildEnvelope(int64_t ts) {
    return json{{"protocol", kProtocol}, {"type", "dl"}, {"location", "dialo"}, {"ts", ts}};
}

bool seal(const std::string& eventText, const std::string& peerPubKey, json& envelope, std::string& error) {
    error.clear();
    std::string blob;
    if (peerPubKey.empty() || !ecies_seal(eventText, peerPubKey, blob) || blob.empty()) {
        error = "Could not seal to that paymail key.";
        return false;
    }
    envelope["pmessage1"] = blob;
    envelope["enc_v"] = kSealVersion;
    return true;
}

bool unsealWith(const json& envelope, std::string_view identityPrivHex, std::string& plaintext) {
    plaintext.clear();
    if (!envelope.is_object()) return false;
    auto version = envelope.find("enc_v");
    if (version == envelope.end() || !version->is_number_integer() || version->get<int64_t>() != kSealVersion)
        return false;
    auto sealed = envelope.find("pmessage1");
    if (sealed == envelope.end() || !sealed->is_string() || !is_hex64(identityPrivHex)) return false;
    if (ecies_unseal(sealed->get_ref<const std::string&>(), identityPrivHex, "", plaintext) && !plaintext.empty())
        return true;
    plaintext.clear();
    return false;
}

bool unseal(const json& envelope, std::string& plaintext) {
    plaintext.clear();
    std::string privHex, error;
    // Only an envelope worth opening costs a wallet look-up.
    auto version = envelope.is_object() ? envelope.find("enc_v") : envelope.end();
    bool ok = version != envelope.end() && identity_key_hex(privHex, error) && unsealWith(envelope, privHex, plaintext);
    OPENSSL_cleanse(privHex.data(), privHex.size());
    return ok;
}

std::optional<std::string> payloadFromScript(const Bytes& script) {
    size_t at = 0;
    if (script.size() >= 2 && script[0] == kOpFalse && script[1] == kOpReturn) at = 2;
    else if (!script.empty() && script[0] == kOpReturn) at = 1;
    else return std::nullopt;
    if (at >= script.size()) return std::nullopt;
    const uint8_t op = script[at++];
    size_t width = 0;
    uint64_t length = 0;
    if (op >= 1 && op <= 75) length = op;
    else if (op == kPushData1) width = 1;
    else if (op == kPushData2) width = 2;
    else if (op == kPushData4) width = 4;
    else return std::nullopt;
    if (width > 0) {
        if (script.size() - at < width) return std::nullopt;
        length = readLittleEndian(script, at, width);
        at += width;
    }
    if (length > script.size() - at) return std::nullopt;
    return std::string(script.begin() + at, script.begin() + at + length);
}

namespace {

// Steps every payload goes through before it is opened; `open` unseals the outer object.
template <class Open>
std::optional<json> openChecked(std::string_view payload, Open open) {
    if (payload.size() < kMinPayload || payload.find(kProtocol) == std::string_view::npos) return std::nullopt;
    while (!payload.empty() && (payload.back() == ' ' || payload.back() == '\t' || payload.back() == '\r' ||
                                payload.back() == '\n'))
        payload.remove_suffix(1);
    if (payload.empty() || payload.back() != '}') return std::nullopt;
    json outer = json::parse(payload, nullptr, false);
    if (outer.is_discarded() || string_field(outer, "type") != "dl") return std::nullopt;
    std::string plaintext;
    if (!open(outer, plaintext)) return std::nullopt;
    json event = json::parse(plaintext, nullptr, false);
    OPENSSL_cleanse(plaintext.data(), plaintext.size());
    if (!event.is_object()) return std::nullopt;
    return event;
}

}  // namespace

std::optional<json> openPayload(std::string_view payload) {
    return openChecked(payload, [](const json& outer, std::string& text) { return unseal(outer, text); });
}

std::optional<json> openPayloadWith(std::string_view payload, std::string_view identityPrivHex) {
    return openChecked(payload,
                       [identityPrivHex](const json& outer, std::string& text) { return unsealWith(outer, identityPrivHex, text); });
}

namespace {

constexpr std::string_view kRecipientWord = "to:";

bool isCallId(const std::string& id) {
    return id.size() == 16 &&
           std::all_of(id.begin(), id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The handle after "to:" among the mark's blank-separated words; empty when none is named.
std::string recipientOf(std::string_view mark) {
    size_t at = 0;
    while (at < mark.size()) {
        const size_t end = std::min(mark.find(' ', at), mark.size());
        const std::string_view word = mark.substr(at, end - at);
        if (word.starts_with(kRecipientWord)) return speakerHandle(word.substr(kRecipientWord.size()));
        at = end + 1;
    }
    return {};
}

}  // namespace

std::string recipientMark(std::string_view kind, std::string_view recipient) {
    std::string mark = kind == kTape ? "start-end " : "";
    return mark + std::string(kRecipientWord) + speakerHandle(recipient);
}

bool readEvent(const json& event, ReceivedEvent& out) {
    out = ReceivedEvent{};
    if (!read_signed_event(event, out.fields) || !isCallId(out.fields.id)) return false;
    out.signer = speakerHandle(out.fields.actor);
    out.recipient = recipientOf(out.fields.mark);
    return true;
}

}  // namespace dialo

#pragma once
// Call events as two phones exchange them: the kinds and their keys, the outer envelope that
// carries an event sealed to its recipient, and the bytes of a transaction's data output.
// Objects are written compactly with their keys in ascending byte order.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "audio/gsm.h"
#include "base/bytes.h"
#include "vaultra/envelope.h"

namespace dialo {

inline constexpr char kProtocol[] = "OV-Dialo";
// Bytes: a data output shorter than this holds no event.
inline constexpr size_t kMinPayload = 8;
inline constexpr char kInvite[] = "invite";
inline constexpr char kAccept[] = "accept";
inline constexpr char kBox[] = "box";
inline constexpr char kHangup[] = "hangup";
inline constexpr char kAudio[] = "audio";
inline constexpr char kTape[] = "tape";

/// An event with exactly "kind" and "id" plus the kind's own keys: for "audio" "n", "codec"
/// and "audio"; for "tape" "mark", "codec", "audio" and "secs" (at least 1).
nlohmann::json buildEvent(std::string_view kind, std::string_view callId);
nlohmann::json buildAudioEvent(std::string_view callId, int64_t n, const Bytes& gsm);
nlohmann::json buildTapeEvent(std::string_view callId, const Bytes& gsm, int64_t secs);

/// Compact JSON, keys in ascending byte order; invalid UTF-8 replaced rather than thrown on.
std::string compactText(const nlohmann::json& value);

/// The outer object without its sealed part: "protocol", "type", "location" and "ts".
nlohmann::json buildEnvelope(int64_t ts);

/// Seals an event's text to the peer's identity key into the envelope ("pmessage1", "enc_v").
[[nodiscard]] bool seal(const std::string& eventText, const std::string& peerPubKey, nlohmann::json& envelope,
                        std::string& error);

/// Opens an envelope with the connected wallet's identity key; false for anything not sealed
/// to it.
[[nodiscard]] bool unseal(const nlohmann::json& envelope, std::string& plaintext);
/// The same with a given identity private key (64 hex).
[[nodiscard]] bool unsealWith(const nlohmann::json& envelope, std::string_view identityPrivHex,
                              std::string& plaintext);

/// The first push after OP_RETURN (with or without a leading OP_FALSE), when it fits the script.
std::optional<std::string> payloadFromScript(const Bytes& script);

/// A payload taken from chain, checked, opened and parsed: the event object inside it, not
/// yet verified, or nothing when it is not a call event for this wallet.
std::optional<nlohmann::json> openPayload(std::string_view payload);
/// The same with a given identity private key (64 hex) instead of the connected wallet's.
std::optional<nlohmann::json> openPayloadWith(std::string_view payload, std::string_view identityPrivHex);

/// The "mark" of an event signed for `recipient`: the handle, signed but not read by phones
/// that do not name recipients. A tape keeps its "start-end" before it.
std::string recipientMark(std::string_view kind, std::string_view recipient);

/// A received event as the call engine reads it, once: the signed fields, who signed it (the
/// actor as verification normalises it: the only source of who speaks) and whom it was signed
/// for (empty when the sender names nobody).
struct ReceivedEvent {
    SignedEvent fields;
    std::string signer;
    std::string recipient;
};

/// False for an event this phone never acts on: a time that is not a positive integer, or a
/// call id that is not 16 lower-case hex digits (ids are joined into the signed text unescaped).
[[nodiscard]] bool readEvent(const nlohmann::json& event, ReceivedEvent& out);

}  // namespace dialo

#pragma once
// The signed envelope every call event carries: who speaks, under which protocol and when,
// with which identity key, and a signature over a canonical text of the fields that matter.
// Verification also binds the key to the platform's directory: the key must be the one the
// platform publishes for the speaker's handle.

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace dialo {

/// A signed event's fields, read once by one set of rules; the canonical text, the verifier and
/// the call engine all work on this record, never on the document again.
struct SignedEvent {
    std::string protocol, type;
    std::string channel;  // "channel", else "location"
    std::string handle, actor, paymail;
    std::string pubkey;   // "pubkey", else "publicKey"
    std::string sig;      // "sig", else "signature"
    std::string kind, id, codec, mark, audio;
    std::string pay;      // travels with the event; not signed
    int64_t ts = 0;       // seconds since 1970; 0 when not a positive JSON integer
    int64_t n = 0, secs = 0;
};

/// Reads an event object. False when it is not an object or its "ts" is not a positive JSON
/// integer (a time spelled any other way would be read two ways); the fields are filled anyway.
[[nodiscard]] bool read_signed_event(const nlohmann::json& event, SignedEvent& out);

/// The signed preimage: "OV1|type|channel|handle|actor|ts|kind|id|n|codec|mark|secs|" and the
/// hex SHA-256 of the "audio" text.
std::string canonical_text(const SignedEvent& event);
std::string canonical_text(const nlohmann::json& event);

/// Sets "actor", "paymail", "ts" (when absent), "pubkey" and "sig" with the connected wallet's
/// identity key and checks the result as a peer would. On failure `error` holds the text to
/// show; fields set so far stay in the object.
[[nodiscard]] bool build_protocol_message(nlohmann::json& event, std::string& error);

/// True only for an event of an accepted protocol, signed over its canonical text by the key
/// the platform publishes for its actor, who must be the handle it names. A received event's
/// actor the platform does not know is remembered as unknown for a minute.
bool verify_protocol_message(const SignedEvent& event);
bool verify_protocol_message(const nlohmann::json& event);

}  // namespace dialo

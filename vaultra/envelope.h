#pragma once
// The signed envelope every call event carries: who speaks, under which protocol and when,
// with which identity key, and a signature over a canonical text of the fields that matter.
// Verification also binds the key to the platform's directory: the key must be the one the
// platform publishes for the speaker's handle.

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace dialo {

/// The signed preimage: "OV1|type|channel|handle|actor|ts|kind|id|n|codec|mark|secs|" and the
/// hex SHA-256 of the "audio" text.
std::string canonical_text(const nlohmann::json& event);

/// Sets "actor", "paymail", "ts" (when absent), "pubkey" and "sig" with the connected wallet's
/// identity key and checks the result as a peer would. On failure `error` holds the text to
/// show; fields set so far stay in the object.
[[nodiscard]] bool build_protocol_message(nlohmann::json& event, std::string& error);

/// True only for an event of an accepted protocol, signed over its canonical text by the key
/// the platform publishes for its actor, who must be the handle it names.
bool verify_protocol_message(const nlohmann::json& event);

}  // namespace dialo

#pragma once
// sendEvent: one call event from a JSON object to a broadcast transaction that pays the peer
// 1 satoshi and the event fee address 1 satoshi. Runs on the caller's thread, blocking for
// the signing, sealing and spending; never retries and never changes the call state.

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace dialo {

/// Fee rates (satoshis per 1000 bytes) and whether unconfirmed coins may pay, per kind.
inline constexpr int32_t kSignalRate = 1;  // invite, accept, box, hangup: unconfirmed allowed
inline constexpr int32_t kAudioRate = 1;   // live chunks: confirmed coins only
inline constexpr int32_t kTapeRate = 100;  // left messages: confirmed coins only

/// Completes, signs and seals `event` (modified in place) to the call's peer key and pays for
/// it. True when broadcast; false when held (holdFlag set) or failed (status shows why).
bool sendEvent(const std::string& toAddress, nlohmann::json& event, int32_t ratePerKb, bool allowUnconfirmed);

}  // namespace dialo

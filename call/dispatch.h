#pragma once
// Incoming events: a payload found on chain opened, judged for freshness, verified and
// applied to the phone state. The far end drives the call state machine from here.

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "call/event.h"
#include "state/phone_state.h"

namespace dialo {

/// Opens, checks and dispatches one payload; called on the poller's threads.
void handlePayload(const std::string& txid, const std::string& payload);

/// Verifies an event read from chain and applies it; true when the boxes changed. `retryLater`
/// asks for the event to be offered again in 2 seconds (a busy line); `moved` says the call
/// state moved, which told the window already.
bool dispatchEvent(const ReceivedEvent& event, bool fresh, const std::string& txid, bool& retryLater, bool& moved);

/// Plays the peer's chunks held behind a missing one once it has been waited for long enough
/// (or drops them when the call is no longer up); the background loop calls it every cycle.
void releaseOverdueAudio();

/// True when a signer is on the block list, however either was spelled. Caller holds the
/// phone-state mutex.
bool isBlocked(const PhoneState& st, const std::string& signer) REQUIRES(phoneMutex());

/// "Calls will divert to your answer-phone after three rings." (answer-phone on) or "... ten rings.".
std::string idleStatusText(const PhoneState& st);

}  // namespace dialo

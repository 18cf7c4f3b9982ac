#pragma once
// sendEvent: one call event from a JSON object to a broadcast transaction that pays the peer
// 1 satoshi and the event fee address 1 satoshi. Runs on the caller's thread, blocking for
// the signing, sealing and spending; never retries and never changes the call state.

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "state/phone_state.h"

namespace dialo {

/// Fee rates (satoshis per 1000 bytes) and whether unconfirmed coins may pay, per kind.
inline constexpr int32_t kSignalRate = 1;  // invite, accept, box, hangup: unconfirmed allowed
inline constexpr int32_t kAudioRate = 1;   // live chunks: confirmed coins only
inline constexpr int32_t kTapeRate = 100;  // left messages: confirmed coins only

/// Off the devnet nothing is sent until the configuration names both fee addresses.
inline constexpr char kNoFeeAddresses[] =
    "This network has no fee addresses set (network.event_fee_address and network.call_fee_address). Nothing was sent.";

/// Whom an event goes to: paid to `address`, sealed to `pubKey`, signed for `handle`. Copied
/// together with the call id it belongs to, so that a call taken over meanwhile cannot send
/// one call's event to another call's peer.
struct Peer {
    std::string handle;
    std::string address;
    std::string pubKey;
};

/// The current call's peer. Caller holds the phone-state mutex.
Peer currentPeer(const PhoneState& s) REQUIRES(phoneMutex());

/// What a broadcast event was: its transaction and what it cost in satoshis.
struct SentEvent {
    std::string txid;
    int64_t sats = 0;
};

/// Completes, signs and seals `event` (modified in place) to the peer and pays for it. True
/// when broadcast; false when held (holdFlag set) or failed (the status shows why, unless
/// `reportFailure` is false: a send in the background). What it cost counts towards the current
/// call when the event is that call's, or towards the record of its call when that call has
/// ended and been recorded; `sent`, when given, receives the transaction and its cost.
/// Sends under one `onceKey` make one transaction at most: a retry sends the first one again
/// (spend_payload), so the event sent is the first try's.
bool sendEvent(const Peer& to, nlohmann::json& event, int32_t ratePerKb, bool allowUnconfirmed,
               SentEvent* sent = nullptr, bool reportFailure = true, const std::string& onceKey = {});

}  // namespace dialo

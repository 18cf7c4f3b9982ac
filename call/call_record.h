#pragma once
// The call history entry of a talked call or a left message.

#include <cstdint>
#include <optional>
#include <string>

#include "state/phone_state.h"

namespace dialo {

/// Appends this phone's record of the current call and saves the store, when the peer is
/// known. Without `secs` the length is the time since the call started. Caller holds the
/// phone-state mutex.
void appendCallRecord(PhoneState& s, std::optional<int32_t> secs = std::nullopt) REQUIRES(phoneMutex());

/// Adds an event of `kind` sent after the call was recorded (its hang-up, a voice chunk still
/// on its way) to the record of the call `callId`: its missed-call record, or the talked one whose
/// first transaction is `firstTxid`; then saves the store. False when there is no such record
/// yet. Caller holds the mutex.
bool addToCallRecord(PhoneState& s, const std::string& callId, const std::string& firstTxid, const std::string& txid,
                     int64_t sats, const std::string& kind) REQUIRES(phoneMutex());

/// Counts the call fee paid for the call `callId` in its cost and receipt: the current call's
/// while it is up, else the record whose first transaction is `firstTxid` (saved). Caller holds
/// the mutex.
void noteCallFee(PhoneState& s, const std::string& callId, const std::string& firstTxid, const std::string& txid,
                 int64_t sats) REQUIRES(phoneMutex());

/// Notes a transaction of the current call, carrying an event of `kind`, on its receipt: one
/// this phone sent, or one of the peer's it acted on. Caller holds the phone-state mutex.
void noteSentTxid(PhoneState& s, const std::string& txid, const std::string& kind) REQUIRES(phoneMutex());
void noteHeardTxid(PhoneState& s, const std::string& txid, const std::string& kind) REQUIRES(phoneMutex());

}  // namespace dialo

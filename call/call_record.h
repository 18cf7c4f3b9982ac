#pragma once
// The call history entry of a talked call or a left message.

#include <cstdint>
#include <optional>

#include "state/phone_state.h"

namespace dialo {

/// Appends this phone's record of the current call and saves the store, when the peer is
/// known. Without `secs` the length is the time since the call started. Caller holds the
/// phone-state mutex.
void appendCallRecord(PhoneState& s, std::optional<int32_t> secs = std::nullopt);

}  // namespace dialo

#pragma once
// The play queue as the call engine uses it: received voice and the phone's tones.

#include <cstdint>
#include <vector>

#include "base/bytes.h"

namespace dialo {

/// True when an output stream is open (opening one if needed).
[[nodiscard]] bool outputAvailable();

/// Decodes GSM 6.10 bytes and queues the sound; true when something was queued.
bool queueForPlayback(const Bytes& gsm);

/// Queues 8 kHz 16-bit mono samples at the back of the play queue.
void enqueuePcm(std::vector<int16_t> samples);

}  // namespace dialo

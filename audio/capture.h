#pragma once
// The microphone as the call engine uses it: started when a call is placed or answered, its
// buffer emptied at the moments a call's sound must start clean, and a hold-off during which
// captured sound is thrown away (while the phone's own tones play).

#include <cstdint>

namespace dialo {

/// Starts capture when it is not running; true when it runs.
[[nodiscard]] bool startCapture();

/// Throws away what was captured so far.
void clearCapture();

/// Moves whole seconds of captured voice into the message being left; `flush` also takes the
/// last part-second.
void recordMessageStep(bool flush);

/// Captured sound is discarded until this monotonic tick (milliseconds).
void setCaptureHoldOff(uint64_t untilMs);

}  // namespace dialo

#pragma once
// The phone's own signal sounds, synthesised at 8 kHz: the ring tone played once per ring and
// the beep that tells a caller to start speaking a message.

#include <cstdint>
#include <functional>
#include <vector>

namespace dialo {

/// One ring: 1 s of 440 Hz plus 480 Hz, queued; returns at once. Holds off the microphone.
void playRingTone();

/// The ring tone's 8000 samples (peak under 14000, soft first and last 50 ms).
std::vector<int16_t> ringTone();

/// The 0.45 s 880 Hz beep before a message.
std::vector<int16_t> messageBeep();

/// The system's short alert sound, for when no output device can be opened. A front end
/// installs how it sounds (the window beeps, the console prints a bell line).
void systemBeep();
void setSystemBeep(std::function<void()> beep);

}  // namespace dialo

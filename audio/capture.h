#pragma once
// The microphone. Once a call first needs it, capture runs until the program ends and every
// buffer (40 ms) is appended to one bounded capture buffer, except during the hold-off while
// the phone's own tones play. Consumers take sound from the front: the message recorder here,
// the live sender of a call.

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/bytes.h"

namespace dialo {

/// Starts capture when it is not running; true when it runs. False without a microphone.
/// Capture a call started runs until the program ends.
[[nodiscard]] bool startCapture();

/// The level meter's wish for the microphone: set where the meter starts and stops showing,
/// without waiting; `applyMeterCapture` then carries out the latest one.
void wantCaptureForMeter(bool on);
/// Opens the microphone for the meter, or releases it when only the meter had it open (never
/// while a call has used it). Waits on the sound system. True when capture runs.
bool applyMeterCapture();

/// The microphone in use: an input device id; empty for the sound system's default.
std::string inputId();
/// Uses `id` from now on; capture that runs moves to it.
void setInputId(const std::string& id);

/// Chooses the microphone: stored with the settings and used at once. False when no such
/// device is listed.
[[nodiscard]] bool chooseInput(const std::string& id);

/// Throws away what was captured so far.
void clearCapture();

/// The longest message the recorder takes, and so the longest tape a phone accepts.
inline constexpr uint32_t kMessageLimitSeconds = 60;

/// Moves whole seconds of captured voice into the message being left (leading silence and
/// seconds holding the ring tone are skipped; 60 seconds at most); `flush` also takes a last
/// part-second of at least 0.1 s, padded with silence.
void recordMessageStep(bool flush);

/// Captured sound is discarded until this monotonic tick (milliseconds).
void setCaptureHoldOff(uint64_t untilMs);

/// Seconds of sound the buffer keeps when nobody takes it; below 60 counts as 60.
void setCaptureBound(int seconds);

/// A chunk of live voice for a call, as GSM bytes: once at least 0.12 s is buffered (after
/// `talkGate`, voice having been heard, "audio.chunk_ms": 0.8 s unless set), up to 2 s in whole
/// blocks is taken; silence is thrown away and answers nothing, voice sets `voiced`. Muted, the
/// buffer just empties.
Bytes takeLiveChunk(bool talkGate, bool& voiced);

/// PCM bytes a live chunk gathers once voice was heard, for a chunk length in milliseconds:
/// the nearest whole number of 40 ms blocks, at most 2 s.
size_t liveChunkBytes(uint32_t chunkMs);

/// Takes up to `maxBytes` (whole 640-byte blocks) from the front of the capture buffer.
Bytes takeCaptured(size_t maxBytes);

/// Bytes of sound waiting in the capture buffer.
size_t capturedBytes();

/// Where the sound system hands each captured buffer (8 kHz mono samples).
void captureDeliver(const int16_t* samples, size_t count);

/// The loudest sample magnitude (0 to 32767) captured in the last second; 0 when no buffer came.
int micPeakLevel();

}  // namespace dialo

#pragma once
// Everything the phone plays is 8 kHz 16-bit mono chunks: received voice and the phone's tones
// in one queue, a message being played in another. A pump, every 20 ms, scales each chunk by
// the volume, converts it to the chosen device's own format and writes what the device can
// take. A call comes first: its sound ends a message that plays or is paused.

#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace dialo {

/// True when an output stream is open (opening one if needed).
[[nodiscard]] bool outputAvailable();

/// Decodes GSM 6.10 bytes and queues the sound; true when something was queued.
bool queueForPlayback(const Bytes& gsm);

/// Queues 8 kHz 16-bit mono samples at the back of the play queue.
void enqueuePcm(std::vector<int16_t> samples);

/// One round of the pump; the playback thread calls it every 20 ms.
void playbackStep();

/// Plays a message from its start, reopening the device so that a changed choice takes effect;
/// refused while a call is up. Empty on success, else the status line shown (it is also set).
std::string playMessage(const Bytes& gsm);

/// Pauses or resumes a message being played; its clock stops meanwhile. Nothing while a call is up.
void togglePause();

/// Stops a message; nothing of it already converted is heard. Outside a call whatever else is
/// queued goes too; a call's voice and tones play on.
void stopPlayback();

/// Ends a message that plays or is paused, so that a call's sound is heard at once; the
/// message's window learns it ended. Tones and voice queued stay.
void stopMessage();

/// The message clock: whether a message plays, is paused, and its start (Unix seconds, moved
/// on by each pause) and the pause's start (0 when none).
struct PlaybackClock {
    bool playing = false;
    bool paused = false;
    int64_t start = 0;
    int64_t pauseTime = 0;
};
PlaybackClock playbackClock();

/// Seconds of a message heard so far, pauses left out.
int64_t playbackSeconds();

/// The stored output choice (a device id; empty for none).
std::string outputId();
void setOutputId(const std::string& id);

/// Chooses a device for the phone's sound: stored at once, used from the next sound on.
/// False when no such device is listed.
[[nodiscard]] bool chooseOutput(const std::string& id);

/// Closes every output stream (the next sound opens the chosen device anew).
void releaseOutputs();

}  // namespace dialo

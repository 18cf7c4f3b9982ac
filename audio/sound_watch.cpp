#include "audio/sound_watch.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "audio/backend.h"
#include "audio/capture.h"
#include "audio/playback.h"
#include "base/clock.h"
#include "state/phone_state.h"

namespace dialo {
namespace {

constexpr uint64_t kRetryMs = 2000;  // between tries to reach a server that went away

std::mutex gWatchMutex;  // one step at a time
bool gSeenUp = false;    // the server was reached once; before that start-up's note stands
bool gAway = false;      // the server is known to be away
uint64_t gNextTryMs = 0;
// The settings' choices as last put in use. Only a change of the settings (a handle switch) moves
// the sound: a choice made meanwhile on the card is in the settings and in use already, and
// comparing a stale read with the live one would undo it.
std::optional<std::string> gAppliedOutput, gAppliedInput;

// Watch mutex held.
void reconnect() {
    const SoundBackend& backend = soundBackend();
    if (backend.connected()) {
        gSeenUp = true;
        return;
    }
    const uint64_t now = nowMs();
    if (!gAway) {
        gAway = true;
        gNextTryMs = now;
        if (gSeenUp) setStatus("The sound server stopped; reconnecting.");
    }
    if (now < gNextTryMs) return;
    gNextTryMs = now + kRetryMs;
    std::string note;
    if (!backend.open(note)) return;
    // Streams of the old server are dead; the next sound opens the device anew.
    releaseOutputs();
    gAway = false;
    gSeenUp = true;
    setStatus("Sound is back.");
}

void followChoices() {
    std::string output, input;
    {
        auto g = lockPhone();
        output = g.state.settings.output;
        input = g.state.settings.input;
    }
    if (output != gAppliedOutput) {
        gAppliedOutput = output;
        if (output != outputId()) {
            setOutputId(output);
            releaseOutputs();
        }
    }
    if (input != gAppliedInput) {
        gAppliedInput = input;
        setInputId(input);
    }
}

}  // namespace

void soundWatchStep() {
    std::lock_guard lock(gWatchMutex);
    // Each part may wait seconds on a server that stopped answering; a closing phone waits no more.
    if (!phoneFlags().running) return;
    reconnect();
    if (!phoneFlags().running) return;
    followChoices();
}

}  // namespace dialo

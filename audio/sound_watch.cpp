#include "audio/sound_watch.h"

#include <cstdint>
#include <mutex>
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
    if (output != outputId()) {
        setOutputId(output);
        releaseOutputs();
    }
    setInputId(input);
}

}  // namespace

void soundWatchStep() {
    std::lock_guard lock(gWatchMutex);
    reconnect();
    followChoices();
}

}  // namespace dialo

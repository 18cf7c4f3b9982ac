#include "audio/playback.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

#include "audio/backend.h"
#include "audio/devices.h"
#include "audio/gsm.h"
#include "audio/pcm.h"
#include "base/clock.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "store/phone_store.h"

namespace dialo {
namespace {

struct StreamCloser {
    void operator()(RenderStream* s) const { soundBackend().closeRender(s); }
};

struct OutputStream {
    std::unique_ptr<RenderStream, StreamCloser> handle;
    MixFormat format;
    Bytes pending;  // converted and not yet written to the device
};

// Lock order: the output mutex may be held while the queue mutex is taken, never the reverse;
// neither is held while the phone-state mutex is taken.
std::mutex gQueueMutex;
std::deque<Bytes> gQueue;  // 8 kHz mono PCM chunks, oldest first

std::mutex gOutputMutex;
std::vector<OutputStream> gStreams;  // in practice none or one
bool gPlayed = false;                // sound was written since the last reset
std::string gOutputId;

std::atomic<bool> gPlaying{false}, gPaused{false};
std::atomic<int64_t> gPauseTime{0}, gStart{0};
std::atomic<uint32_t> gGeneration{0};

// Output mutex held.
void releaseLocked() {
    gStreams.clear();
    gPlayed = false;
}

// Output mutex held. Opens the chosen device; true when a stream is open.
bool openOutputLocked() {
    if (!gStreams.empty()) return true;
    const std::vector<OutputDeviceInfo> list = listOutputDevices();
    const int chosen = chooseOutputDevice(list, gOutputId);
    if (chosen < 0) return false;
    OutputStream s;
    s.handle.reset(soundBackend().openRender(list[size_t(chosen)].id, s.format));
    if (!s.handle) return false;
    gStreams.push_back(std::move(s));
    return true;
}

void setStatusText(const std::string& text) {
    lockPhone().state.statusText = text;
    postUi(UiMessage::Refresh);
}

}  // namespace

bool outputAvailable() {
    std::lock_guard lock(gOutputMutex);
    return openOutputLocked();
}

bool queueForPlayback(const Bytes& gsm) {
    std::vector<Bytes> chunks = gsmDecode(gsm);
    if (chunks.empty()) return false;
    std::lock_guard lock(gQueueMutex);
    for (Bytes& c : chunks) gQueue.push_back(std::move(c));
    return true;
}

void enqueuePcm(std::vector<int16_t> samples) {
    Bytes pcm = bytesOf(samples);
    std::lock_guard lock(gQueueMutex);
    gQueue.push_back(std::move(pcm));
}

void playbackStep() {
    if (gPaused) return;
    uint32_t generation;
    Bytes chunk;
    bool haveChunk = false;
    {
        // Read with the pop, so that a stop either empties the queue first or drops the chunk.
        std::lock_guard lock(gQueueMutex);
        generation = gGeneration;
        if (!gQueue.empty()) {
            chunk = std::move(gQueue.front());
            gQueue.pop_front();
            haveChunk = true;
        }
    }
    std::lock_guard lock(gOutputMutex);
    if (generation != gGeneration) {
        for (OutputStream& s : gStreams) s.pending.clear();
    } else if (haveChunk && chunk.size() >= 2) {
        std::vector<int16_t> samples = samplesOf(chunk);
        applyVolume(samples.data(), samples.size(), phoneFlags().volume.load());
        chunk = bytesOf(samples);
        // Without a device the chunk is dropped, so nothing piles up behind it.
        if (openOutputLocked())
            for (OutputStream& s : gStreams) {
                const Bytes out = convertForOutput(s.format, chunk);
                s.pending.insert(s.pending.end(), out.begin(), out.end());
            }
    }

    bool busy = false;
    const SoundBackend& backend = soundBackend();
    for (size_t i = 0; i < gStreams.size();) {
        OutputStream& s = gStreams[i];
        const int64_t free = backend.writableFrames(s.handle.get());
        if (free < 0) {  // the device went away; the next sound opens the device chosen then
            gStreams.erase(gStreams.begin() + long(i));
            continue;
        }
        const size_t frame = s.format.blockAlign;
        const size_t bytes = std::min(size_t(free) * frame, s.pending.size() / frame * frame);
        if (bytes > 0 && backend.write(s.handle.get(), s.pending.data(), bytes)) {
            s.pending.erase(s.pending.begin(), s.pending.begin() + long(bytes));
            gPlayed = true;
        }
        busy = busy || !s.pending.empty() || backend.paddingFrames(s.handle.get()) > 0;
        ++i;
    }

    // A message has ended when its last frame has left the device, not when the queue empties.
    bool ended = false;
    {
        std::lock_guard queue(gQueueMutex);
        if (gPlaying && gPlayed && gQueue.empty() && !busy) {
            gPlaying = false;
            gPlayed = false;
            ended = true;
        }
    }
    if (ended) postUi(UiMessage::PlaybackEnded);
}

std::string playMessage(const Bytes& gsm) {
    {
        std::lock_guard lock(gOutputMutex);
        releaseLocked();
        if (!openOutputLocked()) {
            setStatusText("Could not open the speakers.");
            return "Could not open the speakers.";
        }
        {
            std::lock_guard queue(gQueueMutex);
            gQueue.clear();
        }
        for (OutputStream& s : gStreams) s.pending.clear();
        gPlayed = false;
    }
    gPaused = false;
    gPauseTime = 0;
    gPlaying = true;
    gStart = nowSeconds();
    if (!queueForPlayback(gsm)) {
        gPlaying = false;
        gStart = 0;
        setStatusText("Could not play that message.");
        return "Could not play that message.";
    }
    return "";
}

void togglePause() {
    if (!gPlaying) return;
    const bool pausing = !gPaused;
    const int64_t now = nowSeconds();
    if (pausing) {
        gPauseTime = now;
    } else {
        if (gPauseTime > 0 && gStart > 0) gStart += now - gPauseTime;
        gPauseTime = 0;
    }
    gPaused = pausing;
    std::lock_guard lock(gOutputMutex);
    for (OutputStream& s : gStreams) soundBackend().setPaused(s.handle.get(), pausing);
    postUi(UiMessage::Refresh);
}

void stopPlayback() {
    {
        std::lock_guard queue(gQueueMutex);
        ++gGeneration;
        gQueue.clear();
    }
    gPlaying = false;
    gPaused = false;
    gPauseTime = 0;
    gStart = 0;
    {
        std::lock_guard lock(gOutputMutex);
        for (OutputStream& s : gStreams) {
            s.pending.clear();
            soundBackend().flush(s.handle.get());
            soundBackend().setPaused(s.handle.get(), false);
        }
        gPlayed = false;
    }
    postUi(UiMessage::Refresh);
}

PlaybackClock playbackClock() { return {gPlaying, gPaused, gStart, gPauseTime}; }

int64_t playbackSeconds() {
    const PlaybackClock c = playbackClock();
    if (!c.playing || c.start <= 0) return 0;
    const int64_t at = c.paused && c.pauseTime > 0 ? c.pauseTime : nowSeconds();
    return std::max<int64_t>(0, at - c.start);
}

std::string outputId() {
    std::lock_guard lock(gOutputMutex);
    return gOutputId;
}

void setOutputId(const std::string& id) {
    std::lock_guard lock(gOutputMutex);
    gOutputId = id;
}

bool chooseOutput(const std::string& id) {
    const std::vector<OutputDeviceInfo> list = listOutputDevices();
    bool listed = false;
    for (const OutputDeviceInfo& d : list) listed = listed || d.id == id;
    if (!listed) return false;
    {
        std::lock_guard lock(gOutputMutex);
        gOutputId = id;
        releaseLocked();
    }
    auto g = lockPhone();
    g.state.settings.output = id;
    save_phone_store(g.state);
    return true;
}

void releaseOutputs() {
    std::lock_guard lock(gOutputMutex);
    releaseLocked();
}

}  // namespace dialo

#include "audio/playback.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

#include "audio/backend.h"
#include "audio/devices.h"
#include "audio/gsm.h"
#include "audio/pcm.h"
#include "audio/playout.h"
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
    bool toneAhead = false;  // `pending` ends with a tone
};

constexpr const char* kNoDevice = "No speakers or headphones are plugged in.";
constexpr const char* kCallUp = "A call is up; the message waits.";
constexpr int64_t kAheadSlackMs = 60;

// Lock order: the output mutex may be held while the queue mutex is taken, never the reverse;
// neither is held while the phone-state mutex is taken.
struct Queued {
    Bytes pcm;
    bool voice = false;  // the peer's, which waits for the play-out buffer; tones never do
};

std::mutex gQueueMutex;
std::deque<Queued> gQueue;   // live voice and tones: 8 kHz mono PCM chunks, oldest first
PlayoutBuffer gPlayout;      // for the voice in it
std::deque<Bytes> gMessage;  // the message being played, apart, so that a call never waits behind it

std::mutex gOutputMutex;
std::vector<OutputStream> gStreams;  // in practice none or one
bool gPlayed = false;                // sound was written since the last reset
bool gNoDeviceSaid = false;          // the status line says there is no device; said once
std::string gOutputId;

std::atomic<bool> gPlaying{false}, gPaused{false};
std::atomic<int64_t> gPauseTime{0}, gStart{0};
std::atomic<uint32_t> gGeneration{0};

// Output mutex held.
void releaseLocked() {
    gStreams.clear();
    gPlayed = false;
}

enum class Opened { Yes, NoDevice, Failed };

// Output mutex held. Opens the chosen device. `sayNone` is set when no device is listed and the
// status line has not said so since one last opened.
Opened openOutputLocked(bool& sayNone) {
    if (!gStreams.empty()) return Opened::Yes;
    const std::vector<OutputDeviceInfo> list = listOutputDevices();
    const int chosen = chooseOutputDevice(list, gOutputId);
    if (chosen < 0) {
        // Without its server the list is empty too; the sound watcher speaks of that.
        if (!soundBackend().connected()) return Opened::Failed;
        sayNone = !gNoDeviceSaid;
        gNoDeviceSaid = true;
        return Opened::NoDevice;
    }
    OutputStream s;
    s.handle.reset(soundBackend().openRender(list[size_t(chosen)].id, s.format));
    if (!s.handle) return Opened::Failed;
    gStreams.push_back(std::move(s));
    gNoDeviceSaid = false;
    return Opened::Yes;
}

// Output mutex held. Drops what the streams hold and lets them play again.
void flushOutputsLocked() {
    for (OutputStream& s : gStreams) {
        s.pending.clear();
        soundBackend().flush(s.handle.get());
        soundBackend().setPaused(s.handle.get(), false);
    }
    gPlayed = false;
}

// Queue mutex held. Ends the message that plays or waits paused; true when there was one.
bool endMessageLocked() {
    if (!gPlaying && gMessage.empty()) return false;
    gMessage.clear();
    ++gGeneration;
    gPlaying = false;
    gPaused = false;
    gPauseTime = 0;
    gStart = 0;
    return true;
}

void setStatusText(const std::string& text) {
    lockPhoneBrief().state.statusText = text;
    postUi(UiMessage::Refresh);
}

// The stream then carries a call's voice and tones; a message must not reopen, cork or flush it.
bool callUp() { return lockPhoneBrief().state.callState != CallState::Idle; }

}  // namespace

bool outputAvailable() {
    bool sayNone = false;
    bool open;
    {
        std::lock_guard lock(gOutputMutex);
        open = openOutputLocked(sayNone) == Opened::Yes;
    }
    if (sayNone) setStatusText(kNoDevice);
    return open;
}

bool queueForPlayback(const Bytes& gsm) {
    std::vector<Bytes> chunks = gsmDecode(gsm);
    if (chunks.empty()) return false;
    size_t bytes = 0;
    for (const Bytes& c : chunks) bytes += c.size();
    std::lock_guard lock(gQueueMutex);
    // The peer speaks: a ring still queued would only hold the voice back.
    std::erase_if(gQueue, [](const Queued& q) { return !q.voice; });
    playoutArrived(gPlayout, nowMs(), uint32_t(bytes * 1000 / kPcmSecondBytes));
    for (Bytes& c : chunks) gQueue.push_back({std::move(c), true});
    return true;
}

void enqueuePcm(std::vector<int16_t> samples) {
    Bytes pcm = bytesOf(samples);
    std::lock_guard lock(gQueueMutex);
    gQueue.push_back({std::move(pcm), false});
}

void playbackStep() {
    uint32_t generation;
    Bytes chunk;
    bool haveChunk = false, fromMessage = false, messageEnded = false, voice = false;
    uint32_t waitMs = 0;
    {
        // Read with the pop, so that a stop either empties the queue first or drops the chunk.
        std::lock_guard lock(gQueueMutex);
        if (!gQueue.empty()) {
            // A call comes before a message: its sound ends one that plays or waits paused.
            messageEnded = endMessageLocked();
            if (!gQueue.front().voice || playoutReleased(gPlayout, nowMs())) {
                voice = gQueue.front().voice;
                waitMs = gPlayout.waitMs;
                chunk = std::move(gQueue.front().pcm);
                gQueue.pop_front();
                haveChunk = true;
            }
        } else if (!gPaused && !gMessage.empty()) {
            chunk = std::move(gMessage.front());
            gMessage.pop_front();
            haveChunk = fromMessage = true;
        }
        generation = gGeneration;
    }
    if (gPaused && !haveChunk) return;  // the stream is corked and keeps what it has
    bool sayNone = false;
    std::unique_lock lock(gOutputMutex);
    if (messageEnded) {
        flushOutputsLocked();
    } else if (generation != gGeneration) {
        for (OutputStream& s : gStreams) s.pending.clear();
        if (fromMessage) haveChunk = false;
    }
    if (haveChunk && chunk.size() >= 2) {
        std::vector<int16_t> samples = samplesOf(chunk);
        if (voice && !gStreams.empty() && !gStreams.front().toneAhead) {
            // What is still to be heard before this chunk, beyond the wait and a pump round or two.
            const OutputStream& s = gStreams.front();
            const int64_t frames = int64_t(s.pending.size() / std::max<size_t>(1, s.format.blockAlign)) +
                                   std::max<int64_t>(0, soundBackend().paddingFrames(s.handle.get()));
            const int64_t aheadMs = s.format.rate > 0 ? frames * 1000 / int64_t(s.format.rate) : 0;
            const int64_t excess = aheadMs - int64_t(waitMs) - kAheadSlackMs;
            if (excess > 0) (void)dropQuietFrames(samples, uint32_t(excess));
        }
        applyVolume(samples.data(), samples.size(), phoneFlags().volume.load());
        chunk = bytesOf(samples);
        // Without a device the chunk is dropped, so nothing piles up behind it.
        if (openOutputLocked(sayNone) == Opened::Yes)
            for (OutputStream& s : gStreams) {
                if (voice && s.toneAhead) s.pending.clear();  // the rest of a ring; the device plays out its part
                const Bytes out = convertForOutput(s.format, chunk);
                s.pending.insert(s.pending.end(), out.begin(), out.end());
                s.toneAhead = !voice && !fromMessage;
            }
    }

    bool busy = false;
    const SoundBackend& backend = soundBackend();
    for (size_t i = 0; i < gStreams.size();) {
        OutputStream& s = gStreams[i];
        const int64_t free = backend.writableFrames(s.handle.get());
        if (free < 0) {  // the device or its server went away; the next sound opens the device chosen then
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
        if (!busy && std::none_of(gQueue.begin(), gQueue.end(), [](const Queued& q) { return q.voice; }))
            playoutRanDry(gPlayout, nowMs());
        if (gPlaying && gPlayed && gMessage.empty() && gQueue.empty() && !busy) {
            gPlaying = false;
            gPlayed = false;
            ended = true;
        }
    }
    lock.unlock();
    if (sayNone) setStatusText(kNoDevice);
    if (ended || messageEnded) postUi(UiMessage::PlaybackEnded);
    if (messageEnded) postUi(UiMessage::Refresh);
}

std::string playMessage(const Bytes& gsm) {
    if (callUp()) {
        setStatusText(kCallUp);
        return kCallUp;
    }
    std::vector<Bytes> chunks = gsmDecode(gsm);
    Opened opened;
    {
        std::lock_guard lock(gOutputMutex);
        releaseLocked();
        bool sayNone = false;
        opened = openOutputLocked(sayNone);
        if (opened == Opened::Yes) {
            {
                std::lock_guard queue(gQueueMutex);
                gMessage.clear();
            }
            for (OutputStream& s : gStreams) s.pending.clear();
            gPlayed = false;
        }
    }
    if (opened != Opened::Yes) {
        const std::string text = opened == Opened::NoDevice ? kNoDevice : "Could not open the speakers.";
        setStatusText(text);
        return text;
    }
    if (chunks.empty()) {
        gPlaying = false;
        gStart = 0;
        setStatusText("Could not play that message.");
        return "Could not play that message.";
    }
    {
        std::lock_guard queue(gQueueMutex);
        gPaused = false;
        gPauseTime = 0;
        gPlaying = true;
        gStart = nowSeconds();
        for (Bytes& c : chunks) gMessage.push_back(std::move(c));
    }
    // A call that came up meanwhile may have ended the message before it was queued.
    if (callUp()) {
        stopMessage();
        setStatusText(kCallUp);
        return kCallUp;
    }
    return "";
}

void togglePause() {
    // Corking the stream would freeze the far end's voice too; a call ends the message anyway.
    if (callUp()) return;
    {
        // Both locks: a call's sound ending the message meanwhile must not leave its stream corked.
        std::lock_guard lock(gOutputMutex);
        std::lock_guard queue(gQueueMutex);
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
        for (OutputStream& s : gStreams) soundBackend().setPaused(s.handle.get(), pausing);
    }
    postUi(UiMessage::Refresh);
}

void stopPlayback() {
    // A call's voice and tones stay; outside a call what waits is a tone of the one just ended.
    const bool call = callUp();
    bool ended;
    {
        std::lock_guard queue(gQueueMutex);
        ended = endMessageLocked();
        if (!call) {
            gQueue.clear();
            gPlayout = {};
            ++gGeneration;
        }
    }
    // While a message plays no call sound has been converted since it began: the stream holds
    // only the message.
    if (ended || !call) {
        std::lock_guard lock(gOutputMutex);
        flushOutputsLocked();
    }
    postUi(UiMessage::Refresh);
}

void stopMessage() {
    bool ended;
    {
        std::lock_guard queue(gQueueMutex);
        ended = endMessageLocked();
    }
    if (!ended) return;
    {
        std::lock_guard lock(gOutputMutex);
        flushOutputsLocked();
    }
    postUi(UiMessage::PlaybackEnded);
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
    // The settings first: whoever follows them sees the same choice as here.
    {
        auto g = lockPhone();
        g.state.settings.output = id;
        save_phone_store(g.state);
    }
    std::lock_guard lock(gOutputMutex);
    gOutputId = id;
    releaseLocked();
    return true;
}

void releaseOutputs() {
    std::lock_guard lock(gOutputMutex);
    releaseLocked();
}

}  // namespace dialo

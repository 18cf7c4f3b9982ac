#include "audio/capture.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "audio/backend.h"
#include "audio/devices.h"
#include "audio/gsm.h"
#include "audio/pcm.h"
#include "base/clock.h"
#include "base/config.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "store/phone_store.h"

namespace dialo {
namespace {

constexpr int kMinBoundSeconds = 60;
constexpr size_t kSlackBytes = 2 * kPcmSecondBytes;  // the buffer may run two seconds over its bound
constexpr size_t kFlushMinBytes = 1600;               // 0.1 s: a shorter tail is not a second of message
constexpr size_t kFirstChunkBytes = 1920;   // 0.12 s: the first words of a call go out at once
constexpr size_t kMaxChunkBytes = 32000;    // 2 s

std::mutex gStartMutex;  // starting capture and the microphone choice
bool gStarted = false;   // capture was asked for; a changed choice restarts it
bool gForCall = false;   // a call asked for it: never released
std::atomic<bool> gMeterWanted{false};
std::string gInputId;
std::mutex gCaptureMutex;  // the capture buffer and the level ring
Bytes gCaptured;
struct Peak {
    int level = 0;
    uint64_t atMs = 0;  // monotonic: a microphone gone quiet must not hold the meter up
};
constexpr uint64_t kPeakKeptMs = 1000;
// The loudest sample of each capture buffer of the last second.
std::array<Peak, kPeakKeptMs * 8 / kCaptureSamples> gPeaks{};
size_t gPeakAt = 0;
std::mutex gRecorderMutex;  // one whole recording step at a time
std::atomic<uint64_t> gHoldOff{0};
std::atomic<int> gBound{kMinBoundSeconds};

}  // namespace

bool startCapture() {
    // Not the capture mutex: the sound system may deliver the first buffer before it answers.
    // Asked each time, so that a microphone whose server went away is not taken for running.
    std::lock_guard lock(gStartMutex);
    gStarted = true;
    gForCall = true;
    return soundBackend().startCapture(captureDeliver, gInputId);
}

void wantCaptureForMeter(bool on) { gMeterWanted = on; }

bool applyMeterCapture() {
    // The latest wish, read under the lock: workers that run out of order still end on it.
    std::lock_guard lock(gStartMutex);
    if (gMeterWanted.load()) {
        gStarted = true;
        return soundBackend().startCapture(captureDeliver, gInputId);
    }
    if (gStarted && !gForCall) {
        soundBackend().stopCapture();
        gStarted = false;
    }
    return false;
}

std::string inputId() {
    std::lock_guard lock(gStartMutex);
    return gInputId;
}

void setInputId(const std::string& id) {
    std::lock_guard lock(gStartMutex);
    if (id == gInputId) return;
    gInputId = id;
    if (gStarted) (void)soundBackend().startCapture(captureDeliver, gInputId);
}

bool chooseInput(const std::string& id) {
    bool listed = false;
    for (const OutputDeviceInfo& d : listInputDevices()) listed = listed || d.id == id;
    if (!listed) return false;
    // The settings first: whoever follows them sees the same choice as here.
    {
        auto g = lockPhone();
        g.state.settings.input = id;
        save_phone_store(g.state);
    }
    setInputId(id);
    return true;
}

void clearCapture() {
    std::lock_guard lock(gCaptureMutex);
    gCaptured.clear();
}

void setCaptureHoldOff(uint64_t untilMs) { gHoldOff = untilMs; }
void setCaptureBound(int seconds) { gBound = seconds; }

void captureDeliver(const int16_t* samples, size_t count) {
    if (count == 0) return;
    std::vector<int16_t> copy(samples, samples + count);
    int peak = 0;
    for (int16_t s : copy) peak = std::max(peak, std::abs(int(s)));
    const bool keep = nowMs() >= gHoldOff.load();
    if (keep) applyVolume(copy.data(), copy.size(), phoneFlags().volume.load());
    const Bytes pcm = bytesOf(copy);
    std::lock_guard lock(gCaptureMutex);
    gPeaks[gPeakAt++ % gPeaks.size()] = {peak, nowMs()};
    if (keep) gCaptured.insert(gCaptured.end(), pcm.begin(), pcm.end());
    const size_t bound = size_t(std::max(gBound.load(), kMinBoundSeconds)) * kPcmSecondBytes;
    if (gCaptured.size() > bound + kSlackBytes) gCaptured.erase(gCaptured.begin(), gCaptured.end() - long(bound));
}

size_t liveChunkBytes(uint32_t chunkMs) {
    const size_t bytes = size_t(chunkMs) * kPcmSecondBytes / 1000;
    return std::clamp((bytes + kPcmBlockBytes / 2) / kPcmBlockBytes * kPcmBlockBytes, kPcmBlockBytes, kMaxChunkBytes);
}

Bytes takeLiveChunk(bool talkGate, bool& voiced) {
    voiced = false;
    Bytes pcm;
    {
        std::lock_guard lock(gCaptureMutex);
        if (phoneFlags().mute) {
            gCaptured.clear();
            return {};
        }
        if (gCaptured.size() < (talkGate ? liveChunkBytes(audioConfig().chunkMs) : kFirstChunkBytes)) return {};
        const size_t n = std::min(gCaptured.size() / kPcmBlockBytes * kPcmBlockBytes, kMaxChunkBytes);
        pcm.assign(gCaptured.begin(), gCaptured.begin() + long(n));
        gCaptured.erase(gCaptured.begin(), gCaptured.begin() + long(n));
    }
    if (isSilent(pcm)) return {};
    voiced = true;
    return gsmEncode(pcm, true);  // each chunk is decoded on its own
}

Bytes takeCaptured(size_t maxBytes) {
    std::lock_guard lock(gCaptureMutex);
    const size_t take = std::min(maxBytes, gCaptured.size()) / kPcmBlockBytes * kPcmBlockBytes;
    Bytes out(gCaptured.begin(), gCaptured.begin() + long(take));
    gCaptured.erase(gCaptured.begin(), gCaptured.begin() + long(take));
    return out;
}

size_t capturedBytes() {
    std::lock_guard lock(gCaptureMutex);
    return gCaptured.size();
}

int micPeakLevel() {
    const uint64_t now = nowMs();
    std::lock_guard lock(gCaptureMutex);
    int level = 0;
    for (const Peak& p : gPeaks)
        if (now - p.atMs <= kPeakKeptMs) level = std::max(level, p.level);
    return level;
}

void recordMessageStep(bool flush) {
    std::lock_guard recorder(gRecorderMutex);
    std::vector<Bytes> seconds;
    {
        std::lock_guard lock(gCaptureMutex);
        if (phoneFlags().mute) {
            gCaptured.clear();
            return;
        }
        size_t at = 0;
        for (; gCaptured.size() - at >= kPcmSecondBytes && seconds.size() < kMessageLimitSeconds; at += kPcmSecondBytes)
            seconds.emplace_back(gCaptured.begin() + long(at), gCaptured.begin() + long(at + kPcmSecondBytes));
        if (flush && seconds.size() < kMessageLimitSeconds && gCaptured.size() - at >= kFlushMinBytes) {
            Bytes last(gCaptured.begin() + long(at), gCaptured.end());
            last.resize(kPcmSecondBytes, 0);
            seconds.push_back(std::move(last));
            at = gCaptured.size();
        }
        gCaptured.erase(gCaptured.begin(), gCaptured.begin() + long(at));
    }
    bool voiced = lockPhoneBrief().state.messageVoiced;
    std::vector<Bytes> kept;
    for (const Bytes& second : seconds) {
        if (holdsRingTone(second)) continue;
        if (!voiced && isSilent(second)) continue;
        Bytes gsm = gsmEncode(second, !voiced);  // the message's first second starts its stream
        voiced = true;
        if (!gsm.empty()) kept.push_back(std::move(gsm));
    }
    if (kept.empty()) return;
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        s.messageVoiced = true;
        for (const Bytes& gsm : kept) {
            if (s.messageSeconds >= kMessageLimitSeconds) break;
            s.messageAudio.insert(s.messageAudio.end(), gsm.begin(), gsm.end());
            ++s.messageSeconds;
            s.statusText = "Recording  " + std::to_string(s.messageSeconds) + " / 60";
        }
    }
    postUi(UiMessage::Refresh);
}

}  // namespace dialo

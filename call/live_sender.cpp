#include "call/live_sender.h"

#include <algorithm>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "audio/capture.h"
#include "audio/gsm.h"
#include "base/clock.h"
#include "call/event.h"
#include "call/send.h"
#include "call/tapes.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"

namespace dialo {
namespace {

constexpr uint32_t kCycleMs = 40;
constexpr int kTalkingBoundSeconds = 300;  // a peer slow to take our chunks loses nothing said
constexpr int kIdleBoundSeconds = 60;
constexpr uint64_t kRetryMs = 2000;
constexpr uint64_t kHeldRetryMs = 3000;  // a coin has to clear first

// What the sender holds between cycles: a chunk not yet sent keeps its number, so that a
// re-send is the same event to the peer.
struct Pending {
    Bytes gsm;
    uint32_t number = 0;
    uint64_t nextSendMs = 0;
};

// Records while a caller leaves a message; at the limit the tape goes by itself.
void recordingCycle() {
    recordMessageStep(false);
    uint32_t seconds;
    uint64_t retryAt;
    {
        auto g = lockPhone();
        seconds = g.state.messageSeconds;
        retryAt = g.state.messageRetryAt;
        if (seconds >= kMessageLimitSeconds) g.state.statusText = "60 seconds. Sending.";
    }
    if (seconds < kMessageLimitSeconds) return;
    postUi(UiMessage::Refresh);
    if (nowMs() >= retryAt) leaveMessage(false);
}

void talkingCycle(Pending& p) {
    if (nowMs() < p.nextSendMs) return;
    if (p.gsm.empty()) {
        bool voiced = false;
        const bool gate = lockPhoneBrief().state.talkGate;  // not held through the encoding
        p.gsm = takeLiveChunk(gate, voiced);
        if (voiced) lockPhoneBrief().state.talkGate = true;
        if (p.gsm.empty()) return;
    }
    Peer peer;
    std::string callId;
    {
        auto g = lockPhone();
        peer = currentPeer(g.state);
        callId = g.state.callId;
        if (p.number == 0) p.number = ++g.state.audioSeq;
    }
    nlohmann::json event = buildAudioEvent(callId, p.number, p.gsm);
    if (!sendEvent(peer, event, kAudioRate, false)) {
        p.nextSendMs = nowMs() + (holdFlag() ? kHeldRetryMs : kRetryMs);
        return;
    }
    traceVoice({VoiceTrace::Sent, p.number, p.gsm.size(), nowUnixMs()});
    p = Pending{};
    {
        auto g = lockPhone();
        g.state.statusText = "Connected.  " + std::to_string(g.state.callSats) + " sats broadcast.";
    }
    postUi(UiMessage::Refresh);
}

// A chunk's transaction: its GSM bytes go base64 into the signed event, whose sealed form is
// hex, so each costs 8/3 bytes; the rest (signature, names, the seal, inputs and outputs) is
// about this much, as measured on the devnet.
constexpr int64_t kAudioTxOverheadBytes = 1400;

std::mutex gTraceMutex;
std::function<void(const VoiceTrace&)> gTrace;

}  // namespace

void setVoiceTrace(std::function<void(const VoiceTrace&)> trace) {
    std::lock_guard lock(gTraceMutex);
    gTrace = std::move(trace);
}

void traceVoice(const VoiceTrace& trace) {
    std::lock_guard lock(gTraceMutex);
    if (gTrace) gTrace(trace);
}

LiveCost liveCostPerMinute(uint32_t chunkMs) {
    const int64_t pcm = int64_t(liveChunkBytes(chunkMs));
    const int64_t gsm = pcm / int64_t(kPcmBlockBytes) * int64_t(kGsmBlockBytes);
    const int64_t txBytes = kAudioTxOverheadBytes + gsm * 8 / 3;
    const int64_t perChunk = 2 + (txBytes * kAudioRate + 999) / 1000;
    LiveCost cost;
    cost.chunks = 60 * int64_t(kPcmSecondBytes) / pcm;
    cost.sats = cost.chunks * perChunk;
    return cost;
}

int readyCoinTarget(uint32_t chunkMs) {
    return int(std::clamp<int64_t>(liveCostPerMinute(chunkMs).chunks * 3 / 2, 120, 1000));
}

void liveSenderLoop() {
    Pending pending;
    while (phoneFlags().running) {
        sleepMs(kCycleMs);
        const CallState state = lockPhoneBrief().state.callState;
        setCaptureBound(state == CallState::Talking ? kTalkingBoundSeconds : kIdleBoundSeconds);
        if (state == CallState::Talking) {
            talkingCycle(pending);
            continue;
        }
        pending = Pending{};
        lockPhoneBrief().state.talkGate = false;
        if (state == CallState::LeavingMessage) recordingCycle();
    }
}

}  // namespace dialo

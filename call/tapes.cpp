#include "call/tapes.h"

#include <nlohmann/json.hpp>

#include "audio/capture.h"
#include "base/clock.h"
#include "call/call_control.h"
#include "call/call_record.h"
#include "call/event.h"
#include "call/send.h"
#include "state/call_state.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "wallet/spends.h"

namespace dialo {
namespace {

constexpr uint64_t kMessageRetryMs = 3000;

// Ends the message's call; true when the state moved (which told the window). The phone may be
// idle already: the peer's hang-up, or this user's while the message went out, ended the call.
bool endMessage(PhoneState& s, CallWhy why) REQUIRES(phoneMutex()) {
    const bool moved = s.callState != CallState::Idle && moveCallState(s, s.callState, CallState::Idle, why);
    s.caption.clear();
    phoneFlags().ringStop = true;
    s.messageAudio.clear();
    s.messageSeconds = 0;
    return moved;
}

// A callee whose ringing ran out stays `Incoming` until the call ends; without a message
// nothing else would tell it, and it would answer every later caller as busy.
void tellCalleeItEnded(const Peer& peer, const std::string& callId) { (void)tellHungUp(peer, callId); }

}  // namespace

void leaveMessage(bool hungUp) {
    PhoneFlags& f = phoneFlags();
    if (hungUp) f.leaveHungUp = true;
    {
        auto g = lockPhone();
        if (g.state.tapeClaimed) {
            // The message is being sent: the hang-up ends the call here, and the sender's
            // result finds it ended.
            bool moved = false;
            if (hungUp) {
                moved = g.state.callState != CallState::Idle &&
                        moveCallState(g.state, g.state.callState, CallState::Idle, CallWhy::HungUp);
                g.state.caption.clear();
                f.ringStop = true;
                g.state.statusText = "Hung up.";
            }
            g.lock.unlock();
            if (!moved) postUi(UiMessage::Refresh);
            return;
        }
        g.state.tapeClaimed = true;
        f.sendingMessage = true;
    }
    recordMessageStep(true);

    Bytes audio;
    Peer peer;
    std::string callId;
    uint32_t seconds;
    bool final;
    {
        auto g = lockPhone();
        audio = g.state.messageAudio;
        peer = currentPeer(g.state);
        callId = g.state.callId;
        seconds = g.state.messageSeconds;
        final = hungUp || f.leaveHungUp;
        if (audio.empty() || peer.address.empty() || callId.empty()) {
            g.state.tapeClaimed = false;
            f.leaveHungUp = false;
            const bool moved = final && endMessage(g.state, CallWhy::HungUp);
            g.state.statusText = "No message to leave.";
            g.lock.unlock();
            if (!moved) postUi(UiMessage::Refresh);
            f.sendingMessage = false;
            if (final) tellCalleeItEnded(peer, callId);
            return;
        }
    }
    const int64_t secs = seconds >= 1 ? seconds : std::max<int64_t>(1, int64_t(audio.size() / kGsmBytesPerSecond));
    setStatus("Sending the message.");
    nlohmann::json tape = buildTapeEvent(callId, audio, secs);
    // Keyed by the call: a retry after an unclear answer sends the first try's transaction, so
    // the message is never paid twice.
    const bool sent = sendEvent(peer, tape, kTapeRate, false, nullptr, true, callId);
    bool moved = false;
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        // Hung up, or the call gone, while it was being sent: a failed message is not tried again.
        final = final || f.leaveHungUp || s.callId != callId || s.callState != CallState::LeavingMessage;
        if (s.callId == callId) {
            if (sent) {
                appendCallRecord(s, int32_t(secs));
                moved = endMessage(s, CallWhy::MessageLeft);
                s.statusText = "Message left for " + peer.handle + ".";
            } else {
                s.tapeClaimed = false;
                if (final) {
                    moved = endMessage(s, CallWhy::HungUp);
                    f.leaveHungUp = false;
                } else {
                    s.messageRetryAt = nowMs() + kMessageRetryMs;
                }
                if (!holdFlag()) s.statusText = "The message did not send.";
            }
        }
        if (sent) f.leaveHungUp = false;
    }
    if (!moved) postUi(UiMessage::Refresh);
    f.sendingMessage = false;
    if (!sent && final) {
        forget_payload_key(callId);
        tellCalleeItEnded(peer, callId);
    }
}

}  // namespace dialo

#include "call/call_control.h"

#include <openssl/rand.h>

#include <mutex>

#include <nlohmann/json.hpp>

#include "audio/capture.h"
#include "audio/playback.h"
#include "audio/tones.h"
#include "base/clock.h"
#include "base/detached.h"
#include "base/config.h"
#include "base/text.h"
#include "call/background.h"
#include "call/call_record.h"
#include "call/event.h"
#include "call/send.h"
#include "call/tapes.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "store/phone_store.h"
#include "vaultra/connect.h"
#include "vaultra/identity_lookup.h"
#include "vaultra/own_handle.h"
#include "vaultra/resolve.h"
#include "wallet/destination.h"
#include "wallet/coins.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

namespace dialo {
namespace {

constexpr int kMaxRings = 10;
constexpr int kRingsAfterBox = 3;
constexpr int kChecksPerRing = 30;
constexpr uint32_t kCheckMs = 100;
constexpr int64_t kDivertAfterSeconds = 6;
constexpr int kSplitBelowCoins = 40;
constexpr size_t kMaxTypedHandle = 179;

bool running() { return phoneFlags().running.load(); }

CallState stateNow() { return lockPhone().state.callState; }

// Starts a detached thread; a thread that cannot be made is a step not taken, never a crash.
void detached(void (*body)()) { (void)startDetached(body); }

bool soundReady() { return startCapture() && outputAvailable(); }

void toIdle(PhoneState& s) {
    s.callState = CallState::Idle;
    s.caption.clear();
}

// Waits out one ring, 100 ms at a time; false when `stop` asks to end it early.
template <class Stop>
bool waitRing(Stop stop) {
    for (int i = 0; i < kChecksPerRing; ++i) {
        if (stop()) return false;
        sleepMs(kCheckMs);
    }
    return !stop();
}

void outgoingRinger() {
    PhoneFlags& f = phoneFlags();
    int played = 0;
    auto boxedOut = [&] { return f.ringStop && played >= kRingsAfterBox; };
    for (int ring = 1; ring <= kMaxRings; ++ring) {
        if (!running() || boxedOut()) break;
        {
            auto g = lockPhone();
            if (g.state.callState != CallState::Calling) break;
            g.state.statusText = "Ringing  " + std::to_string(ring);
        }
        postUi(UiMessage::Refresh);
        playRingTone();
        ++played;
        if (!waitRing([&] { return !running() || stateNow() != CallState::Calling || boxedOut(); })) break;
    }
    if (!running() || stateNow() != CallState::Calling) return;

    setStatus("Leave a message.");
    setCaptureHoldOff(nowMs() + 900);
    if (outputAvailable()) {
        enqueuePcm(messageBeep());
        sleepMs(650);
        clearCapture();
        setCaptureHoldOff(nowMs() + 150);
    } else {
        systemBeep();
        sleepMs(400);
        clearCapture();
    }
    clearCapture();
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.callState != CallState::Calling) return;
        s.callState = CallState::LeavingMessage;
        s.messageAudio.clear();
        s.messageSeconds = 0;
        s.messageVoiced = false;
        s.callStart = nowSeconds();
        s.messageRetryAt = 0;
        f.leaveHungUp = false;
        s.statusText = "Leave a message.";
        f.ringStop = true;
    }
    postUi(UiMessage::Refresh);
}

void incomingRinger() {
    PhoneFlags& f = phoneFlags();
    int64_t deadline;
    {
        auto g = lockPhone();
        deadline = (g.state.inviteTime > 0 ? g.state.inviteTime : nowSeconds()) + kDivertAfterSeconds;
    }
    auto over = [&f] { return !running() || f.ringStop || stateNow() != CallState::Incoming; };
    for (int ring = 1; ring <= kMaxRings && !over(); ++ring) {
        bool divert;
        int notify;
        {
            auto g = lockPhone();
            divert = g.state.boxes.answerphone && g.state.callState == CallState::Incoming && nowSeconds() >= deadline;
            notify = g.state.settings.notify;
        }
        if (divert && (divertToAnswerPhone() || stateNow() != CallState::Incoming)) break;
        if ((notify == 0 || notify == 1) && !phoneFlags().quietRing) playRingTone();
        if (!waitRing(over)) break;
    }
    f.ringerActive = false;
}

}  // namespace

std::string newCallId() {
    Bytes b(8);
    if (RAND_bytes(b.data(), int(b.size())) != 1) {
        // Without the system's randomness a clock-based id still tells calls apart.
        const uint64_t t = nowMs() ^ (uint64_t(nowSeconds()) << 32);
        for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(t >> (8 * i));
    }
    return hex_encode(b);
}

void startIncomingRinger() {
    // Once per ringing call: a call that rang out stays Incoming, and the next event read
    // would otherwise ring it all over again.
    static std::mutex rangMutex;
    static std::string rangFor;
    const std::string callId = lockPhone().state.callId;
    std::lock_guard rang(rangMutex);
    if (callId == rangFor) return;
    bool expected = false;
    if (!phoneFlags().ringerActive.compare_exchange_strong(expected, true)) return;
    postUi(UiMessage::RingStart);
    if (startDetached(incomingRinger)) rangFor = callId;
    else phoneFlags().ringerActive = false;
}

bool findPeer(const std::string& destination, std::string& address, std::string& key, std::string& status) {
    std::string error;
    address = resolve_destination(destination, 1, own_paymail(), error).address;
    if (address.empty()) {
        status = error.empty() ? "No payment address for that handle." : error;
        return false;
    }
    const std::string handle = normalize_destination(destination);
    key = identity_lookup(handle, handle + "@" + networkConfig().serviceDomain);
    if (key.empty()) {
        status = "No paymail key for " + handle + ".";
        return false;
    }
    return true;
}

void placeCall(const std::string& typed) {
    const std::string handle = normalizeHandle(typed.substr(0, kMaxTypedHandle));
    if (handle.empty()) return setStatus("Type a handle first.");
    if (phoneFlags().sendingMessage) return setStatus("Still sending the last message.");
    // Read before the phone-state mutex is taken: spends hold the wallet lock across network
    // requests, and the window waits on the phone-state mutex to paint.
    std::string own, ownAddress;
    if (vaultra_connected()) {
        auto g = lockWallet();
        if (load_wallet(g.state)) {
            refresh_own_handle(g.state, false);
            own = g.state.paymail;
            ownAddress = g.state.keys.defaultKey.address;
        }
    }
    if (own.empty()) return setStatus("Connect Vaultra, with a published handle.");
    if (!soundReady()) return setStatus("This phone needs a microphone.");
    setStatus("Finding " + handle + ".");

    std::string peerAddress, key, status;
    if (!findPeer(handle, peerAddress, key, status)) return setStatus(status);

    clearCapture();
    const std::string callId = newCallId();
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        s.ownHandle = own;
        s.ownPayAddress = ownAddress;
        s.peerHandle = handle;
        s.peerPayAddress = peerAddress;
        s.peerPubKey = key;
        s.callId = callId;
        s.audioSeq = 0;
        s.heardAudioSeq = 0;
        s.aheadAudio.clear();
        s.aheadSinceMs = 0;
        s.tapeClaimed = false;
        phoneFlags().leaveHungUp = false;
        s.messageRetryAt = 0;
        s.callSats = 0;
        s.firstTxid.clear();
        s.outgoing = true;
        s.receipt = {};
        s.callStart = nowSeconds();
        s.callState = CallState::Calling;
        s.caption = "Calling  " + handle;
        phoneFlags().ringStop = false;
    }
    postUi(UiMessage::Refresh);

    nlohmann::json invite = buildEvent(kInvite, callId);
    if (sendEvent(peerAddress, invite, kSignalRate, true)) {
        detached(outgoingRinger);
        detached(payCallFee);
        if (count_ready_coins() < kSplitBelowCoins) detached(coinSplitOnce);
        return;
    }
    {
        auto g = lockPhone();
        // Only this call's failure ends it; a newer call placed meanwhile stays.
        if (g.state.callId == callId && g.state.callState == CallState::Calling) toIdle(g.state);
    }
    postUi(UiMessage::Refresh);
}

void acceptCall() {
    std::string address, callId;
    {
        auto g = lockPhone();
        if (g.state.callState != CallState::Incoming) return;
        address = g.state.peerPayAddress;
        callId = g.state.callId;
    }
    if (!soundReady()) return setStatus("This phone needs a microphone.");
    nlohmann::json accept = buildEvent(kAccept, callId);
    if (!sendEvent(address, accept, kSignalRate, true)) return;
    clearCapture();
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.callState != CallState::Incoming || s.callId != callId) return;
        phoneFlags().ringStop = true;
        s.callState = CallState::Talking;
        s.callStart = nowSeconds();
        s.statusText = "Connected.";
    }
    postUi(UiMessage::Refresh);
}

void hangUp() {
    CallState was;
    std::string address, callId;
    {
        auto g = lockPhone();
        was = g.state.callState;
        address = g.state.peerPayAddress;
        callId = g.state.callId;
        phoneFlags().ringStop = true;
    }
    if (was == CallState::LeavingMessage) return leaveMessage(true);
    if (was == CallState::Idle) return;
    if (!address.empty() && !callId.empty()) {
        nlohmann::json hangup = buildEvent(kHangup, callId);
        (void)sendEvent(address, hangup, kSignalRate, true);
    }
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        // A newer call placed or rung meanwhile is left alone.
        if (s.callId == callId) {
            if (was == CallState::Talking) appendCallRecord(s);
            else if (was == CallState::Incoming) record_missed_call(s, s.peerHandle, callId);
            toIdle(s);
            s.statusText = "Hung up.";
        }
    }
    postUi(UiMessage::Refresh);
}

bool divertToAnswerPhone() {
    std::string address, handle, callId;
    {
        auto g = lockPhone();
        if (g.state.callState != CallState::Incoming || !g.state.boxes.answerphone) return false;
        address = g.state.peerPayAddress;
        handle = g.state.peerHandle;
        callId = g.state.callId;
    }
    if (address.empty() || callId.empty()) return false;
    nlohmann::json box = buildEvent(kBox, callId);
    if (!sendEvent(address, box, kSignalRate, true)) return false;
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.callState != CallState::Incoming || s.callId != callId) return false;
        record_missed_call(s, s.peerHandle, callId);
        toIdle(s);
        s.statusText = "Sent them to answer-phone.";
        phoneFlags().ringStop = true;
    }
    postUi(UiMessage::Refresh);
    return true;
}

}  // namespace dialo

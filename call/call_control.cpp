#include "call/call_control.h"

#include <openssl/rand.h>

#include <chrono>
#include <future>
#include <memory>
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
#include "call/live_sender.h"
#include "call/send.h"
#include "call/tapes.h"
#include "state/call_state.h"
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
constexpr size_t kMaxTypedHandle = 179;
// A call nobody answered, diverted or hung up stops ringing this long (seconds) after its
// invite's time, as a missed call: its caller is gone.
constexpr int64_t kUnansweredSeconds = 180;
// After a hang-up that could not be sent, the waits (milliseconds) before each try again:
// about 30 seconds in all.
constexpr uint32_t kHangUpRetryMs[] = {3000, 7000, 20000};

bool running() { return phoneFlags().running.load(); }

CallState stateNow() { return lockPhoneBrief().state.callState; }

// Starts a detached thread; a thread that cannot be made is a step not taken, never a crash.
void detached(void (*body)()) { (void)startDetached(body); }

bool soundReady() { return startCapture() && outputAvailable(); }

bool divertCall(const std::string& expectedCallId);

// Ends the call here; true when it moved (the move told the window).
bool toIdle(PhoneState& s, CallState from, CallWhy why) REQUIRES(phoneMutex()) {
    if (!moveCallState(s, from, CallState::Idle, why)) return false;
    s.caption.clear();
    return true;
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
        if (s.callState != CallState::Calling ||
            !moveCallState(s, CallState::Calling, CallState::LeavingMessage, CallWhy::RangOut))
            return;
        s.messageAudio.clear();
        s.messageSeconds = 0;
        s.messageVoiced = false;
        s.callStart = nowSeconds();
        s.messageRetryAt = 0;
        f.leaveHungUp = false;
        s.statusText = "Leave a message.";
        f.ringStop = true;
    }
}

// The incoming ringer's bookkeeping: the call it was last started for, so that each ringing
// call rings once, and a ringer that outlived its call leaves the flag to the next one's.
std::mutex gRingMutex;
std::string gRangFor;

void incomingRinger(const std::string& callId) {
    PhoneFlags& f = phoneFlags();
    int64_t deadline;
    {
        auto g = lockPhone();
        deadline = (g.state.inviteTime > 0 ? g.state.inviteTime : nowSeconds()) + kDivertAfterSeconds;
    }
    stopMessage();  // a ringing call is heard over no message
    // This ringer belongs to its call: another call ringing next has a ringer of its own.
    auto over = [&f, &callId] {
        if (!running() || f.ringStop) return true;
        auto g = lockPhone();
        return g.state.callState != CallState::Incoming || g.state.callId != callId;
    };
    for (int ring = 1; ring <= kMaxRings && !over(); ++ring) {
        bool divert;
        int notify;
        {
            auto g = lockPhone();
            divert = g.state.boxes.answerphone && !g.state.answerClaimed && nowSeconds() >= deadline;
            notify = g.state.settings.notify;
        }
        if (divert && (divertCall(callId) || over())) break;
        if ((notify == 0 || notify == 1) && !phoneFlags().quietRing) playRingTone();
        if (!waitRing(over)) break;
    }
    std::lock_guard lock(gRingMutex);
    if (gRangFor == callId) f.ringerActive = false;
}

// Whether sound can be had for a call; says why not.
bool soundForCall() {
    if (soundReady()) return true;
    setStatus("This phone needs a microphone.");
    return false;
}

// Sends the accept of a call this phone claimed for answering; the claim is given back when
// it cannot be sent, and the call rings on.
void sendAccept(const Peer& peer, const std::string& callId) {
    nlohmann::json accept = buildEvent(kAccept, callId);
    stopMessage();
    if (!soundForCall() || !sendEvent(peer, accept, kSignalRate, true)) {
        {
            auto g = lockPhone();
            if (g.state.callState == CallState::Incoming && g.state.callId == callId) g.state.answerClaimed = false;
        }
        startIncomingRinger();
        return;
    }
    clearCapture();
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.callState != CallState::Incoming || s.callId != callId ||
            !moveCallState(s, CallState::Incoming, CallState::Talking, CallWhy::Answered))
            return;
        phoneFlags().ringStop = true;
        s.callStart = nowSeconds();
        s.statusText = "Connected.";
    }
}

// Waits up to `ms` milliseconds in short steps; false when the phone stops meanwhile.
bool pauseWhileRunning(uint32_t ms) {
    for (uint32_t waited = 0; waited < ms; waited += kCheckMs) {
        if (!running()) return false;
        sleepMs(kCheckMs);
    }
    return running();
}

bool sendHangUpOnce(const Peer& peer, const std::string& callId, bool reportFailure, SentEvent* sent = nullptr) {
    nlohmann::json hangup = buildEvent(kHangup, callId);
    return sendEvent(peer, hangup, kSignalRate, true, sent, reportFailure);
}

void retryHangUp(const Peer& peer, const std::string& callId) {
    for (uint32_t wait : kHangUpRetryMs) {
        if (!pauseWhileRunning(wait)) return;
        if (sendHangUpOnce(peer, callId, false)) return;
    }
}

// One try now; when it fails, more on a thread of their own. True when the first went out.
bool tellHungUpNow(const Peer& peer, const std::string& callId, bool reportFailure, SentEvent* sent) {
    if (peer.address.empty() || callId.empty()) return false;
    if (sendHangUpOnce(peer, callId, reportFailure, sent)) return true;
    (void)startDetached([peer, callId] { retryHangUp(peer, callId); });
    return false;
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
    std::string callId;
    {
        auto g = lockPhone();
        if (g.state.callState != CallState::Incoming || g.state.answerClaimed) return;
        callId = g.state.callId;
    }
    // Once per ringing call: a call that rang out stays Incoming, and the next event read
    // would otherwise ring it all over again.
    std::lock_guard lock(gRingMutex);
    if (callId == gRangFor) return;
    gRangFor = callId;
    phoneFlags().ringerActive = true;
    postUi(UiMessage::RingStart);
    if (!startDetached([callId] { incomingRinger(callId); })) phoneFlags().ringerActive = false;
}

void resetRingerMemory() {
    std::lock_guard lock(gRingMutex);
    gRangFor.clear();
}

bool tellHungUp(const Peer& peer, const std::string& callId) { return tellHungUpNow(peer, callId, false, nullptr); }

void sendHangUp(const Peer& peer, const std::string& callId) {
    (void)startDetached([peer, callId] { (void)tellHungUpNow(peer, callId, false, nullptr); });
}

void answerGlare(const std::string& callId) {
    Peer peer;
    {
        auto g = lockPhone();
        if (g.state.callState != CallState::Incoming || g.state.callId != callId || !g.state.answerClaimed) return;
        peer = currentPeer(g.state);
    }
    if (!startDetached([peer, callId] { sendAccept(peer, callId); })) {
        {
            auto g = lockPhone();
            if (g.state.callId == callId) g.state.answerClaimed = false;
        }
        startIncomingRinger();
    }
}

void endUnansweredCall() {
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.callState != CallState::Incoming || s.answerClaimed || nowSeconds() - s.inviteTime <= kUnansweredSeconds)
            return;
        if (!toIdle(s, CallState::Incoming, CallWhy::Unanswered)) return;
        record_missed_call(s, s.peerHandle, s.callId);
        s.statusText = "Missed call from " + s.peerHandle + ".";
        phoneFlags().ringStop = true;
    }
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

namespace {

// Says why placing a call stopped, unless it was hung up meanwhile (that said "Hung up.").
void placingStopped(const std::string& text) {
    {
        auto g = lockPhone();
        if (g.state.placeCancelled) return;
        g.state.statusText = text;
    }
    postUi(UiMessage::Refresh);
}

void placeCallClaimed(const std::string& handle) {
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
    if (own.empty()) return placingStopped("Connect Vaultra, with a published handle.");
    stopMessage();
    if (!soundReady()) return placingStopped("This phone needs a microphone.");
    placingStopped("Finding " + handle + ".");

    std::string peerAddress, key, status;
    if (!findPeer(handle, peerAddress, key, status)) return placingStopped(status);

    clearCapture();
    const std::string callId = newCallId();
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        // Hung up while being found, the phone closing, or a call rang in meanwhile: nothing is
        // sent or paid.
        if (s.placeCancelled || s.callState != CallState::Idle || phoneFlags().closing ||
            !moveCallState(s, CallState::Idle, CallState::Calling, CallWhy::Placed))
            return;
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
        s.answerClaimed = false;
        phoneFlags().leaveHungUp = false;
        s.messageRetryAt = 0;
        s.callSats = 0;
        s.firstTxid.clear();
        s.outgoing = true;
        s.receipt = {};
        s.callStart = nowSeconds();
        s.caption = "Calling  " + handle;
        phoneFlags().ringStop = false;
    }

    nlohmann::json invite = buildEvent(kInvite, callId);
    SentEvent sentInvite;
    if (sendEvent(Peer{handle, peerAddress, key}, invite, kSignalRate, true, &sentInvite)) {
        detached(outgoingRinger);
        (void)startDetached([callId, firstTxid = sentInvite.txid] { payCallFee(callId, firstTxid); });
        // A third of the target left: the call splits more while it rings.
        if (count_ready_coins() < readyCoinTarget(audioConfig().chunkMs) / 3) detached(coinSplitOnce);
        return;
    }
    bool ended = false;
    {
        auto g = lockPhone();
        // Only this call's failure ends it; a newer call placed meanwhile stays.
        if (g.state.callId == callId && g.state.callState == CallState::Calling)
            ended = toIdle(g.state, CallState::Calling, CallWhy::InviteNotSent);
    }
    if (!ended) postUi(UiMessage::Refresh);  // the status sendEvent set
}

// Claims the call for the divert unless an answer claimed it first; sends the box.
bool divertCall(const std::string& expectedCallId) {
    Peer peer;
    std::string callId;
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.callState != CallState::Incoming || !s.boxes.answerphone || s.answerClaimed) return false;
        if (!expectedCallId.empty() && s.callId != expectedCallId) return false;
        if (s.peerPayAddress.empty() || s.callId.empty()) return false;
        s.answerClaimed = true;
        peer = currentPeer(s);
        callId = s.callId;
    }
    nlohmann::json box = buildEvent(kBox, callId);
    const bool sent = sendEvent(peer, box, kSignalRate, true);
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.callState != CallState::Incoming || s.callId != callId) return false;
        if (!sent) {
            s.answerClaimed = false;
            return false;
        }
        if (!toIdle(s, CallState::Incoming, CallWhy::Diverted)) return false;
        record_missed_call(s, s.peerHandle, callId);
        s.statusText = "Sent them to answer-phone.";
        phoneFlags().ringStop = true;
    }
    return true;
}

}  // namespace

void placeCall(const std::string& typed) {
    const std::string handle = normalizeHandle(typed.substr(0, kMaxTypedHandle));
    if (handle.empty()) return setStatus("Type a handle first.");
    if (phoneFlags().sendingMessage) return setStatus("Still sending the last message.");
    {
        // One call is placed at a time; a second Call meanwhile does nothing.
        auto g = lockPhone();
        if (g.state.placing || g.state.callState != CallState::Idle || phoneFlags().closing) return;
        g.state.placing = true;
        g.state.placeCancelled = false;
    }
    struct Placed {
        ~Placed() {
            auto g = lockPhone();
            g.state.placing = false;
            g.state.placeCancelled = false;
        }
    } placed;
    placeCallClaimed(handle);
}

void acceptCall() {
    Peer peer;
    std::string callId;
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        // Claimed under the mutex: the answer-phone's divert cannot also win this call.
        if (s.callState != CallState::Incoming || s.answerClaimed) return;
        s.answerClaimed = true;
        peer = currentPeer(s);
        callId = s.callId;
    }
    sendAccept(peer, callId);
}

void hangUp() {
    CallState was;
    Peer peer;
    std::string callId;
    bool ended = false;
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        phoneFlags().ringStop = true;
        was = s.callState;
        if (was == CallState::Idle && s.placing && !s.placeCancelled) {
            // Still finding the peer: the call ends before anything is sent or paid.
            s.placeCancelled = true;
            s.statusText = "Hung up.";
        }
        if (was == CallState::Calling || was == CallState::Incoming || was == CallState::Talking) {
            // The call ends here and now, under one hold of the mutex, so that the peer's own
            // hang-up read meanwhile finds it ended and records nothing more.
            peer = currentPeer(s);
            callId = s.callId;
            // The hang-up's own cost joins the record as it is sent.
            if (was == CallState::Talking) appendCallRecord(s);
            else if (was == CallState::Incoming) record_missed_call(s, s.peerHandle, callId);
            ended = toIdle(s, was, CallWhy::HungUp);
            s.statusText = "Hung up.";
        }
    }
    if (!ended) postUi(UiMessage::Refresh);
    if (was == CallState::LeavingMessage) return leaveMessage(true);
    if (callId.empty()) return;
    const bool told = tellHungUpNow(peer, callId, true, nullptr);
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        // A hang-up that could not be sent still ended the call here.
        if (!told && s.callId == callId && s.callState == CallState::Idle) s.statusText = "Hung up.";
    }
    postUi(UiMessage::Refresh);
}

void hangUpBeforeExit(uint32_t waitMs) {
    phoneFlags().closing = true;  // a Call given just before quitting places nothing
    {
        auto g = lockPhone();
        if (g.state.callState == CallState::Idle && !g.state.placing) return;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> told = done->get_future();
    if (!startDetached([done] {
            hangUp();
            done->set_value();
        }))
        return;
    (void)told.wait_for(std::chrono::milliseconds(waitMs));
}

bool divertToAnswerPhone() { return divertCall(std::string()); }

}  // namespace dialo

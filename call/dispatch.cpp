#include "call/dispatch.h"


#include <algorithm>
#include <exception>

#include <nlohmann/json.hpp>

#include "audio/capture.h"
#include "audio/playback.h"
#include "call/live_sender.h"
#include "base/base64.h"
#include "base/clock.h"
#include "base/text.h"
#include "call/call_control.h"
#include "call/call_record.h"
#include "call/event.h"
#include "call/poller.h"
#include "state/ui_bridge.h"
#include "store/phone_store.h"
#include "vaultra/envelope.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr int64_t kFreshPast = 91;      // seconds: an event this old or older is stale
constexpr int64_t kFreshFuture = 180;   // seconds ahead of this clock still accepted
constexpr int64_t kInviteWindow = 180;  // seconds either way an invite may ring
constexpr uint64_t kBusyRetryMs = 2000;
// A chunk that overtook a missing one waits this long (milliseconds) for it. The sender sends
// in order, so the missing one is on chain and comes with the next fetch that gets through;
// a stretch of failed polls and back-offs can take several seconds, so only a chunk lost for
// good should cost the wait.
constexpr uint64_t kGapWaitMs = 15000;
constexpr size_t kAheadCap = 64;  // chunks held at most; more skip the gap at once

bool contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

bool sameOwnHandle(const std::string& a, const std::string& b) {
    return lowerAscii(normalizeHandle(a)) == lowerAscii(normalizeHandle(b));
}

// The ringing call from a sender who turned out blocked stops ringing here.
void dropBlocked(PhoneState& s, const std::string& id) {
    if (!id.empty()) s.seenEventIds.insert(id);
    if (s.callState == CallState::Incoming && id == s.callId) {
        s.callState = CallState::Idle;
        s.caption.clear();
        phoneFlags().ringStop = true;
        s.statusText = idleStatusText(s);
    }
}

// Plays a peer chunk and counts it heard; false when the play queue refused it.
bool playChunk(PhoneState& s, int64_t n, const Bytes& gsm) {
    if (!queueForPlayback(gsm)) return false;
    if (n > 0) s.heardAudioSeq = n;
    traceVoice({VoiceTrace::Played, n, gsm.size(), nowUnixMs()});
    return true;
}

// Plays the held chunks that now follow on from the last one heard; with `skipGap` the first
// held chunk plays even though chunks before it never came.
void releaseAhead(PhoneState& s, bool skipGap) {
    bool played = false;
    while (!s.aheadAudio.empty()) {
        auto it = s.aheadAudio.begin();
        if (it->first > s.heardAudioSeq + 1 && !skipGap) break;
        skipGap = false;
        if (it->first > s.heardAudioSeq) played = playChunk(s, it->first, it->second) || played;
        s.aheadAudio.erase(it);
    }
    if (s.aheadAudio.empty()) s.aheadSinceMs = 0;
    else if (played) s.aheadSinceMs = nowMs();  // a new gap waits afresh
}

void ring(PhoneState& s, const ReceivedEvent& e, const std::string& txid, int64_t now) {
    s.messageAudio.clear();
    s.messageSeconds = 0;
    phoneFlags().leaveHungUp = false;
    s.tapeClaimed = false;
    s.audioSeq = 0;  // each call's chunks are numbered from 1, both ways
    s.heardAudioSeq = 0;
    s.aheadAudio.clear();
    s.aheadSinceMs = 0;
    s.callState = CallState::Incoming;
    s.callId = e.id;
    s.peerHandle = e.handle;
    s.peerPayAddress = e.pay;
    s.peerPubKey = e.pubkey;
    s.firstTxid = txid;
    s.callSats = 0;  // what answering costs belongs to this call, not the last one
    s.outgoing = false;
    s.receipt = {};
    noteHeardTxid(s, txid);
    s.caption = "Incoming  " + e.handle;
    s.statusText = "Incoming call.";
    phoneFlags().ringStop = false;
    s.inviteTime = e.ts > 0 ? e.ts : now;
}

// A tape: the message lands in the inbox unless it was kept, heard or deleted before.
bool takeTape(PhoneState& s, const ReceivedEvent& e, const std::string& txid) {
    if (txid.size() == 64) {
        bool named = false;
        for (SavedMessage& m : s.boxes.saved)
            if (m.id == e.id && m.txid.size() != 64) {
                m.txid = txid;
                named = true;
            }
        if (named) {
            save_phone_store(s);
            postUi(UiMessage::CardsRefresh);
        }
    }
    if (isBlocked(s, e.handle)) {
        dropBlocked(s, e.id);
        return false;
    }
    if (contains(s.boxes.tomb, e.id) || contains(s.boxes.heard, e.id) ||
        std::any_of(s.boxes.inbox.begin(), s.boxes.inbox.end(), [&](const InboxMessage& m) { return m.id == e.id; }))
        return false;
    InboxMessage m;
    m.id = e.id;
    m.from = e.handle;
    m.txid = txid;
    m.ts = e.ts;
    m.secs = int32_t(std::clamp<int64_t>(e.secs, 0, INT32_MAX));
    m.audio = base64Decode(e.audio);
    if (m.audio.empty()) return false;
    s.seenEventIds.insert(e.id);
    if (s.callState == CallState::Incoming && e.id == s.callId) {
        s.callState = CallState::Idle;
        s.caption.clear();
        phoneFlags().ringStop = true;
    }
    const std::string from = e.handle.empty() ? "someone" : e.handle;
    s.boxes.inbox.push_back(std::move(m));
    record_missed_call(s, from, e.id);  // saves the store
    phoneFlags().lamp = true;
    s.statusText = "Message from " + from + ".";
    return true;
}

}  // namespace

bool isBlocked(const PhoneState& st, const std::string& handle) {
    const std::string bare = lowerAscii(normalizeHandle(handle));
    return !bare.empty() && contains(st.boxes.blocked, bare);
}

std::string idleStatusText(const PhoneState& st) {
    return st.boxes.answerphone ? "Calls will divert to your answer-phone after three rings."
                                : "Calls will divert to your answer-phone after ten rings.";
}

bool dispatchEvent(const json& event, bool fresh, const std::string& txid, int64_t ts, bool& retryLater) {
    retryLater = false;
    if (!verify_protocol_message(event)) return false;
    const int64_t now = nowSeconds();
    ReceivedEvent e = readEvent(event, now);
    e.ts = ts;
    bool clearCaptureAfter = false, changed = false, rang = false;
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        PhoneFlags& f = phoneFlags();
        if (e.kind == kInvite) {
            if (isBlocked(s, e.handle)) {
                dropBlocked(s, e.id);
            } else if (ts > 0 && (ts > now + kInviteWindow || now - ts > kInviteWindow)) {
                // too old or from too far ahead to ring
            } else if (s.seenEventIds.count(e.id) || (!e.handle.empty() && e.handle == s.ownHandle)) {
                // acted on before, or this phone's own invite
            } else if (s.callState == CallState::Incoming && e.id == s.callId) {
                // the call ringing here already
            } else if (s.callState == CallState::Incoming || s.callState == CallState::Talking || f.sendingMessage) {
                retryLater = true;  // busy: offered again while it is still fresh
            } else {
                ring(s, e, txid, now);
                // A copy of this invite in another transaction must not ring again.
                if (!e.id.empty()) s.seenEventIds.insert(e.id);
                rang = true;
            }
        } else if (e.kind == kTape) {
            changed = takeTape(s, e, txid);
        } else if (!fresh) {
            // stale: only invites and tapes have their own windows
        } else if ((e.kind == kAccept || e.kind == kBox) && s.callState == CallState::Calling && e.id == s.callId) {
            noteHeardTxid(s, txid);
            if (e.kind == kBox) {
                s.statusText = "Answer-phone.";
            } else {
                s.callState = CallState::Talking;
                s.callStart = now;
                s.statusText = "Connected.";
                clearCaptureAfter = true;
            }
            f.ringStop = true;
        } else if (e.kind == kAccept && s.callState == CallState::LeavingMessage && e.id == s.callId &&
                   !s.tapeClaimed && !f.sendingMessage) {
            noteHeardTxid(s, txid);
            s.messageAudio.clear();
            s.messageSeconds = 0;
            s.callState = CallState::Talking;
            s.callStart = now;
            s.statusText = "Connected.";
            f.ringStop = true;
            clearCaptureAfter = true;
        } else if (e.kind == kHangup && e.id == s.callId && s.callState != CallState::Idle) {
            noteHeardTxid(s, txid);
            if (s.callState == CallState::Incoming) record_missed_call(s, s.peerHandle, e.id);
            else if (s.callState == CallState::Talking) appendCallRecord(s);
            s.callState = CallState::Idle;
            s.statusText = "They hung up.";
            s.caption.clear();
            f.ringStop = true;
        } else if (e.kind == kAudio && s.callState == CallState::Talking && e.id == s.callId) {
            const bool own = (!e.pay.empty() && e.pay == s.ownPayAddress) ||
                             (!e.handle.empty() && sameOwnHandle(e.handle, s.ownHandle));
            // A chunk re-sent after a send that did reach the chain would be heard twice. One
            // that overtook a missing chunk (its fetch failed and is being retried) waits for
            // it: the sender never sends a broadcast chunk again, so dropping either loses it.
            const bool old = e.n > 0 && e.n <= s.heardAudioSeq;
            Bytes gsm = own || old ? Bytes() : base64Decode(e.audio);
            if (!gsm.empty() && e.n > s.heardAudioSeq + 1) {
                if (s.aheadAudio.empty()) s.aheadSinceMs = nowMs();
                s.aheadAudio.emplace(e.n, std::move(gsm));
                noteHeardTxid(s, txid);
                if (s.aheadAudio.size() > kAheadCap) releaseAhead(s, true);
            } else if (!gsm.empty() && playChunk(s, e.n, gsm)) {
                noteHeardTxid(s, txid);
                releaseAhead(s, false);
            }
        }
        // Signalling this phone acted on is remembered across a restart; live chunks need not be.
        if (!retryLater && e.kind != kAudio && note_handled_txid(s, txid, rang ? e.id : std::string()))
            save_phone_store(s);
    }
    if (clearCaptureAfter) clearCapture();
    return changed;
}

void releaseOverdueAudio() {
    try {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.aheadAudio.empty()) return;
        if (s.callState != CallState::Talking) {
            s.aheadAudio.clear();
            s.aheadSinceMs = 0;
            return;
        }
        if (nowMs() - s.aheadSinceMs >= kGapWaitMs) releaseAhead(s, true);
    } catch (const std::exception&) {
    }
}

void handlePayload(const std::string& txid, const std::string& payload) {
    std::optional<json> event = openPayload(payload);
    if (!event) return;
    const int64_t now = nowSeconds();
    auto ts = event->find("ts");
    const int64_t eventTs = (ts != event->end() && ts->is_number()) ? readEvent(*event, now).ts : now;
    const bool fresh = !(eventTs > 0 && (eventTs > now + kFreshFuture || now - eventTs >= kFreshPast));
    bool retryLater = false;
    const bool changed = dispatchEvent(*event, fresh, txid, eventTs, retryLater);
    if (retryLater) {
        holdTxidUntil(txid, nowMs() + kBusyRetryMs);
        forgetTxid(txid);
    }
    if (changed) postUi(UiMessage::CardsRefresh);
    postUi(UiMessage::Refresh);
    bool incoming;
    {
        auto g = lockPhone();
        incoming = g.state.callState == CallState::Incoming;
    }
    if (incoming) startIncomingRinger();
}

}  // namespace dialo

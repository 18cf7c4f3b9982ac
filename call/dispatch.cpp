#include "call/dispatch.h"


#include <algorithm>
#include <exception>

#include <nlohmann/json.hpp>

#include "audio/capture.h"
#include "audio/gsm.h"
#include "audio/playback.h"
#include "call/live_sender.h"
#include "base/base64.h"
#include "base/clock.h"
#include "base/text.h"
#include "call/call_control.h"
#include "call/call_record.h"
#include "call/event.h"
#include "call/send.h"
#include "call/poller.h"
#include "state/call_state.h"
#include "state/ui_bridge.h"
#include "store/messages.h"
#include "store/phone_store.h"
#include "vaultra/envelope.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr int64_t kFreshPast = 91;      // seconds: an event this old or older is stale
constexpr int64_t kFreshFuture = 180;   // seconds ahead of this clock still accepted
constexpr int64_t kInviteWindow = 180;  // seconds either way an invite may ring
constexpr uint64_t kBusyRetryMs = 2000;
// A hang-up of a call not known here keeps that call's invite from ringing this long (seconds):
// the invite window either side of its time, from the hang-up's arrival.
constexpr int64_t kEndedCallSeconds = 2 * kInviteWindow;
constexpr size_t kEndedCallCap = 512;
// A chunk that overtook a missing one waits this long (milliseconds) for it. The sender sends
// in order, so the missing one is on chain and comes with the next fetch that gets through;
// a stretch of failed polls and back-offs can take several seconds, so only a chunk lost for
// good should cost the wait.
constexpr uint64_t kGapWaitMs = 15000;
constexpr size_t kAheadCap = 64;  // chunks held at most; more skip the gap at once

bool contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

// Whether the event is signed by the peer of the call up now: the identity the call was placed
// to, or the one whose invite rang here.
bool fromPeer(const PhoneState& s, const ReceivedEvent& e) {
    return !e.signer.empty() && speakerHandle(s.peerHandle) == e.signer;
}

// Whether the event is for the call up now, from its peer.
bool ofThisCall(const PhoneState& s, const ReceivedEvent& e) { return e.fields.id == s.callId && fromPeer(s, e); }

std::string endedCallKey(const ReceivedEvent& e) { return e.signer + "|" + e.fields.id; }

// A hang-up of a call not up here: its invite, read later, must not ring.
void rememberEnded(PhoneState& s, const ReceivedEvent& e, int64_t now) {
    std::erase_if(s.endedCallIds, [now](const auto& entry) { return entry.second < now; });
    while (s.endedCallIds.size() >= kEndedCallCap)
        s.endedCallIds.erase(std::min_element(s.endedCallIds.begin(), s.endedCallIds.end(),
                                              [](const auto& a, const auto& b) { return a.second < b.second; }));
    s.endedCallIds[endedCallKey(e)] = now + kEndedCallSeconds;
}

bool endedBefore(const PhoneState& s, const ReceivedEvent& e, int64_t now) {
    auto it = s.endedCallIds.find(endedCallKey(e));
    return it != s.endedCallIds.end() && it->second >= now;
}

// The ringing call from a sender who turned out blocked stops ringing here; true when it did.
bool dropBlocked(PhoneState& s, const ReceivedEvent& e) REQUIRES(phoneMutex()) {
    const std::string& id = e.fields.id;
    if (!id.empty()) s.seenEventIds.insert(id);
    if (s.callState != CallState::Incoming || !ofThisCall(s, e) ||
        !moveCallState(s, CallState::Incoming, CallState::Idle, CallWhy::Blocked))
        return false;
    s.caption.clear();
    phoneFlags().ringStop = true;
    s.statusText = idleStatusText(s);
    return true;
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

// Rings the invite here; false when the state it would take over is not one an invite may.
bool ring(PhoneState& s, const ReceivedEvent& e, const std::string& txid, int64_t now) REQUIRES(phoneMutex()) {
    if (!moveCallState(s, s.callState, CallState::Incoming, CallWhy::InviteRang)) return false;
    s.messageAudio.clear();
    s.messageSeconds = 0;
    phoneFlags().leaveHungUp = false;
    s.tapeClaimed = false;
    s.audioSeq = 0;  // each call's chunks are numbered from 1, both ways
    s.heardAudioSeq = 0;
    s.aheadAudio.clear();
    s.aheadSinceMs = 0;
    s.callId = e.fields.id;
    s.peerHandle = e.signer;
    s.peerPayAddress = e.fields.pay;
    s.peerPubKey = e.fields.pubkey;  // the verified key: replies are sealed to it
    s.answerClaimed = false;
    s.firstTxid = txid;
    s.callSats = 0;  // what answering costs belongs to this call, not the last one
    s.outgoing = false;
    s.receipt = {};
    noteHeardTxid(s, txid, e.fields.kind);
    s.caption = "Incoming  " + e.signer;
    s.statusText = "Incoming call.";
    phoneFlags().ringStop = false;
    // A time ahead of this clock is the caller's clock running fast: the ring and its window
    // count from now.
    s.inviteTime = std::min(e.fields.ts, now);
    return true;
}

// A tape: the message lands in the inbox unless it was kept, heard or deleted before. True when
// the boxes changed; `moved` when it ended the call ringing here.
bool takeTape(PhoneState& s, const ReceivedEvent& e, const std::string& txid, bool& moved) REQUIRES(phoneMutex()) {
    if (txid.size() == 64) {
        bool named = false;
        for (SavedMessage& m : s.boxes.saved)
            if (m.id == e.fields.id && m.txid.size() != 64) {
                m.txid = txid;
                named = true;
            }
        if (named) {
            save_phone_store(s);
            postUi(UiMessage::CardsRefresh);
        }
    }
    const std::string& id = e.fields.id;
    if (isBlocked(s, e.signer)) {
        moved = dropBlocked(s, e);
        return false;
    }
    if (contains(s.boxes.tomb, id) || contains(s.boxes.heard, id) ||
        std::any_of(s.boxes.inbox.begin(), s.boxes.inbox.end(), [&](const InboxMessage& m) { return m.id == id; }))
        return false;
    InboxMessage m;
    m.id = id;
    m.from = e.signer;
    m.txid = txid;
    m.ts = e.fields.ts;
    m.secs = int32_t(std::clamp<int64_t>(e.fields.secs, 0, INT32_MAX));
    // Longer than any recorder makes: refused before it is decoded, let alone kept. The call it
    // ends still ends here, as missed.
    constexpr size_t kLongestTape = kMessageLimitSeconds * kGsmBytesPerSecond;
    if (e.fields.audio.size() <= (kLongestTape + 2) / 3 * 4) m.audio = base64Decode(e.fields.audio);
    const bool kept = !m.audio.empty() && m.audio.size() <= kLongestTape;
    const bool ringing = s.callState == CallState::Incoming && ofThisCall(s, e);
    if (!kept && !ringing) return false;
    s.seenEventIds.insert(id);
    if (ringing && moveCallState(s, CallState::Incoming, CallState::Idle, CallWhy::TapeArrived)) {
        moved = true;
        s.caption.clear();
        phoneFlags().ringStop = true;
    }
    const std::string from = e.signer.empty() ? "someone" : e.signer;
    if (kept) {
        s.boxes.inbox.push_back(std::move(m));
        cap_inbox(s.boxes.inbox);
    }
    record_missed_call(s, from, id);  // saves the store
    if (!kept) return true;
    phoneFlags().lamp = true;
    s.statusText = "Message from " + from + ".";
    return true;
}

}  // namespace

bool isBlocked(const PhoneState& st, const std::string& signer) {
    const std::string who = speakerHandle(signer);
    return !who.empty() && std::any_of(st.boxes.blocked.begin(), st.boxes.blocked.end(), [&who](const std::string& b) {
               return speakerHandle(normalizeHandle(b)) == who;
           });
}

std::string idleStatusText(const PhoneState& st) {
    return st.boxes.answerphone ? "Calls will divert to your answer-phone after three rings."
                                : "Calls will divert to your answer-phone after ten rings.";
}

bool dispatchEvent(const ReceivedEvent& e, bool fresh, const std::string& txid, bool& retryLater, bool& moved) {
    retryLater = false;
    moved = false;
    if (!verify_protocol_message(e.fields)) return false;
    const int64_t now = nowSeconds();
    const std::string& kind = e.fields.kind;
    const std::string& id = e.fields.id;
    const int64_t ts = e.fields.ts;
    bool clearCaptureAfter = false, changed = false, rang = false, answerAtOnce = false;
    Peer abandoned;
    std::string abandonedId;
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        PhoneFlags& f = phoneFlags();
        // Signed for someone else: a copy relayed here by one who received it.
        if (!e.recipient.empty() && e.recipient != speakerHandle(s.ownHandle)) return false;
        if (kind == kInvite) {
            // The peer calls this phone while it calls them. Settled only once this phone's own
            // invite is on chain: one still being paid may yet fail, and theirs must not be lost.
            const bool calledBack = s.callState == CallState::Calling && fromPeer(s, e);
            const bool glare = calledBack && !s.firstTxid.empty();
            // The peer's invite that lost to this call's lower id, read after the call connected.
            const bool lostGlare = s.callState == CallState::Talking && fromPeer(s, e) && id > s.callId;
            if (isBlocked(s, e.signer)) {
                moved = dropBlocked(s, e);
            } else if (ts > now + kInviteWindow || now - ts > kInviteWindow) {
                // too old or from too far ahead to ring
            } else if (s.seenEventIds.count(id) || e.signer == speakerHandle(s.ownHandle)) {
                // acted on before, or this phone's own invite
            } else if (endedBefore(s, e, now)) {
                s.seenEventIds.insert(id);  // its hang-up came first
            } else if (s.callState == CallState::Incoming && id == s.callId) {
                // the call ringing here already
            } else if ((glare || lostGlare) && id > s.callId) {
                // Both called each other at once: the lower id is the call, and the peer answers ours.
                s.seenEventIds.insert(id);
            } else if (s.callState == CallState::Incoming || s.callState == CallState::Talking || f.sendingMessage ||
                       (calledBack && !glare)) {
                retryLater = true;  // busy: offered again while it is still fresh
            } else {
                // Taken over: that call's peer is told it ended. After glare too, so that the
                // invite that lost never rings there, however late it is read.
                const bool takenOver = s.callState == CallState::Calling || s.callState == CallState::LeavingMessage;
                const Peer was = currentPeer(s);
                const std::string wasId = s.callId;
                if (ring(s, e, txid, now)) {
                    moved = rang = true;
                    if (takenOver) {
                        abandoned = was;
                        abandonedId = wasId;
                    }
                    // A copy of this invite in another transaction must not ring again.
                    s.seenEventIds.insert(id);
                    // Ours lost to theirs: this phone wanted the call, so it answers at once.
                    if (glare) s.answerClaimed = answerAtOnce = true;
                }
            }
        } else if (kind == kTape) {
            changed = takeTape(s, e, txid, moved);
        } else if (kind == kHangup && !ofThisCall(s, e)) {
            rememberEnded(s, e, now);  // even stale: its invite may still be in its window
        } else if (!fresh) {
            // stale: only invites and tapes have their own windows
        } else if (!ofThisCall(s, e)) {
            // not this call's, or not from its peer
        } else if ((kind == kAccept || kind == kBox) && s.callState == CallState::Calling) {
            noteHeardTxid(s, txid, kind);
            if (kind == kBox) {
                moved = moveCallState(s, CallState::Calling, CallState::Calling, CallWhy::Boxed);
                s.statusText = "Answer-phone.";
            } else {
                moved = moveCallState(s, CallState::Calling, CallState::Talking, CallWhy::Accepted);
                s.callStart = now;
                s.statusText = "Connected.";
                clearCaptureAfter = true;
            }
            f.ringStop = true;
        } else if (kind == kAccept && s.callState == CallState::LeavingMessage && !s.tapeClaimed && !f.sendingMessage) {
            noteHeardTxid(s, txid, kind);
            s.messageAudio.clear();
            s.messageSeconds = 0;
            moved = moveCallState(s, CallState::LeavingMessage, CallState::Talking, CallWhy::Accepted);
            s.callStart = now;
            s.statusText = "Connected.";
            f.ringStop = true;
            clearCaptureAfter = true;
        } else if (kind == kHangup && s.callState != CallState::Idle) {
            noteHeardTxid(s, txid, kind);
            if (s.callState == CallState::Incoming) record_missed_call(s, s.peerHandle, id);
            else if (s.callState == CallState::Talking) appendCallRecord(s);
            moved = moveCallState(s, s.callState, CallState::Idle, CallWhy::TheyHungUp);
            s.statusText = "They hung up.";
            s.caption.clear();
            f.ringStop = true;
        } else if (kind == kAudio && s.callState == CallState::Talking) {
            const bool own = !e.fields.pay.empty() && e.fields.pay == s.ownPayAddress;
            // A chunk re-sent after a send that did reach the chain would be heard twice. One
            // that overtook a missing chunk (its fetch failed and is being retried) waits for
            // it: the sender never sends a broadcast chunk again, so dropping either loses it.
            const int64_t n = e.fields.n;
            const bool old = n > 0 && n <= s.heardAudioSeq;
            Bytes gsm = own || old ? Bytes() : base64Decode(e.fields.audio);
            if (!gsm.empty() && n > s.heardAudioSeq + 1) {
                if (s.aheadAudio.empty()) s.aheadSinceMs = nowMs();
                s.aheadAudio.emplace(n, std::move(gsm));
                noteHeardTxid(s, txid, kind);
                if (s.aheadAudio.size() > kAheadCap) releaseAhead(s, true);
            } else if (!gsm.empty() && playChunk(s, n, gsm)) {
                noteHeardTxid(s, txid, kind);
                releaseAhead(s, false);
            }
        }
        // Signalling this phone acted on is remembered across a restart; live chunks need not be.
        if (!retryLater && kind != kAudio && note_handled_txid(s, txid, rang ? id : std::string()))
            save_phone_store(s);
    }
    if (clearCaptureAfter) clearCapture();
    if (!abandonedId.empty()) sendHangUp(abandoned, abandonedId);
    if (answerAtOnce) answerGlare(id);
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
    std::optional<json> doc = openPayload(payload);
    ReceivedEvent event;
    if (!doc || !readEvent(*doc, event)) return;
    const int64_t now = nowSeconds();
    const int64_t ts = event.fields.ts;
    const bool fresh = !(ts > now + kFreshFuture || now - ts >= kFreshPast);
    bool retryLater = false, moved = false;
    const bool changed = dispatchEvent(event, fresh, txid, retryLater, moved);
    if (retryLater) {
        holdTxidUntil(txid, nowMs() + kBusyRetryMs);
        forgetTxid(txid);
    }
    if (changed) postUi(UiMessage::CardsRefresh);
    if (!moved) postUi(UiMessage::Refresh);  // a move told the window already
    bool ringing;
    {
        auto g = lockPhone();
        ringing = g.state.callState == CallState::Incoming && !g.state.answerClaimed;
    }
    if (ringing) startIncomingRinger();
}

}  // namespace dialo

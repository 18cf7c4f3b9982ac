#pragma once
// The one process-wide record of the phone's state, its mutex and its atomic flags.
// Lock order: the phone-state mutex first, then at most one of the wallet, audio or store
// locks. Never hold it across a network request, a spend or a sleep.

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "base/bytes.h"
#include "base/recent_set.h"
#include "base/thread_annotations.h"
#include "state/records.h"

namespace dialo {

inline constexpr size_t kKnownTxidsBound = 20000;
inline constexpr size_t kSeenEventIdsBound = 20000;

enum class CallState : int32_t {
    Idle = 0,
    Calling = 1,
    Incoming = 2,
    Talking = 3,
    LeavingMessage = 4,
};

/// "Idle", "Calling", "Incoming", "Talking" or "LeavingMessage".
const char* callStateName(CallState state);

struct PhoneState {
    CallState callState = CallState::Idle;
    std::string callId;          // 16 lower-case hex digits for calls placed here
    std::string peerHandle;
    std::string peerPayAddress;  // where events to the peer are paid
    std::string peerPubKey;      // peer identity key, hex; events are sealed to it
    std::string ownHandle;
    std::string ownPayAddress;   // the address polled for incoming events
    std::string firstTxid;       // txid of the call's first event
    std::string statusText;      // one-line status shown by the window
    std::string caption;         // "Calling  bob" / "Incoming  bob"; empty when idle
    int64_t callStart = 0;       // Unix seconds
    int64_t inviteTime = 0;      // Unix seconds
    int64_t callSats = 0;        // satoshis spent in the current call
    bool outgoing = false;       // the current call was placed here
    bool placing = false;        // a call is being placed (resolving the handle, sending the invite)
    bool placeCancelled = false; // hung up while being placed: the invite is not sent
    bool answerClaimed = false;  // the ringing call is being answered or diverted: nothing else may
    CallReceipt receipt;         // the current call's transactions
    uint32_t audioSeq = 0;       // last live-audio chunk number sent
    int64_t heardAudioSeq = 0;   // last live-audio chunk number played from the peer
    // Peer chunks that arrived ahead of a missing one, by number, waiting for it to play first;
    // aheadSinceMs is the monotonic tick the current gap opened (0: none held).
    std::map<int64_t, Bytes> aheadAudio;
    uint64_t aheadSinceMs = 0;
    uint32_t messageSeconds = 0; // whole seconds of message recorded
    Bytes messageAudio;          // GSM 6.10 bytes of the message being left
    bool messageVoiced = false;
    uint64_t messageRetryAt = 0; // monotonic ms before which a failed message is not resent
    bool tapeClaimed = false;
    bool talkGate = false;
    // Far more than a deep listing shows, so that nothing a listing can name is forgotten.
    RecentSet knownTxids{kKnownTxidsBound};
    RecentSet seenEventIds{kSeenEventIdsBound};
    // Calls whose hang-up came before their invite, by signer and call id, to the Unix second
    // until which their invite must not ring.
    std::map<std::string, int64_t> endedCallIds;
    HandleBoxes boxes;
    PhoneSettings settings;
    int64_t balanceSats = 0;
    std::string balanceText;
    bool balanceKnown = false;
    std::deque<std::string> backfill;  // confirmed-history txids waiting to be fetched
};

/// The phone-state mutex as the compiler's thread-safety analysis names it.
const LockName& phoneMutex();

/// Holds the phone-state mutex for as long as it lives; `state` is valid only meanwhile.
struct PhoneGuard {
    ~PhoneGuard() RELEASE(phoneMutex()) {}
    std::unique_lock<std::mutex> lock;
    PhoneState& state;
};

/// Takes the phone-state mutex.
[[nodiscard]] PhoneGuard lockPhone() ACQUIRE(phoneMutex());

/// The same mutex for one full expression (`lockPhoneBrief().state.callState`). The analysis
/// cannot follow a guard that ends with its expression, so it is not told of this one: a call
/// that requires the mutex takes a named guard from lockPhone().
struct PhoneBriefGuard {
    std::unique_lock<std::mutex> lock;
    PhoneState& state;
};
[[nodiscard]] PhoneBriefGuard lockPhoneBrief();

/// Flags a thread may set without the mutex. Readers that need them consistent with
/// `callState` read them under the mutex.
struct PhoneFlags {
    std::atomic<bool> running{true};         // every worker loop ends when cleared
    std::atomic<bool> ringStop{false};
    std::atomic<bool> leaveHungUp{false};
    std::atomic<bool> sendingMessage{false};
    std::atomic<bool> ringerActive{false};
    std::atomic<bool> lamp{false};           // a new message arrived; the lamp blinks
    std::atomic<bool> mute{false};
    std::atomic<bool> quietRing{false};      // incoming calls ring without sound, whatever the setting
    std::atomic<bool> closing{false};        // the phone is closing: no call is placed any more
    std::atomic<uint64_t> oracleBackoffUntil{0};       // monotonic ms
    std::atomic<uint64_t> wocBackoffUntil{0};          // monotonic ms
    std::atomic<uint64_t> unconfirmedBackoffUntil{0};  // monotonic ms
    std::atomic<int> volume{100};            // playback volume, per cent; read by the pump
    std::atomic<int> dpi{96};
};

PhoneFlags& phoneFlags();

/// Set on a thread whose last send was held for a coin to clear; read right after the send.
/// Functions rather than an extern thread_local, whose access from other units UBSan
/// reported as a null reference.
bool holdFlag();
void setHoldFlag(bool held);

/// Replaces the status line and tells the window.
void setStatus(const std::string& text);

}  // namespace dialo

#pragma once
// What this phone's user does with a call (place, answer, hang up) and the two ring loops.
// Each runs on its own thread and re-checks the call state and id under the phone-state
// mutex before it changes anything, so a late result never overwrites a newer call.

#include <cstdint>
#include <string>

#include "call/send.h"

namespace dialo {

/// Where events to a destination go and the key they are sealed to: false with the status
/// text to show when either cannot be found.
[[nodiscard]] bool findPeer(const std::string& destination, std::string& address, std::string& key,
                            std::string& status);

/// Calls the typed handle: resolves it, sends the invite and starts the ring-back. One call is
/// placed at a time: while one is, this does nothing.
void placeCall(const std::string& typed);

/// Answers the ringing call, unless the answer-phone claimed it first.
void acceptCall();

/// Ends whatever call is up: at once here (recorded), then the peer is told, again a few times
/// over about 30 seconds when the hang-up cannot be sent. A message being left is sent first;
/// a call still being placed is called off before anything is paid.
void hangUp();

/// At exit: hangs up as the user would and waits up to `waitMs` milliseconds for the peer to be
/// told (or the message being left to go).
void hangUpBeforeExit(uint32_t waitMs);

/// Tells a peer that their call ended here: one try now, and when it fails more over about 30
/// seconds on a thread of their own. True when the first try went out.
bool tellHungUp(const Peer& peer, const std::string& callId);

/// Tells a peer that their call ended here, on a thread of its own (a call taken over by
/// another's invite); tried again when it cannot be sent.
void sendHangUp(const Peer& peer, const std::string& callId);

/// Answers, at once and on a thread of its own, the ringing call already claimed for it: the
/// peer called this phone just as it called them, and their call won.
void answerGlare(const std::string& callId);

/// Ends a ringing call nobody answered, diverted or hung up, once its invite's window has
/// passed: a missed call. The background loop calls it every cycle.
void endUnansweredCall();

/// Sends the ringing caller to leave a message; true when done.
bool divertToAnswerPhone();

/// Forgets which call the incoming ringer last rang for, as a process starts.
void resetRingerMemory();

/// Starts the incoming ringer unless one runs already; posts the ring start.
void startIncomingRinger();

/// A new call id: 16 lower-case hex digits.
std::string newCallId();

}  // namespace dialo

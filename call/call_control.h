#pragma once
// What this phone's user does with a call (place, answer, hang up) and the two ring loops.
// Each runs on its own thread and re-checks the call state and id under the phone-state
// mutex before it changes anything, so a late result never overwrites a newer call.

#include <string>

namespace dialo {

/// Where events to a destination go and the key they are sealed to: false with the status
/// text to show when either cannot be found.
[[nodiscard]] bool findPeer(const std::string& destination, std::string& address, std::string& key,
                            std::string& status);

/// Calls the typed handle: resolves it, sends the invite and starts the ring-back.
void placeCall(const std::string& typed);

/// Answers the ringing call.
void acceptCall();

/// Ends whatever call is up (a message being left is sent first).
void hangUp();

/// Sends the ringing caller to leave a message; true when done.
bool divertToAnswerPhone();

/// Starts the incoming ringer unless one runs already; posts the ring start.
void startIncomingRinger();

/// A new call id: 16 lower-case hex digits.
std::string newCallId();

}  // namespace dialo

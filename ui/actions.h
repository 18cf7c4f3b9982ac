#pragma once
// What the window's buttons start: each action that needs the wallet, the network or a peer
// runs on a detached thread of its own, so that the window returns to its loop at once.

#include <functional>
#include <string>

namespace dialo {

/// Runs `body` on a detached thread; says the phone is too busy when none can start.
void detached(std::function<void()> body);

/// Connects to Vaultra, or disconnects when a wallet is connected now.
void startConnectOrDisconnect();

/// Answers a ringing call, or calls `typed` when idle; does nothing in any other state.
void startCallOrAnswer(const std::string& typed);

/// Answers the ringing call; does nothing in any other state.
void startAnswer();

/// Ends whatever call is up; with none it finds nothing to end.
void startHangUp();

/// Turns the answer-phone on or off, stores it and says what callers will meet.
void toggleAnswerPhone();

}  // namespace dialo

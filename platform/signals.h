#pragma once
// The stop signals of a server process, taken by one thread that waits for them.

#include <signal.h>

namespace dialo {

/// Blocks SIGINT and SIGTERM in the calling thread, so in every thread it starts afterwards
/// (only the waiter below sees them), and ignores SIGPIPE: a client gone mid-answer, or a
/// dropped connection, must not end the server. Returns the set to wait on; called before
/// any other thread starts.
sigset_t holdStopSignals();

/// Waits for one of the held stop signals; returns its number.
int waitForStopSignal(const sigset_t& signals);

}  // namespace dialo

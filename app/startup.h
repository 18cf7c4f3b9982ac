#pragma once
// The start-up and shutdown steps every front end shares. A front end with windows creates
// them between startCore() and startWorkers().

namespace dialo {

/// Makes this phone an echo line: its microphone hears what it played a second earlier, and it
/// does not ring aloud. Called before startCore().
void setEchoLine(bool on);

/// Process-wide libraries, the stored settings and the bind to this copy's wallet.
/// False when the phone cannot run.
[[nodiscard]] bool startCore();

/// After the front end's loop ends: stops the workers, closes sound devices and libraries.
void shutdownCore();

/// Forgets what the process remembers from earlier calls, outside the wallet record, as a fresh
/// process has it: the phone state, the app binding, held, queued and missed txids, cached
/// identity keys and avatars, the last paymail claim, the spends of unconfirmed transactions,
/// the published wallet view, the ringer's last call and captured sound. For tests, between
/// cases, with no worker running.
void resetCoreState();

}  // namespace dialo

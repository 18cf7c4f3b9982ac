#pragma once
// The long-lived worker threads: background loop, push listener, raw-transaction fetch worker,
// live sender, playback pump and sound watcher. Each runs while phoneFlags().running is set.

namespace dialo {

/// Starts them all, in order. False (and none left running) when one could not be created:
/// the phone never runs with fewer.
[[nodiscard]] bool startWorkers();

/// Clears the running flag and waits for them to end their current cycle.
void stopWorkers();

}  // namespace dialo

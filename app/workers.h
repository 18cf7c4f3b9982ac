#pragma once
// The four long-lived worker threads: background loop, raw-transaction fetch worker, live
// sender and playback pump. Each runs while phoneFlags().running is set.

namespace dialo {

/// Starts all four, in order. False (and none left running) when one could not be created:
/// the phone never runs with fewer.
[[nodiscard]] bool startWorkers();

/// Clears the running flag and waits for the four to end their current cycle.
void stopWorkers();

}  // namespace dialo

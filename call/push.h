#pragma once
// Push: where the platform offers it (GET /oi/capabilities names a long-poll listing), a worker
// holds one oracle listing open that the platform answers as soon as something pays the
// phone's address, and reads each answer as a poll does. While it works the background loop
// stops polling the listing; the moment it fails the loop polls again, and the worker returns
// to push after a back-off.

#include <cstdint>

namespace dialo {

/// The worker's thread body; returns soon after the phone stops running.
void pushWorker();

/// Whether push is up: the last push listing was answered. Cleared at once on any failure.
bool pushActive();

/// Push listings that fetched something, since start; the background loop refreshes the
/// balance after one.
uint64_t pushDeliveries();

/// The own address or network moved: push starts over (capabilities, then a first listing),
/// ending a wait held for the old address.
void pushRestart();

/// Forgets what the worker learnt, as a process starts; the worker must be stopped.
void resetPush();

}  // namespace dialo

#pragma once
// Threads that nobody joins (a button's action, a ringer, a fee payment, an avatar fetch), counted
// so that shutdown can wait for them before it closes the libraries they are inside.

#include <cstdint>
#include <functional>

namespace dialo {

/// Runs `body` on a thread of its own that nobody joins. False when no thread could be made;
/// the body has then not run.
[[nodiscard]] bool startDetached(std::function<void()> body);

/// Waits up to `timeoutMs` milliseconds of real time for every thread startDetached made to
/// end. True when none is left; everything those threads wrote is then visible to the caller.
[[nodiscard]] bool waitForDetached(uint32_t timeoutMs);

}  // namespace dialo

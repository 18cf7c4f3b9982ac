#pragma once
// The phone's one source of time. Tests swap the source to drive timers without waiting.

#include <cstdint>

namespace dialo {

struct ClockSource {
    uint64_t (*monotonicMs)();   // milliseconds since an arbitrary start, never going back
    int64_t (*unixSeconds)();    // seconds since 1970-01-01 UTC
    void (*sleepMs)(uint32_t);   // block the calling thread this many milliseconds
};

/// Milliseconds on a monotonic clock.
uint64_t nowMs();
/// Seconds since 1970 (wall clock).
int64_t nowSeconds();
/// Milliseconds since 1970: the system's, or the replaced seconds times 1000.
int64_t nowUnixMs();
/// Sleeps the calling thread.
void sleepMs(uint32_t ms);

/// Replaces the source of time for the whole process; null members keep the system's.
void setClockSource(const ClockSource& source);
/// Goes back to the system clock.
void resetClockSource();

}  // namespace dialo

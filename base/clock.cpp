#include "base/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace dialo {
namespace {

uint64_t systemMonotonicMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t systemUnixSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

void systemSleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Each member is swapped on its own so readers never see a half-replaced source.
std::atomic<uint64_t (*)()> gMonotonic{systemMonotonicMs};
std::atomic<int64_t (*)()> gUnix{systemUnixSeconds};
std::atomic<void (*)(uint32_t)> gSleep{systemSleepMs};

}  // namespace

uint64_t nowMs() { return gMonotonic.load()(); }
int64_t nowSeconds() { return gUnix.load()(); }
void sleepMs(uint32_t ms) { gSleep.load()(ms); }

int64_t nowUnixMs() {
    auto unix = gUnix.load();
    if (unix != systemUnixSeconds) return unix() * 1000;
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void setClockSource(const ClockSource& source) {
    gMonotonic = source.monotonicMs ? source.monotonicMs : systemMonotonicMs;
    gUnix = source.unixSeconds ? source.unixSeconds : systemUnixSeconds;
    gSleep = source.sleepMs ? source.sleepMs : systemSleepMs;
}

void resetClockSource() { setClockSource(ClockSource{nullptr, nullptr, nullptr}); }

}  // namespace dialo

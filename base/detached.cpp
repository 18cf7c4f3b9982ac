#include "base/detached.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace dialo {
namespace {

struct Detached {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;  // guarded by mutex
};

// Never destroyed: a thread may end while the process exits, after static destructors ran.
Detached& detached() {
    static Detached* d = new Detached;
    return *d;
}

void finished() {
    Detached& d = detached();
    std::lock_guard lock(d.mutex);
    --d.running;
    // Under the lock, so a waiter cannot return and let the process end mid-notify.
    d.ended.notify_all();
}

}  // namespace

bool startDetached(std::function<void()> body) {
    Detached& d = detached();
    {
        std::lock_guard lock(d.mutex);
        ++d.running;
    }
    try {
        std::thread([body = std::move(body)]() mutable {
            struct End {
                ~End() { finished(); }
            } end;
            // Destroyed before `end`: nothing of the body outlives the count.
            const std::function<void()> run = std::move(body);
            run();
        }).detach();
        return true;
    } catch (const std::exception&) {  // no thread to spare, or no memory for its state
        finished();
        return false;
    }
}

bool waitForDetached(uint32_t timeoutMs) {
    Detached& d = detached();
    std::unique_lock lock(d.mutex);
    return d.ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&d] { return d.running == 0; });
}

}  // namespace dialo

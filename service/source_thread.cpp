#include "service/source_thread.h"

namespace dialo::service {

void SourceThread::start(std::function<void()> follow, std::function<void()> failed) {
    thread_ = std::thread([follow = std::move(follow), failed = std::move(failed)] {
        try {
            follow();
        } catch (...) {
            if (failed) failed();
        }
    });
}

void SourceThread::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    // Only the joined thread read it.
    stopping_ = false;
}

void SourceThread::pause(std::chrono::milliseconds pause) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, pause, [this] { return stopping_.load(); });
}

}  // namespace dialo::service

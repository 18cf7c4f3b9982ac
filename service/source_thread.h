#pragma once
// The follow thread of a chain source: started once, stopped by a flag that also cuts its
// long polls short, and paused between rounds in a wait that a stop ends at once.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace dialo::service {

class SourceThread {
public:
    SourceThread() = default;
    SourceThread(const SourceThread&) = delete;
    SourceThread& operator=(const SourceThread&) = delete;
    ~SourceThread() { stop(); }

    bool running() const { return thread_.joinable(); }

    /// Runs `follow` on the thread; `failed` is called on it instead if `follow` throws, so
    /// the source can say so in its health.
    void start(std::function<void()> follow, std::function<void()> failed);

    /// Ends the waits and the polls given stopFlag(), then joins the thread; ready to start again.
    void stop();

    bool stopping() const { return stopping_.load(); }
    const std::atomic<bool>* stopFlag() const { return &stopping_; }

    /// Sleeps for `pause` unless the source stops first.
    void pause(std::chrono::milliseconds pause);

private:
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;  // orders the flag's setting with the wait, so no stop is missed
    std::condition_variable wake_;
};

}  // namespace dialo::service

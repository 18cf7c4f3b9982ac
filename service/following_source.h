#pragma once
// What the devnet feed and node sources share: a follow thread, stopped by a flag that also
// cuts its long polls short and paused between rounds in a wait a stop ends at once, and the
// state of the link that their health tells.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "service/chain_source.h"

namespace dialo::service {

class FollowingSource : public ChainSource {
public:
    ~FollowingSource() override { stop(); }
    void stop() override;

protected:
    bool running() const { return thread_.joinable(); }

    /// Runs `follow` on the thread; should it throw, the link is down with `failure` as its
    /// error. A source's own destructor calls stop(), before the fields the thread reads go.
    void startFollowing(std::function<void()> follow, std::string failure);

    bool stopping() const { return stopping_.load(); }
    const std::atomic<bool>* stopFlag() const { return &stopping_; }

    /// Sleeps for `pause` unless the source stops first; `lock` holds mutex_, let go meanwhile.
    void pause(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds pause);

    /// The link's part of health(): "source", "connected", "last_seen_ms" and any "error".
    /// Called with mutex_ held.
    nlohmann::json linkHealth(const char* source) const;

    std::mutex mutex_;  // guards the fields below and the sources' own following state
    bool connected_ = false;
    int64_t lastSeenMs_ = 0;
    std::string lastError_;

private:
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::condition_variable wake_;
};

}  // namespace dialo::service

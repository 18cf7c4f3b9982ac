#include "service/following_source.h"

namespace dialo::service {

void FollowingSource::startFollowing(std::function<void()> follow, std::string failure) {
    thread_ = std::thread([this, follow = std::move(follow), failure = std::move(failure)] {
        try {
            follow();
        } catch (...) {
            std::lock_guard lock(mutex_);
            connected_ = false;
            lastError_ = failure;
        }
    });
}

void FollowingSource::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    // Ready for the next start; only the joined thread read it.
    stopping_ = false;
}

void FollowingSource::pause(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds pause) {
    wake_.wait_for(lock, pause, [this] { return stopping_.load(); });
}

nlohmann::json FollowingSource::linkHealth(const char* source) const {
    nlohmann::json h = {{"source", source}, {"connected", connected_}, {"last_seen_ms", lastSeenMs_}};
    if (!lastError_.empty()) h["error"] = lastError_;
    return h;
}

}  // namespace dialo::service

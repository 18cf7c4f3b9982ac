#include "base/recent_set.h"

#include <algorithm>

namespace dialo {

bool RecentSet::insert(const std::string& key) {
    if (!set_.insert(key).second) return false;
    order_.push_back(key);
    while (order_.size() > bound_ && !order_.empty()) {
        set_.erase(order_.front());
        order_.pop_front();
    }
    return true;
}

size_t RecentSet::erase(const std::string& key) {
    if (set_.erase(key) == 0) return 0;
    // What is taken back is nearly always what was just added.
    auto it = std::find(order_.rbegin(), order_.rend(), key);
    if (it != order_.rend()) order_.erase(std::next(it).base());
    return 1;
}

void RecentSet::clear() {
    set_.clear();
    order_.clear();
}

}  // namespace dialo

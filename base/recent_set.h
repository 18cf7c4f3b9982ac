#pragma once
// A set of texts that forgets its oldest entries past a bound: what the phone remembers of
// the transactions and events the network sends must not grow with whatever it sends.

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_set>

namespace dialo {

class RecentSet {
public:
    explicit RecentSet(size_t bound) : bound_(bound) {}

    /// Adds `key`; false when it was held already. Past the bound the oldest entry goes.
    bool insert(const std::string& key);
    size_t count(const std::string& key) const { return set_.count(key); }
    size_t erase(const std::string& key);
    void clear();
    size_t size() const { return set_.size(); }
    /// Oldest first.
    std::deque<std::string>::const_iterator begin() const { return order_.begin(); }
    std::deque<std::string>::const_iterator end() const { return order_.end(); }

private:
    size_t bound_;
    std::unordered_set<std::string> set_;
    std::deque<std::string> order_;  // the entries of set_, oldest first
};

}  // namespace dialo

#include "tools/devnet/storm.h"

namespace dialo::devnet {

using nlohmann::json;

namespace {

constexpr size_t kMaxPollAddresses = 10000;  // a runaway client cannot grow the tally for ever

// "429" for a status, the word itself for the others; empty when it is neither.
std::string kindName(const json& k) {
    if (k.is_number_integer()) {
        const int64_t status = k.get<int64_t>();
        return status >= 400 && status <= 599 ? std::to_string(status) : std::string();
    }
    if (k.is_string() && (k == "slow" || k == "drop")) return k.get<std::string>();
    return {};
}

}  // namespace

bool Storm::start(const json& request, std::string& error) {
    if (!request.is_object()) {
        error = "storm must be a JSON object";
        return false;
    }
    double rate = 0.2;
    int64_t slowMs = 3000;
    uint64_t seed = 1;
    std::vector<std::string> kinds{"429", "503", "500", "slow", "drop"};
    if (auto it = request.find("rate"); it != request.end()) {
        if (!it->is_number() || it->get<double>() < 0 || it->get<double>() > 1) {
            error = "rate must be a number from 0 to 1";
            return false;
        }
        rate = it->get<double>();
    }
    if (auto it = request.find("slow_ms"); it != request.end()) {
        if (!it->is_number_integer() || it->get<int64_t>() < 1 || it->get<int64_t>() > 60000) {
            error = "slow_ms must be an integer from 1 to 60000";
            return false;
        }
        slowMs = it->get<int64_t>();
    }
    if (auto it = request.find("seed"); it != request.end()) {
        if (!it->is_number_integer()) {
            error = "seed must be an integer";
            return false;
        }
        seed = it->is_number_unsigned() ? it->get<uint64_t>() : uint64_t(it->get<int64_t>());
    }
    if (auto it = request.find("kinds"); it != request.end()) {
        if (!it->is_array() || it->empty()) {
            error = "kinds must be a list of statuses 400..599, \"slow\" or \"drop\"";
            return false;
        }
        kinds.clear();
        for (const json& k : *it) {
            std::string name = kindName(k);
            if (name.empty()) {
                error = "kinds must be a list of statuses 400..599, \"slow\" or \"drop\"";
                return false;
            }
            kinds.push_back(std::move(name));
        }
    }
    std::lock_guard lock(mutex_);
    active_ = true;
    rate_ = rate;
    slowMs_ = int(slowMs);
    seed_ = seed;
    kinds_ = std::move(kinds);
    random_.seed(seed);
    requests_ = 0;
    faults_.clear();
    for (const std::string& k : kinds_) faults_[k] = 0;
    return true;
}

void Storm::stop() {
    std::lock_guard lock(mutex_);
    active_ = false;
}

std::optional<Fault> Storm::draw() {
    std::lock_guard lock(mutex_);
    if (!active_) return std::nullopt;
    ++requests_;
    // Three draws for every request, faulted or not, so one request's fate never shifts the
    // next one's.
    const double roll = std::uniform_real_distribution<double>(0, 1)(random_);
    const size_t pick = std::uniform_int_distribution<size_t>(0, kinds_.size() - 1)(random_);
    const int wait = std::uniform_int_distribution<int>(slowMs_ / 2, slowMs_)(random_);
    if (roll >= rate_) return std::nullopt;
    const std::string& kind = kinds_[pick];
    ++faults_[kind];
    Fault f;
    if (kind == "slow") f.delayMs = wait;
    else if (kind == "drop") f.drop = true;
    else f.status = std::stoi(kind);
    return f;
}

json Storm::report() {
    std::lock_guard lock(mutex_);
    return {{"active", active_}, {"rate", rate_},          {"seed", seed_},    {"slow_ms", slowMs_},
            {"kinds", kinds_},   {"requests", requests_},  {"faults", faults_}};
}

void Storm::countPoll(const std::string& address) {
    std::lock_guard lock(mutex_);
    if (polls_.size() >= kMaxPollAddresses && !polls_.count(address)) return;
    ++polls_[address];
}

json Storm::polls() {
    std::lock_guard lock(mutex_);
    return polls_;
}

}  // namespace dialo::devnet

#include "tools/phone/calls.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "call/call_control.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "store/phone_store.h"
#include "store/saver.h"

namespace dialo {
namespace {

using nlohmann::json;

constexpr int kMaxWaitSeconds = 3600;

struct Job {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

std::mutex gMutex;
std::condition_variable gChanged;
bool gFinishing = false;
std::vector<Job> gJobs;  // call actions and waits; finished ones are joined as new ones start

// Runs `body` on a thread of its own; a thread that cannot be made is a command not run.
void spawn(std::function<void()> body) {
    std::vector<Job> finished;
    {
        std::lock_guard lock(gMutex);
        for (auto it = gJobs.begin(); it != gJobs.end();) {
            if (*it->done) {
                finished.push_back(std::move(*it));
                it = gJobs.erase(it);
            } else {
                ++it;
            }
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        try {
            // After quit nothing new starts: what runs then would outlive the console it prints to.
            if (!gFinishing)
                gJobs.push_back({std::thread([body = std::move(body), done] {
                                 body();
                                 *done = true;
                             }),
                             done});
        } catch (const std::exception&) {
        }
    }
    for (Job& j : finished) j.thread.join();
}

bool stateNamed(const std::string& name, CallState& out) {
    for (CallState s : {CallState::Idle, CallState::Calling, CallState::Incoming, CallState::Talking,
                        CallState::LeavingMessage})
        if (name == callStateName(s)) {
            out = s;
            return true;
        }
    return false;
}

// Answers as soon as the call state is `want`, or false when `seconds` pass first.
void waitFor(CallState want, int seconds, const PrintLine& print) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool ok = false;
    CallState now = CallState::Idle;
    std::unique_lock lock(gMutex);
    for (;;) {
        lock.unlock();
        now = lockPhoneBrief().state.callState;
        lock.lock();
        if (now == want) {
            ok = true;
            break;
        }
        if (gFinishing || std::chrono::steady_clock::now() >= deadline) break;
        // Every state change posts a refresh; the short bound only covers one that did not.
        gChanged.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
    }
    lock.unlock();
    print(json{{"event", "wait"}, {"callState", callStateName(now)}, {"ok", ok}});
}

// A settings or list change under the phone-state mutex, saved and shown.
json changeStore(const char* event, const std::function<bool(PhoneState&)>& change) {
    bool changed;
    {
        auto g = lockPhone();
        changed = change(g.state);
        if (changed) save_phone_store(g.state);
    }
    // The answer says the change is kept: it must be on disk first.
    const bool saved = flush_phone_store();
    postUi(UiMessage::CardsRefresh);
    postUi(UiMessage::Refresh);
    if (!saved) return json{{"error", "Could not save the phone's files."}};
    return json{{"event", event}, {"changed", changed}};
}

json historyJson() {
    json calls = json::array();
    auto g = lockPhone();
    for (const CallRecord& c : g.state.boxes.calls)
        calls.push_back({{"from", c.from}, {"to", c.to}, {"secs", c.secs}, {"sats", c.sats}, {"ts", c.ts},
                         {"missed", c.missed}, {"id", c.id}, {"txid", c.txid}});
    return json{{"event", "history"}, {"calls", calls}};
}

}  // namespace

bool callCommand(const std::string& verb, const std::string& rest, const PrintLine& print) {
    if (verb == "call" && !rest.empty()) {
        spawn([rest] { placeCall(rest); });
    } else if (verb == "answer" && rest.empty()) {
        spawn(acceptCall);
    } else if (verb == "hangup" && rest.empty()) {
        spawn(hangUp);
    } else if (verb == "answer-phone" && (rest == "on" || rest == "off")) {
        const bool on = rest == "on";
        print(changeStore("answer-phone", [on](PhoneState& s) {
            const bool changed = s.boxes.answerphone != on;
            s.boxes.answerphone = on;
            return changed;
        }));
    } else if (verb == "notify" && rest.size() == 1 && rest[0] >= '0' && rest[0] <= '3') {
        const int mode = rest[0] - '0';
        print(changeStore("notify", [mode](PhoneState& s) {
            const bool changed = s.settings.notify != mode;
            s.settings.notify = mode;
            return changed;
        }));
    } else if (verb == "block" && !rest.empty()) {
        print(changeStore("block", [rest](PhoneState& s) { return block_handle(s, rest); }));
    } else if (verb == "unblock" && !rest.empty()) {
        print(changeStore("unblock", [rest](PhoneState& s) { return unblock_handle(s, rest); }));
    } else if (verb == "history" && rest.empty()) {
        print(historyJson());
    } else if (verb == "wait" && !rest.empty()) {
        const size_t blank = rest.find(' ');
        const std::string name = rest.substr(0, blank), secs = blank == std::string::npos ? "" : rest.substr(blank + 1);
        CallState want;
        int seconds = 0;
        auto [end, ec] = std::from_chars(secs.data(), secs.data() + secs.size(), seconds);
        if (!stateNamed(name, want) || ec != std::errc() || end != secs.data() + secs.size() || seconds < 0 ||
            seconds > kMaxWaitSeconds) {
            print(json{{"error", "wait STATE SECONDS: STATE one of Idle, Calling, Incoming, Talking, LeavingMessage"}});
            return true;
        }
        spawn([want, seconds, print] { waitFor(want, seconds, print); });
    } else {
        return false;
    }
    return true;
}

void callStateMayHaveChanged() {
    { std::lock_guard lock(gMutex); }
    gChanged.notify_all();
}

void finishCallCommands() {
    std::vector<Job> jobs;
    {
        std::lock_guard lock(gMutex);
        gFinishing = true;
        jobs.swap(gJobs);
    }
    gChanged.notify_all();
    for (Job& j : jobs)
        if (j.thread.joinable()) j.thread.join();
}

}  // namespace dialo

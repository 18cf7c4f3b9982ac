#include "tools/phone/console.h"

#include <condition_variable>
#include <deque>
#include <istream>
#include <mutex>
#include <ostream>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/phone_state.h"
#include "app/startup.h"
#include "app/ui_bridge.h"
#include "app/workers.h"

namespace dialo {

using nlohmann::json;

namespace {

// Plays the part of the window's message loop: the bridge only queues, this thread reads the
// state and prints, so a poster never waits on standard output or the phone-state mutex.
struct Printer {
    std::ostream& out;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<UiMessage> queue;
    bool stopping = false;
    std::thread thread;

    void line(const json& j) {
        std::lock_guard<std::mutex> lock(mutex);
        out << j.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
        out.flush();
    }
};

json stateJson(const char* event) {
    auto g = lockPhone();
    const PhoneState& s = g.state;
    return json{
        {"event", event},
        {"callState", callStateName(s.callState)},
        {"statusText", s.statusText},
        {"caption", s.caption},
        {"ownHandle", s.ownHandle},
        {"ownPayAddress", s.ownPayAddress},
        {"balance", s.balanceText},
        {"connected", false},  // the wallet link reports here once the phone can connect
    };
}

void printerLoop(Printer& p) {
    std::unique_lock<std::mutex> lock(p.mutex);
    for (;;) {
        p.wake.wait(lock, [&p] { return p.stopping || !p.queue.empty(); });
        if (p.queue.empty()) return;  // stopping with nothing left to print
        UiMessage m = p.queue.front();
        p.queue.pop_front();
        lock.unlock();
        if (m == UiMessage::Refresh) p.line(stateJson("refresh"));
        lock.lock();
    }
}

void post(Printer& p, UiMessage m) {
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.queue.push_back(m);
    }
    p.wake.notify_one();
}

std::string trimmed(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

}  // namespace

int runConsole(std::istream& in, std::ostream& out) {
    if (!startCore()) return 1;

    Printer printer{out, {}, {}, {}, false, {}};
    printer.thread = std::thread(printerLoop, std::ref(printer));
    auto receiver = [&printer](UiMessage m, intptr_t, intptr_t) { post(printer, m); };
    setUiReceiver(UiTarget::Main, receiver);
    setUiReceiver(UiTarget::Cards, receiver);

    int code = 0;
    if (!startWorkers()) {
        code = 1;
    } else {
        printer.line(json{{"event", "ready"}});
        std::string raw;
        while (std::getline(in, raw)) {
            std::string cmd = trimmed(raw);
            if (cmd.empty()) continue;
            if (cmd == "quit") break;
            if (cmd == "status") printer.line(stateJson("status"));
            else printer.line(json{{"error", "unknown command"}});
        }
    }

    setUiReceiver(UiTarget::Main, {});
    setUiReceiver(UiTarget::Cards, {});
    {
        std::lock_guard<std::mutex> lock(printer.mutex);
        printer.stopping = true;
    }
    printer.wake.notify_one();
    printer.thread.join();
    shutdownCore();
    return code;
}

}  // namespace dialo

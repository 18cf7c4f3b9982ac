// How long the main window's GUI thread stalls while the network is slow. A devnet runs
// in-process on free loopback ports; the phone starts as dialo does (startCore, the main window
// shown, startWorkers) on a funded wallet with split, confirmed coins, and bob's handle is
// published. Then every answer of the devnet is held 10 s and the run follows a 6 s plan, calls
// alternating: bob typed and Call clicked, Mute twice, Hang up; a call from bob rings in, Answer,
// Mute twice, Hang up. A call still up when the next begins is hung up by the peer. Half a second
// in, payments start, one after another with a second between, on a thread of their own (each
// holds the wallet for its whole run); near the end Connect is clicked (a disconnect) and again
// (a connect nobody approves). A 5 ms timer on the GUI thread records the gap between its ticks,
// and the window is repainted every 100 ms.
//
// Prints the longest stall (the longest gap less the 5 ms period), the 99th percentile gap and
// the number of ticks; and, because a loaded machine delays a thread that is ready to run, the
// same stall without the time the GUI thread spent waiting for a CPU (from
// /proc/thread-self/schedstat), which is what the window's own code is answerable for. The
// longest gaps are listed with the last action before each. Target: longest stall under 50 ms.
// Informational only. A stall outlasts the run when the GUI thread is stuck; the run then ends
// when it comes back.
//
//   dialo_window_bench [--seconds=30] [--messages-mb=0] [--trace]
//
// --messages-mb=N fills alice's store file before the start with N MB of answer-phone audio,
// half in the inbox and half among the saved messages, in the layout of files written before
// audio had files of its own (inline base64), so the start rewrites it; the run measures from
// when that is on disk. Then a left message arrives every second, saved as dispatch saves one,
// and the longest hold of the phone-state mutex by such a save is printed too.
//
// --trace prints the call state and status line every second, and each payment's time and
// result, on standard error. Runs under QT_QPA_PLATFORM=offscreen unless that is set.

#include <curl/curl.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/startup.h"
#include "app/workers.h"
#include "base/clock.h"
#include "base/config.h"
#include "call/call_control.h"
#include "state/phone_state.h"
#include "state/ui_bridge.h"
#include "base/base64.h"
#include "store/messages.h"
#include "store/phone_store.h"
#include "store/saver.h"
#include "tests/bench/bench_wallet.h"
#include "tools/devnet/faults.h"
#include "ui/main_window.h"
#include "wallet/keys.h"
#include "wallet/published.h"
#include "wallet/spends.h"

namespace {

using nlohmann::json;
using namespace dialo;
using Clock = std::chrono::steady_clock;

constexpr int kProbeMs = 5;
constexpr int kRepaintMs = 100;
constexpr int kHoldMs = 10'000;     // every devnet answer, milliseconds
constexpr double kCycleS = 6;       // one call's worth of clicks, seconds
constexpr int kPaymentSats = 1000;  // each payment of the spending thread
constexpr int kPaymentPauseMs = 1000;
constexpr int kPaymentDelayMs = 500;
constexpr size_t kMessageBytes = 97'500;  // a minute of GSM 6.10
constexpr int kMessagePauseMs = 1000;

// A message's audio: not voice, only its size matters here.
std::vector<uint8_t> fakeAudio(size_t n, uint32_t seed) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        b[i] = uint8_t(seed >> 24);
    }
    return b;
}

// alice's store file with `mb` megabytes of messages, inline as older builds wrote them.
void fillMessages(const std::string& root, double mb) {
    json inbox = json::array(), saved = json::array();
    const size_t count = size_t(mb * 1e6 / double(kMessageBytes));
    for (size_t i = 0; i < count; ++i) {
        const std::string id = "filled-" + std::to_string(i);
        const std::string audio = base64Encode(fakeAudio(kMessageBytes, uint32_t(i)));
        if (i % 2 == 0)
            inbox.push_back({{"id", id}, {"from", "carol"}, {"audio", audio}, {"ts", 1700000000 + int64_t(i)}, {"secs", 60}});
        else
            saved.push_back({{"n", int(saved.size()) + 1}, {"id", id}, {"from", "carol"}, {"audio", audio}});
    }
    std::ofstream(root + "/Orvane/dialo/phone-alice.json") << json{{"inbox", inbox}, {"saved", saved}}.dump(2);
}

int fail(const std::string& why) {
    std::fprintf(stderr, "window bench: %s\n", why.c_str());
    return 1;
}

double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

std::string loadAverage() {
    std::string text;
    std::getline(std::ifstream("/proc/loadavg"), text);
    return text.substr(0, text.find(' '));
}

// This thread's time on a CPU and waiting for one, milliseconds, from an open schedstat file.
struct Sched {
    double runMs = 0, waitMs = 0;
};
Sched readSched(int fd) {
    char text[96] = {};
    unsigned long long run = 0, wait = 0;
    const ssize_t n = fd >= 0 ? pread(fd, text, sizeof text - 1, 0) : -1;
    if (n > 0 && std::sscanf(text, "%llu %llu", &run, &wait) == 2) return {double(run) / 1e6, double(wait) / 1e6};
    return {};
}

// One gap between probe ticks: its length, where it ended, and how much of it the GUI thread
// spent running and waiting for a CPU, milliseconds.
struct Gap {
    double ms, endMs, runMs, waitMs;
    double stall() const { return std::max(0.0, ms - kProbeMs); }
    double ownStall() const { return std::max(0.0, ms - kProbeMs - waitMs); }
};

// What the driver did and when, to name what came before each stall.
class ActionLog {
public:
    void add(double at, std::string what) {
        std::lock_guard lock(mutex_);
        entries_.emplace_back(at, std::move(what));
    }
    std::string before(double at) {
        std::lock_guard lock(mutex_);
        std::string last = "(none)";
        for (const auto& [t, what] : entries_)
            if (t <= at) last = what + " at " + std::to_string(int(t)) + " ms";
        return last;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<double, std::string>> entries_;  // milliseconds since the start, action
};

// An incoming call from `bob`, as dispatch rings one: the state, then the ring loop.
bool ringIn(const std::string& bobAddress, const std::string& bobPub) {
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.callState != CallState::Idle) return false;
        s.callState = CallState::Incoming;
        s.callId = newCallId();
        s.peerHandle = "bob";
        s.peerPayAddress = bobAddress;
        s.peerPubKey = bobPub;
        s.firstTxid.clear();
        s.audioSeq = 0;
        s.heardAudioSeq = 0;
        s.caption = "Incoming  bob";
        s.statusText = "Incoming call.";
        s.inviteTime = nowSeconds();
        phoneFlags().ringStop = false;
    }
    postUi(UiMessage::Refresh);
    startIncomingRinger();
    return true;
}

// The peer hangs up whatever call is up, as dispatch acts on their hang-up; true when one was.
bool peerHangsUp() {
    {
        auto g = lockPhone();
        PhoneState& s = g.state;
        if (s.callState == CallState::Idle) return false;
        s.callState = CallState::Idle;
        s.caption.clear();
        s.statusText = "They hung up.";
        phoneFlags().ringStop = true;
    }
    postUi(UiMessage::Refresh);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 30;
    double messagesMb = 0;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with("--seconds=")) seconds = std::atof(arg.c_str() + 10);
        else if (arg.starts_with("--messages-mb=")) messagesMb = std::atof(arg.c_str() + 14);
        else if (arg == "--trace") trace = true;
        else return fail("usage: dialo_window_bench [--seconds=N] [--messages-mb=N] [--trace]");
    }
    if (!(messagesMb >= 0)) return fail("--messages-mb must be 0 or more");
    if (!(seconds >= 1)) return fail("--seconds must be 1 or more");
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Connect would open a terminal for Vaultra on a desktop; here nobody answers it.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    std::signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_ALL);

    const std::string root = std::filesystem::temp_directory_path() / ("dialo-window-bench-" + std::to_string(getpid()));
    std::filesystem::remove_all(root);
    setenv("LOCALAPPDATA", root.c_str(), 1);
    devnet::Devnet net;
    std::string error, address;
    if (!bench::startDevnet(net, root, error)) return fail(error);
    // The phone's store names the devnet; sound goes to WAV-file devices that play into nothing.
    const json config{{"network", net.networkJson()}, {"audio", {{"backend", "file"}}}};
    std::filesystem::create_directories(root + "/Orvane/dialo");
    std::ofstream(root + "/Orvane/dialo/phone.json") << config.dump();
    if (messagesMb > 0) fillMessages(root, messagesMb);
    applyConfigDocument(config);
    if (!bench::makeWallet(root, net, "alice", address, error)) return fail(error);
    const std::string bobPriv(64, '7');
    std::string bobPub;
    if (!pubkey_from_priv(bobPriv, bobPub)) return fail("no key for bob");
    const std::string bobAddress = address_from_pubkey(bobPub);
    if (!bench::claimHandle(net, "bob", bobPriv, bobAddress, error)) return fail(error);
    if (!bench::fundAndSplit(net, address, error)) return fail(error);

    QApplication app(argc, argv);
    if (!startCore()) return fail("startCore failed");
    // Once the phone runs, a failure stops it and the devnet before it says why.
    auto abandon = [&](const std::string& why) {
        shutdownCore();
        net.stop();
        std::filesystem::remove_all(root);
        return fail(why);
    };
    std::vector<Gap> gaps;
    ActionLog log;
    std::atomic<bool> stop{false};
    std::atomic<int> payments{0}, rings{0}, clicks{0}, hangUps{0};
    std::atomic<int> arrived{0};
    std::atomic<int64_t> longestSaveUs{0};
    double rewriteMs = 0;
    std::thread spender, driver, messenger;
    const std::string loadBefore = loadAverage();
    {
        dialo::MainWindow window;
        window.show();
        if (!startWorkers()) return abandon("startWorkers failed");
        auto* call = window.findChild<QAbstractButton*>("call");
        auto* hangup = window.findChild<QAbstractButton*>("hangup");
        auto* connect = window.findChild<QAbstractButton*>("connect");
        auto* mute = window.findChild<QAbstractButton*>("mute");
        auto* handle = window.findChild<QLineEdit*>("handle");
        if (!call || !hangup || !connect || !mute || !handle) return abandon("a button of the window was not found");

        // Until the background loop has seen the wallet and the window shows it.
        const Clock::time_point ready = Clock::now();
        while (!published_wallet().connected || lockPhone().state.ownHandle.empty()) {
            if (msSince(ready) > 20'000) return abandon("the phone did not connect to its wallet within 20 s");
            QApplication::processEvents(QEventLoop::AllEvents, 50);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }

        // A file of the old layout is rewritten once, by the saver; the run starts after it.
        const Clock::time_point rewrite = Clock::now();
        (void)flush_phone_store();
        rewriteMs = msSince(rewrite);

        std::string fault;
        if (!net.faults().add(json{{"path_prefix", "/"}, {"delay_ms", kHoldMs}, {"count", 1'000'000}}, fault))
            return abandon("fault: " + fault);
        const Clock::time_point t0 = Clock::now();

        // The first payment begins just after the first call is placed.
        spender = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPaymentDelayMs));
            while (!stop) {
                const Clock::time_point begun = Clock::now();
                const std::string result = spend_to_address(bobAddress, kPaymentSats, "");
                ++payments;
                if (trace)
                    std::fprintf(stderr, "%6.0f ms  payment of %.0f ms: %s\n", msSince(t0), msSince(begun),
                                 result.substr(0, 60).c_str());
                std::this_thread::sleep_for(std::chrono::milliseconds(kPaymentPauseMs));
            }
        });

        // Left messages arrive and are saved as dispatch saves them, under the phone-state mutex.
        if (messagesMb > 0) messenger = std::thread([&] {
            for (int n = 0; !stop; ++n) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kMessagePauseMs));
                InboxMessage m{"arrived-" + std::to_string(n), "dave", fakeAudio(kMessageBytes / 3, uint32_t(n) + 7777),
                               "", nowSeconds(), 20};
                {
                    const Clock::time_point locked = Clock::now();
                    auto g = lockPhone();
                    g.state.boxes.inbox.push_back(std::move(m));
                    cap_inbox(g.state.boxes.inbox);
                    save_phone_store(g.state);
                    const auto us = int64_t(msSince(locked) * 1000);
                    if (us > longestSaveUs) longestSaveUs = us;
                }
                ++arrived;
                log.add(msSince(t0), "a message arrives");
                postUi(UiMessage::CardsRefresh);
            }
        });

        // Clicks run on the GUI thread, queued as a user's would be.
        auto click = [&](QAbstractButton* b, const char* what) {
            log.add(msSince(t0), what);
            ++clicks;
            QMetaObject::invokeMethod(b, [b] { b->click(); }, Qt::QueuedConnection);
        };
        driver = std::thread([&] {
            enum What { PeerHangUp, Ring, Answer, Dial, Mute, HangUp, Connect };
            struct Step {
                double at;  // seconds into a cycle
                What what;
            };
            // A call still up when the next begins (its sends wait on the slow network) is ended
            // by the peer first.
            const std::vector<Step> incoming{{0, PeerHangUp}, {0.2, Ring}, {1, Answer}, {2, Mute}, {2.5, Mute}, {4, HangUp}};
            const std::vector<Step> outgoing{{0, PeerHangUp}, {0.2, Dial}, {2, Mute}, {2.5, Mute}, {4, HangUp}};
            const double total = seconds * 1000;
            std::vector<std::pair<double, What>> plan;
            for (int k = 0; k * kCycleS * 1000 < total; ++k)
                for (const Step& s : k % 2 == 0 ? outgoing : incoming)
                    plan.emplace_back((k * kCycleS + s.at) * 1000, s.what);
            // Near the end: a disconnect while a payment holds the wallet, then a connect.
            plan.emplace_back(total * 0.7, Connect);
            plan.emplace_back(total * 0.85, Connect);
            std::sort(plan.begin(), plan.end());
            double traced = -1000;
            for (const auto& [at, what] : plan) {
                while (!stop && msSince(t0) < at) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    if (trace && msSince(t0) - traced >= 1000) {
                        traced = msSince(t0);
                        auto g = lockPhone();
                        std::fprintf(stderr, "%6.0f ms  %s  %s\n", traced, callStateName(g.state.callState),
                                     g.state.statusText.c_str());
                    }
                }
                if (stop || at >= total) break;
                switch (what) {
                    case PeerHangUp:
                        if (peerHangsUp()) {
                            ++hangUps;
                            log.add(msSince(t0), "the peer hangs up");
                        }
                        break;
                    case Ring:
                        if (ringIn(bobAddress, bobPub)) {
                            ++rings;
                            log.add(msSince(t0), "a call rings in");
                        }
                        break;
                    case Answer: click(call, "Answer clicked"); break;
                    case Dial:
                        log.add(msSince(t0), "bob typed, Call clicked");
                        ++clicks;
                        QMetaObject::invokeMethod(handle, [handle, call] {
                            handle->setText("bob");
                            call->click();
                        }, Qt::QueuedConnection);
                        break;
                    case Mute: click(mute, "Mute clicked"); break;
                    case HangUp: click(hangup, "Hang up clicked"); break;
                    case Connect: click(connect, "Connect clicked"); break;
                }
            }
        });

        // The probe: the gap between ticks of a 5 ms timer is how long the loop was away.
        const int schedFd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
        Clock::time_point last = Clock::now();
        Sched lastSched = readSched(schedFd);
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        probe.setInterval(kProbeMs);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const Clock::time_point now = Clock::now();
            const Sched s = readSched(schedFd);
            gaps.push_back({std::chrono::duration<double, std::milli>(now - last).count(),
                            std::chrono::duration<double, std::milli>(now - t0).count(), s.runMs - lastSched.runMs,
                            s.waitMs - lastSched.waitMs});
            last = now;
            lastSched = s;
        });
        QTimer painter;
        painter.setInterval(kRepaintMs);
        QObject::connect(&painter, &QTimer::timeout, [&window] { window.repaint(); });
        QTimer::singleShot(int(seconds * 1000), &app, [] { QApplication::quit(); });
        last = Clock::now();
        lastSched = readSched(schedFd);
        probe.start();
        painter.start();
        (void)QApplication::exec();
        probe.stop();
        painter.stop();
        if (schedFd >= 0) ::close(schedFd);

        stop = true;
        net.faults().clear();
        driver.join();
        if (messenger.joinable()) messenger.join();
    }
    if (gaps.empty()) {
        spender.join();
        return abandon("the probe never ticked");
    }

    std::vector<double> lengths;
    for (const Gap& g : gaps) lengths.push_back(g.ms);
    std::sort(lengths.begin(), lengths.end());
    const double p99 = lengths[std::min(lengths.size() - 1, size_t(0.99 * double(lengths.size() - 1) + 0.5))];
    std::vector<Gap> byLength = gaps;
    std::sort(byLength.begin(), byLength.end(), [](const Gap& a, const Gap& b) { return a.ms > b.ms; });
    const Gap own = *std::max_element(gaps.begin(), gaps.end(),
                                      [](const Gap& a, const Gap& b) { return a.ownStall() < b.ownStall(); });

    std::printf("main window, every devnet answer held %d s, %.0f s (%s; load average %s before, %s after):\n",
                kHoldMs / 1000, seconds, std::getenv("QT_QPA_PLATFORM"), loadBefore.c_str(), loadAverage().c_str());
    std::printf("  longest GUI-thread stall %.1f ms (longest gap %.1f ms less the %d ms period; target under 50 ms)\n",
                byLength.front().stall(), byLength.front().ms, kProbeMs);
    std::printf("  longest stall less its wait for a CPU %.1f ms (at %.0f ms: %.1f ms running, %.1f ms waiting for a CPU)\n",
                own.ownStall(), own.endMs - own.ms, own.runMs, own.waitMs);
    std::printf("  gap p99 %.1f ms, median %.1f ms; %zu ticks (%.0f at exactly %d ms)\n", p99,
                lengths[lengths.size() / 2], gaps.size(), seconds * 1000 / kProbeMs, kProbeMs);
    std::printf("  %d calls rang in, %d clicks, %d hang-ups by the peer, %d payments ended meanwhile\n", rings.load(),
                clicks.load(), hangUps.load(), payments.load());
    if (messagesMb > 0)
        std::printf("  %.0f MB of messages (the run waited %.0f ms for their rewrite); %d messages arrived, the longest "
                    "save of one held the phone-state mutex %.1f ms\n",
                    messagesMb, rewriteMs, arrived.load(), double(longestSaveUs.load()) / 1000);
    std::printf("  longest gaps:\n");
    for (size_t i = 0; i < std::min<size_t>(5, byLength.size()); ++i) {
        const Gap& g = byLength[i];
        const double start = g.endMs - g.ms;
        std::printf("    %7.1f ms at %6.0f ms (%.1f running, %.1f waiting for a CPU); last action before it: %s\n",
                    g.ms, start, g.runMs, g.waitMs, log.before(start).c_str());
    }
    std::fflush(stdout);

    spender.join();
    shutdownCore();
    net.stop();
    std::filesystem::remove_all(root);
    // Threads the buttons started are detached by design and may still be finishing a send;
    // ending without static destructors keeps them off records already destroyed.
    std::_Exit(0);
}

#pragma once
// A private PulseAudio daemon for tests and benchmarks: its own runtime folder and socket, null
// sinks loaded through pactl, a recorder of a sink's monitor, the phone's 20 ms pump, and the
// arithmetic that tells a recorded tone's frequency and level. No gtest here, so the sound
// benchmark can use it too.

#include <fcntl.h>
#include <poll.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/playback.h"

namespace dialo::test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// A null sink to load: its name (the sink id), description and form factor ("" for none).
struct NullSink {
    std::string name, description, formFactor;
};

struct ProgramResult {
    int status = -1;     // exit status; -1 when it did not exit normally in time
    std::string output;  // standard output and error together
};

/// The full path of `program` on PATH; empty when there is none.
inline std::string findProgram(const std::string& program) {
    const char* path = ::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string full = dir + "/" + program;
        if (!dir.empty() && ::access(full.c_str(), X_OK) == 0) return full;
    }
    return {};
}

/// Starts `argv` with exactly `env`; its output goes to `outFd`. The child dies with the
/// thread that started it, so a crashed test leaves no daemon behind. -1 on failure.
inline pid_t spawnProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd) {
    const std::string path = findProgram(argv.at(0));
    if (path.empty()) return -1;
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Only async-signal-safe calls from here on: the test has threads.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    ::dup2(outFd, 1);
    ::dup2(outFd, 2);
    ::execve(path.c_str(), args.data(), envp.data());
    ::_exit(127);
}

/// Waits for `pid` until `deadline`; its exit status, or -1 when it is still running.
inline int waitProgram(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0) return -1;
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(5ms);
    }
}

/// Runs a program to its end (killed at `limit`) and collects its output.
inline ProgramResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                Clock::duration limit = 20s) {
    ProgramResult result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return result.output = "pipe failed", result;
    const pid_t pid = spawnProgram(argv, env, fds[1]);
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return result.output = argv.at(0) + " could not be started", result;
    }
    const Clock::time_point deadline = Clock::now() + limit;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fds[0], POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0) {
            ::kill(pid, SIGKILL);
            result.output += "\n(" + argv.at(0) + " timed out)";
            break;
        }
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        result.output.append(buffer, size_t(n));
    }
    ::close(fds[0]);
    result.status = waitProgram(pid, Clock::now() + 5s);
    return result;
}

/// The daemon: started by `start`, killed by `stop` or the destructor.
class PulseDaemon {
public:
    PulseDaemon() = default;
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;
    ~PulseDaemon() { stop(); }

    /// Starts the daemon and loads `sinks`; false with the reason in `error`.
    bool start(const std::vector<NullSink>& sinks, std::string& error) {
        std::string pattern = "/tmp/dialo-pa-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) return error = "cannot make " + pattern, false;
        dir_ = pattern;
        return launch(sinks, error);
    }

    /// Kills the daemon as a crash or an update would, keeping its folder and socket path.
    void crash() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitProgram(pid_, Clock::now() + 10s);
            pid_ = -1;
        }
        modules_.clear();
    }

    /// Starts the daemon again on the same socket, with the sinks it had when killed.
    bool relaunch(std::string& error) {
        const std::vector<NullSink> sinks = std::move(sinks_);
        sinks_.clear();
        return launch(sinks, error);
    }

    /// Kills the daemon and removes its folder.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (waitProgram(pid_, Clock::now() + 10s) < 0) {
                ::kill(pid_, SIGKILL);
                waitProgram(pid_, Clock::now() + 10s);
            }
            pid_ = -1;
        }
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
        dir_.clear();
    }

    std::string socket() const { return dir_ + "/pa.sock"; }
    std::string server() const { return "unix:" + socket(); }

    /// A client program (pactl, paplay) against this daemon only.
    ProgramResult run(const std::vector<std::string>& argv) const {
        std::vector<std::string> env = baseEnv();
        env.push_back("PULSE_SERVER=" + server());
        return runProgram(argv, env);
    }
    ProgramResult pactl(std::vector<std::string> args) const {
        args.insert(args.begin(), "pactl");
        return run(args);
    }

    bool loadSink(const NullSink& s, std::string& error) {
        std::string props = "device.description=\"" + s.description + "\"";
        if (!s.formFactor.empty()) props += " device.form_factor=" + s.formFactor;
        const ProgramResult r =
            pactl({"load-module", "module-null-sink", "sink_name=" + s.name, "sink_properties='" + props + "'"});
        if (r.status != 0) return error = "loading sink " + s.name + " failed: " + r.output, false;
        modules_[s.name] = r.output.substr(0, r.output.find_first_of("\r\n"));
        sinks_.push_back(s);
        return true;
    }

    bool unloadSink(const std::string& name, std::string& error) {
        const auto it = modules_.find(name);
        if (it == modules_.end()) return error = "no sink " + name + " was loaded", false;
        const ProgramResult r = pactl({"unload-module", it->second});
        if (r.status != 0) return error = "unloading sink " + name + " failed: " + r.output, false;
        modules_.erase(it);
        std::erase_if(sinks_, [&](const NullSink& s) { return s.name == name; });
        return true;
    }

    /// The daemon's log, for a failure's message.
    std::string logText() const {
        std::ifstream in(dir_ + "/daemon.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    bool launch(const std::vector<NullSink>& sinks, std::string& error) {
        const std::string log = dir_ + "/daemon.log";
        const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (logFd < 0) return error = "cannot write " + log, false;
        // Nothing of the desktop's own sound server: no autospawn, no shared memory with it, no
        // settings of its, and no realtime or CPU limits that a busy machine could trip.
        pid_ = spawnProgram({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                             "--disable-shm=yes", "--no-cpu-limit", "--realtime=no", "--high-priority=no",
                             "--log-target=stderr", "-L",
                             "module-native-protocol-unix socket=" + socket() + " auth-anonymous=1"},
                            baseEnv(), logFd);
        ::close(logFd);
        if (pid_ < 0) return error = "pulseaudio could not be started (is it installed?)", false;
        const Clock::time_point deadline = Clock::now() + 30s;
        while (!accepts()) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return error = "pulseaudio exited at start:\n" + logText(), false;
            }
            if (Clock::now() >= deadline) return error = "pulseaudio's socket never accepted:\n" + logText(), false;
            std::this_thread::sleep_for(10ms);
        }
        const ProgramResult info = pactl({"info"});
        if (info.status != 0) return error = "pactl info failed: " + info.output, false;
        for (const NullSink& s : sinks)
            if (!loadSink(s, error)) return false;
        return true;
    }

    std::vector<std::string> baseEnv() const {
        const char* path = ::getenv("PATH");
        return {"PATH=" + std::string(path ? path : "/usr/bin:/bin"), "HOME=" + dir_, "XDG_RUNTIME_DIR=" + dir_,
                "XDG_CONFIG_HOME=" + dir_ + "/config", "LANG=C"};
    }

    bool accepts() const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socket().c_str(), sizeof addr.sun_path - 1);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return ok;
    }

    std::string dir_;
    pid_t pid_ = -1;
    std::map<std::string, std::string> modules_;  // sink name -> module index
    std::vector<NullSink> sinks_;                 // loaded, in order
};

/// Records a source (a sink's monitor) at 8 kHz mono, noting when each fragment arrived.
class MonitorRecorder {
public:
    MonitorRecorder() = default;
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;
    ~MonitorRecorder() { stop(); }

    bool start(const std::string& server, const std::string& source, std::string& error) {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) return error = "no main loop", false;
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "dialo-test-recorder");
        pa_context_set_state_callback(context_, [](pa_context*, void* m) { signal(m); }, loop_);
        if (pa_context_connect(context_, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) != 0 ||
            pa_threaded_mainloop_start(loop_) != 0)
            return error = "the recorder could not connect", false;
        pa_threaded_mainloop_lock(loop_);
        bool ok = waitGood([&] { return contextState(); });
        if (ok) {
            const pa_sample_spec format{PA_SAMPLE_S16LE, 8000, 1};
            stream_ = pa_stream_new(context_, "monitor", &format, nullptr);
            pa_stream_set_state_callback(stream_, [](pa_stream*, void* m) { signal(m); }, loop_);
            pa_stream_set_read_callback(stream_, onRead, this);
            // 20 ms fragments, so that the null sink renders (and we hear) in small steps.
            pa_buffer_attr attr{};
            attr.maxlength = uint32_t(-1);
            attr.fragsize = 320;
            ok = pa_stream_connect_record(stream_, source.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) == 0 &&
                 waitGood([&] { return streamState(); });
        }
        pa_threaded_mainloop_unlock(loop_);
        if (!ok) error = "the recorder could not record " + source;
        return ok;
    }

    void stop() {
        if (!loop_) return;
        pa_threaded_mainloop_lock(loop_);
        if (stream_) {
            pa_stream_set_read_callback(stream_, nullptr, nullptr);
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;
        }
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_context_unref(context_);
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        context_ = nullptr;
    }

    std::vector<int16_t> samples() const {
        std::lock_guard lock(mutex_);
        return samples_;
    }

    /// When the fragment holding sample `index` arrived.
    Clock::time_point arrivalOf(size_t index) const {
        std::lock_guard lock(mutex_);
        for (const auto& [end, at] : arrivals_)
            if (index < end) return at;
        return Clock::time_point::max();
    }

    /// Waits until `done(samples)` holds or `deadline` passes; its last answer.
    bool waitFor(const std::function<bool(const std::vector<int16_t>&)>& done, Clock::time_point deadline) const {
        std::unique_lock lock(mutex_);
        return cv_.wait_until(lock, deadline, [&] { return done(samples_); });
    }

    /// Microseconds of sound the server holds, not yet played, for the playback stream named
    /// `name` (the sum over such streams); -1 when the server did not answer.
    int64_t bufferedUsec(const std::string& name) {
        struct Query {
            pa_threaded_mainloop* loop;
            const std::string* name;
            int64_t usec = 0;
            bool done = false;
        } q{loop_, &name};
        pa_threaded_mainloop_lock(loop_);
        pa_operation* op = pa_context_get_sink_input_info_list(
            context_,
            [](pa_context*, const pa_sink_input_info* i, int eol, void* data) {
                auto* q = static_cast<Query*>(data);
                if (eol) {
                    q->done = eol > 0;
                    return signal(q->loop);
                }
                const char* media = pa_proplist_gets(i->proplist, PA_PROP_MEDIA_NAME);
                if (media && *q->name == media) q->usec += int64_t(i->buffer_usec);
            },
            &q);
        while (op && pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop_);
        if (op) pa_operation_unref(op);
        pa_threaded_mainloop_unlock(loop_);
        return q.done ? q.usec : -1;
    }

    /// Forgets what was recorded so far.
    void clear() {
        std::lock_guard lock(mutex_);
        samples_.clear();
        arrivals_.clear();
    }

private:
    static void signal(void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }

    int contextState() const {
        const pa_context_state_t s = pa_context_get_state(context_);
        return s == PA_CONTEXT_READY ? 1 : PA_CONTEXT_IS_GOOD(s) ? 0 : -1;
    }
    int streamState() const {
        const pa_stream_state_t s = pa_stream_get_state(stream_);
        return s == PA_STREAM_READY ? 1 : PA_STREAM_IS_GOOD(s) ? 0 : -1;
    }
    // Loop lock held; `state` is 1 when ready, 0 while getting there, -1 on failure.
    bool waitGood(const std::function<int()>& state) {
        int s;
        while ((s = state()) == 0) pa_threaded_mainloop_wait(loop_);
        return s == 1;
    }

    static void onRead(pa_stream* s, size_t, void* self) {
        auto* r = static_cast<MonitorRecorder*>(self);
        const Clock::time_point now = Clock::now();
        const void* data;
        size_t bytes;
        std::lock_guard lock(r->mutex_);
        while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
            const auto* in = static_cast<const int16_t*>(data);
            if (in) r->samples_.insert(r->samples_.end(), in, in + bytes / 2);
            else r->samples_.insert(r->samples_.end(), bytes / 2, 0);
            pa_stream_drop(s);
        }
        r->arrivals_.emplace_back(r->samples_.size(), now);
        r->cv_.notify_all();
    }

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<int16_t> samples_;
    std::vector<std::pair<size_t, Clock::time_point>> arrivals_;  // samples so far, arrival
};

/// Runs `step` every `period` on a thread of its own, as the phone's workers do.
class Ticker {
public:
    Ticker(void (*step)(), std::chrono::milliseconds period) : thread_([this, step, period] {
        while (!stop_) {
            step();
            std::this_thread::sleep_for(period);
        }
    }) {}
    ~Ticker() {
        stop_ = true;
        thread_.join();
    }
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/// The phone's playback pump: playbackStep every 20 ms.
struct Pump : Ticker {
    Pump() : Ticker(playbackStep, std::chrono::milliseconds(20)) {}
};

/// `seconds` of a sine of `hz` at `amplitude`, 8 kHz.
inline std::vector<int16_t> sineTone(double hz, double amplitude, double seconds) {
    std::vector<int16_t> out(size_t(seconds * 8000));
    for (size_t i = 0; i < out.size(); ++i) out[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * hz * double(i) / 8000)));
    return out;
}

/// What a recording holds between its first and last sample above `threshold`.
struct ToneFound {
    size_t first = 0, last = 0;  // indexes of the first and last loud samples
    bool found = false;
    double hz = 0;               // from the zero crossings of the middle part
    double amplitude = 0;        // of the sine at `hz`, by correlation over the middle part
    int peak = 0;                // largest magnitude in the middle part
};

/// Where the samples above `threshold` begin and end.
inline ToneFound loudSpan(const std::vector<int16_t>& x, int threshold = 1000) {
    ToneFound t;
    for (size_t i = 0; i < x.size(); ++i)
        if (std::abs(int(x[i])) > threshold) {
            if (!t.found) t.first = i;
            t.last = i;
            t.found = true;
        }
    return t;
}

/// The loud stretch of `x`: its edges (20 ms at each end) are left out of the measures.
inline ToneFound findTone(const std::vector<int16_t>& x, int threshold = 1000) {
    ToneFound t = loudSpan(x, threshold);
    if (!t.found || t.last - t.first < 800) return t;
    const size_t a = t.first + 160, b = t.last - 160;
    // Upward zero crossings, placed between samples, give the period.
    double firstCross = -1, lastCross = -1;
    int crossings = 0;
    for (size_t i = a; i + 1 < b; ++i)
        if (x[i] < 0 && x[i + 1] >= 0) {
            const double at = double(i) + double(-x[i]) / double(x[i + 1] - x[i]);
            if (firstCross < 0) firstCross = at;
            lastCross = at;
            ++crossings;
        }
    if (crossings >= 2) t.hz = 8000.0 * (crossings - 1) / (lastCross - firstCross);
    double re = 0, im = 0;
    for (size_t i = a; i < b; ++i) {
        const double w = 2 * M_PI * t.hz * double(i) / 8000;
        re += x[i] * std::cos(w);
        im += x[i] * std::sin(w);
        t.peak = std::max(t.peak, std::abs(int(x[i])));
    }
    t.amplitude = 2 * std::hypot(re, im) / double(b - a);
    return t;
}

/// True when `x` holds a loud stretch followed by at least `quiet` samples of silence.
inline bool toneEnded(const std::vector<int16_t>& x, size_t quiet = 1600, int threshold = 1000) {
    const ToneFound t = loudSpan(x, threshold);
    return t.found && x.size() > t.last + quiet;
}

}  // namespace dialo::test

#pragma once
// A private PulseAudio daemon for tests, with null sinks, a monitor recorder, a pump and a tone reader.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include "audio/playback.h"
namespace dialo::test {
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
struct NullSink { std::string name, description, formFactor; };  // formFactor "" for none
struct ProgramResult { int status = -1; std::string output; };  // -1: did not end in time; output: stdout and stderr
/// Starts `argv` with exactly `env`, output to `outFd`; it dies with its parent thread. -1 on failure.
inline pid_t spawnProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outFd) {
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t parent = ::getpid(), pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // only async-signal-safe calls here: the test has threads
    if (::getppid() != parent) ::_exit(127);
    ::dup2(outFd, 1);
    ::dup2(outFd, 2);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
}
inline int waitProgram(pid_t pid, Clock::time_point deadline) {
    for (int status = 0;; std::this_thread::sleep_for(5ms)) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0 || Clock::now() >= deadline) return -1;
    }
}
inline std::string fileText(const std::string& path) { std::stringstream t; t << std::ifstream(path).rdbuf(); return t.str(); }
class PulseDaemon {
public:
    PulseDaemon() = default;
    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;
    ~PulseDaemon() { stop(); }
    bool start(const std::vector<NullSink>& sinks, std::string& error) {
        std::string pattern = "/tmp/dialo-pa-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) return error = "cannot make " + pattern, false;
        dir_ = pattern;
        return launch(sinks, error);
    }
    /// Kills the daemon as a crash would, keeping its folder, socket path and sinks to relaunch.
    void crash() { kill(SIGKILL), modules_.clear(); }
    bool relaunch(std::string& error) { return launch(std::exchange(sinks_, {}), error); }
    void stop() {
        kill(SIGTERM);
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
        dir_.clear();
    }
    std::string server() const { return "unix:" + dir_ + "/pa.sock"; }
    std::string folder() const { return dir_; }
    std::string logText() const { return fileText(dir_ + "/daemon.log"); }
    pid_t spawn(const std::vector<std::string>& argv, const std::string& out) const {
        std::vector<std::string> env = baseEnv();
        env.push_back("PULSE_SERVER=" + server());
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const pid_t pid = spawnProgram(argv, env, fd);
        ::close(fd);
        return pid;
    }
    ProgramResult pactl(std::vector<std::string> args) const {
        args.insert(args.begin(), "pactl");
        const std::string out = dir_ + "/pactl.out";
        const pid_t pid = spawn(args, out);
        ProgramResult r;
        if (pid < 0) return r;
        if ((r.status = waitProgram(pid, Clock::now() + 20s)) < 0) ::kill(pid, SIGKILL), waitProgram(pid, Clock::now() + 5s);
        r.output = fileText(out);
        return r;
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
        const ProgramResult r = pactl({"unload-module", modules_[name]});
        if (r.status != 0) return error = "unloading sink " + name + " failed: " + r.output, false;
        modules_.erase(name);
        std::erase_if(sinks_, [&](const NullSink& s) { return s.name == name; });
        return true;
    }
private:
    void kill(int signal) {
        if (pid_ <= 0) return;
        ::kill(pid_, signal);
        if (waitProgram(pid_, Clock::now() + 10s) < 0) ::kill(pid_, SIGKILL), waitProgram(pid_, Clock::now() + 10s);
        pid_ = -1;
    }
    bool launch(const std::vector<NullSink>& sinks, std::string& error) {
        const int logFd = ::open((dir_ + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        // None of the desktop's sound server, no realtime or CPU limits a busy machine could trip.
        pid_ = spawnProgram({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                             "--disable-shm=yes", "--no-cpu-limit", "--realtime=no", "--high-priority=no",
                             "--log-target=stderr", "-L",
                             "module-native-protocol-unix socket=" + dir_ + "/pa.sock auth-anonymous=1"},
                            baseEnv(), logFd);
        ::close(logFd);
        if (pid_ < 0) return error = "pulseaudio could not be started", false;
        const Clock::time_point deadline = Clock::now() + 30s;
        while (pactl({"info"}).status != 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) return pid_ = -1, error = "pulseaudio exited:\n" + logText(), false;
            if (Clock::now() >= deadline) return error = "pulseaudio never answered:\n" + logText(), false;
            std::this_thread::sleep_for(50ms);
        }
        for (const NullSink& s : sinks)
            if (!loadSink(s, error)) return false;
        return true;
    }
    std::vector<std::string> baseEnv() const {
        const char* path = ::getenv("PATH");
        return {"PATH=" + std::string(path ? path : "/usr/bin:/bin"), "HOME=" + dir_, "XDG_RUNTIME_DIR=" + dir_,
                "XDG_CONFIG_HOME=" + dir_ + "/config", "LANG=C"};
    }
    std::string dir_;
    pid_t pid_ = -1;
    std::map<std::string, std::string> modules_;  // sink name -> module index
    std::vector<NullSink> sinks_;                 // loaded, in order
};
/// Records a source (a sink's monitor) at 8 kHz mono with pacat, into a file read as it grows.
class MonitorRecorder {
public:
    MonitorRecorder() = default;
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;
    ~MonitorRecorder() { if (pid_ > 0) ::kill(pid_, SIGKILL), waitProgram(pid_, Clock::now() + 10s); }
    /// Starts recording and waits for its first sound (a null sink's monitor gives silence).
    bool start(const PulseDaemon& daemon, const std::string& source, std::string& error) {
        path_ = daemon.folder() + "/" + source + "-" + std::to_string(++count_) + ".raw";
        pid_ = daemon.spawn(
            {"pacat", "--record", "--raw", "--device=" + source, "--format=s16le", "--rate=8000", "--channels=1", "--latency-msec=20"}, path_);
        if (pid_ < 0 || !waitFor([](const auto& x) { return !x.empty(); })) return error = "pacat never recorded " + source, false;
        return true;
    }
    std::vector<int16_t> samples(size_t from = 0) const {
        const std::string bytes = fileText(path_);
        std::vector<int16_t> out(bytes.size() / 2 > from ? bytes.size() / 2 - from : 0);
        if (!out.empty()) std::memcpy(out.data(), bytes.data() + 2 * from, out.size() * 2);
        return out;
    }
    /// Waits until `done(samples from `from` on)` holds or `limit` passes; its last answer.
    bool waitFor(const std::function<bool(const std::vector<int16_t>&)>& done, size_t from = 0,
                 Clock::duration limit = 20s) const {
        for (const Clock::time_point deadline = Clock::now() + limit;; std::this_thread::sleep_for(20ms))
            if (done(samples(from))) return true;
            else if (Clock::now() >= deadline) return false;
    }
private:
    static inline int count_ = 0;
    std::string path_;
    pid_t pid_ = -1;
};
struct Ticker {
    Ticker(void (*step)(), std::chrono::milliseconds period)
        : thread_([this, step, period] { for (; !stop_; std::this_thread::sleep_for(period)) step(); }) {}
    ~Ticker() { stop_ = true, thread_.join(); }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
struct Pump : Ticker { Pump() : Ticker(playbackStep, 20ms) {} };
inline std::vector<int16_t> sineTone(double hz, double amplitude, double seconds) {
    std::vector<int16_t> out(size_t(seconds * 8000));
    for (size_t i = 0; i < out.size(); ++i) out[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * hz * double(i) / 8000)));
    return out;
}
/// A recorded tone's pitch (whole periods) and length (loud 20 ms frames), blind to playback gaps.
struct Heard { double hz = 0, seconds = 0; int peak = 0; bool ended = false; };  // ended: loud, then 0.2 s quiet
inline Heard heardTone(const std::vector<int16_t>& x) {
    Heard h;
    size_t lastLoud = 0;
    for (size_t at = 0; at + 160 <= x.size(); at += 160) {
        int peak = 0;
        for (size_t i = at; i < at + 160; ++i) peak = std::max(peak, std::abs(int(x[i])));
        if (peak > 1000) h.seconds += 0.02, lastLoud = at + 160;
        h.peak = std::max(h.peak, peak);
    }
    h.ended = h.seconds > 0 && x.size() >= lastLoud + 1600;
    double last = -1, periods = 0;
    int counted = 0;
    for (size_t i = 0; i + 1 < x.size(); ++i)
        if (x[i] < 0 && x[i + 1] >= 0) {
            const double at = double(i) + double(-x[i]) / double(x[i + 1] - x[i]);
            if (last >= 0 && at - last < 80) periods += at - last, ++counted;  // not across a gap
            last = at;
        }
    if (counted > 0) h.hz = 8000 * counted / periods;
    return h;
}
}  // namespace dialo::test

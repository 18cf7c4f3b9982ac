#include "child.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>

extern char** environ;

namespace dialo::test {

Child::Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& stderrPath)
    : stderrPath_(stderrPath) {
    // This process's environment (main has removed the display), with `env` in place.
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e)
        if (const std::string kv = *e; !env.count(kv.substr(0, kv.find('=')))) envText.push_back(kv);
    for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
    std::vector<std::string> argText = argv;
    std::vector<char*> envp, args;
    for (std::string& s : envText) envp.push_back(s.data());
    for (std::string& s : argText) args.push_back(s.data());
    envp.push_back(nullptr);
    args.push_back(nullptr);

    // Close-on-exec on the test's ends, so that no other child holds them open.
    int inPipe[2], outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
    reader_ = std::thread(&Child::readLoop, this);
}

Child::~Child() {
    if (in_ >= 0) ::close(in_);
    if (pid_ > 0 && !reaped_ && waitExit(0) == -1) {
        ::kill(pid_, SIGTERM);
        if (waitExit(10000) == -1) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    if (reader_.joinable()) reader_.join();
    if (out_ >= 0) ::close(out_);
}

void Child::readLoop() {
    std::string pending;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buf, size_t(n));
        std::lock_guard lock(mutex_);
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
            lines_.push_back(pending.substr(0, nl));
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    eof_.notify_all();
}

bool Child::send(const std::string& line) {
    const std::string text = line + "\n";
    return in_ >= 0 && ::write(in_, text.data(), text.size()) == ssize_t(text.size());
}

std::vector<std::string> Child::lines(size_t first) const {
    std::lock_guard lock(mutex_);
    return {lines_.begin() + long(std::min(first, lines_.size())), lines_.end()};
}

int Child::waitExit(int ms) {
    if (reaped_) return code_;
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    {
        // The end of its output comes with its end, or with a child of its own holding it.
        std::unique_lock lock(mutex_);
        eof_.wait_until(lock, deadline, [this] { return ended_; });
    }
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            reaped_ = true;
            return code_;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string Child::stderrText() const {
    std::ifstream in(stderrPath_);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int runToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& stderrPath, std::string& out, int ms) {
    Child child(argv, env, stderrPath);
    const int code = child.waitExit(ms);
    for (const std::string& line : child.lines()) out += line + "\n";
    if (code != 0) out += child.stderrText();
    return code;
}

}  // namespace dialo::test

#include "private_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace dialo::test {
namespace {

constexpr int kStartSeconds = 20;

// A session bus that listens on one socket, lets the test's clients own any name and talk to
// one another, and has no service folders, so nothing is started on demand.
std::string configFor(const std::string& socket) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:path=" + socket + "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\"/>\n"
           "    <allow receive_sender=\"*\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

}  // namespace

PrivateBus::PrivateBus() {
    char pattern[] = "/tmp/dialo-bus-XXXXXX";
    if (!::mkdtemp(pattern)) {
        error_ = "no temporary folder for the bus";
        return;
    }
    dir_ = pattern;
    const std::string config = dir_ + "/session.conf";
    std::ofstream(config) << configFor(dir_ + "/bus");

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error_ = "no pipe for the bus's address";
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        const std::string arg = "--config-file=" + config;
        ::execlp("dbus-daemon", "dbus-daemon", arg.c_str(), "--print-address", "--nofork", "--nopidfile",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    if (pid_ < 0) {
        ::close(out[0]);
        error_ = "could not fork for dbus-daemon";
        return;
    }
    // The daemon prints its address once it listens; read up to the end of that line.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0) continue;
        char buf[256];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, size_t(n));
    }
    ::close(out[0]);
    const size_t end = line.find('\n');
    if (end == std::string::npos || end == 0) {
        error_ = "dbus-daemon printed no address within " + std::to_string(kStartSeconds) + " s: '" + line + "'";
        return;
    }
    address_ = line.substr(0, end);
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

bool PrivateBus::becomeSessionBus() const {
    return !address_.empty() && ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1) == 0;
}

}  // namespace dialo::test

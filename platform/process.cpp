#include "platform/process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace dialo {

std::string findInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (name.empty() || path == nullptr) return {};
    std::string all = path;
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos) end = all.size();
        std::string dir = all.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

bool spawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    std::string program = argv[0].find('/') == std::string::npos ? findInPath(argv[0]) : argv[0];
    if (program.empty()) return false;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // The grandchild reports a failed exec through this pipe; a clean EOF means it started.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;

    // Double fork: the middle child exits at once and is reaped here, so the program ends up
    // a child of init and never lingers as our zombie. Only async-signal-safe calls after
    // fork, as other threads may hold locks.
    pid_t middle = ::fork();
    if (middle < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (middle == 0) {
        ::close(report[0]);
        pid_t pid = ::fork();
        if (pid != 0) ::_exit(pid < 0 ? 1 : 0);
        // Its own session: closing this program's terminal must not end it.
        ::setsid();
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
            if (null > 2) ::close(null);
        }
        ::execve(program.c_str(), args.data(), environ);
        int err = errno;
        ssize_t ignored = ::write(report[1], &err, sizeof err);
        (void)ignored;
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(middle, &status, 0);
    } while (waited < 0 && errno == EINTR);
    bool forked = waited == middle && WIFEXITED(status) && WEXITSTATUS(status) == 0;

    int err = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    return forked && n == 0;
}

bool keepOutOfCoreDumps() { return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0; }

}  // namespace dialo

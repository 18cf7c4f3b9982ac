#pragma once
// A PostgreSQL cluster of the test's own: initdb into a folder under /tmp, a free port on
// 127.0.0.1 and the unix socket in that folder, trust for its connections (this cluster
// only), and one database. Removed when the object goes. PostgreSQL refuses to run as root,
// so a root test runs the server's programs as "postgres" (or "nobody"), owner of the folder.

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace dialo::test {

class PostgresCluster {
public:
    static constexpr const char* kUser = "dialo";
    static constexpr const char* kDatabase = "dialo_test";

    PostgresCluster() {
        bin_ = findBinaries();
        if (bin_.empty()) {
            error_ =
                "PostgreSQL's server programs are missing (no /usr/lib/postgresql/*/bin/initdb); "
                "scripts/setup installs the postgresql package";
            return;
        }
        char pattern[] = "/tmp/dialo-pg-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            error_ = "cannot make a folder under /tmp";
            return;
        }
        folder_ = pattern;
        if (::geteuid() == 0 && !chooseUser()) return;
        if (!run({bin_ + "/initdb", "-D", data(), "-U", kUser, "-A", "trust", "-E", "UTF8", "--no-locale",
                  "--no-sync"})) {
            error_ = "initdb failed: " + log();
            return;
        }
        // Another test may take the port between its look-up and the server's bind: try others.
        for (int attempt = 0; attempt < 5 && !running_; ++attempt) {
            port_ = freePort();
            start();
        }
        if (!running_) {
            error_ = "the server did not start: " + log();
            return;
        }
        if (!run({bin_ + "/createdb", "-h", folder_, "-p", std::to_string(port_), "-U", kUser, kDatabase})) {
            error_ = "createdb failed: " + log();
            return;
        }
        ok_ = true;
    }

    ~PostgresCluster() {
        if (running_) run({bin_ + "/pg_ctl", "-D", data(), "-m", "immediate", "-w", "stop"});
        std::error_code ec;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
    }
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    /// A libpq connection string for the cluster's database, over TCP.
    std::string conninfo() const {
        return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=" + kDatabase + " user=" + kUser;
    }

    /// What the programs and the server wrote, for a failure's message.
    std::string log() const {
        std::string out;
        for (const char* name : {"/programs.log", "/server.log"}) {
            std::ifstream in(folder_ + name);
            std::stringstream text;
            text << in.rdbuf();
            out += text.str();
        }
        if (out.size() > 4000) out = "..." + out.substr(out.size() - 4000);
        return out;
    }

private:
    /// Starts the server on port_; true once it accepts connections.
    bool start() {
        const std::string options = "-p " + std::to_string(port_) + " -k " + folder_ +
                                    " -c listen_addresses=127.0.0.1 -c fsync=off";
        running_ = run({bin_ + "/pg_ctl", "-D", data(), "-l", folder_ + "/server.log", "-w", "-t", "60", "-o",
                        options, "start"});
        return running_;
    }

    static std::string findBinaries() {
        glob_t found{};
        std::vector<std::string> dirs;
        if (::glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                dirs.push_back(std::filesystem::path(found.gl_pathv[i]).parent_path().string());
            }
        }
        ::globfree(&found);
        if (dirs.empty()) return {};
        // The newest major version: compare the numbers, not the texts ("9" < "15").
        auto major = [](const std::string& dir) {
            std::string v = std::filesystem::path(dir).parent_path().filename().string();
            return std::atoi(v.c_str());
        };
        return *std::max_element(dirs.begin(), dirs.end(),
                                 [&](const std::string& a, const std::string& b) { return major(a) < major(b); });
    }

    bool chooseUser() {
        for (const char* name : {"postgres", "nobody"}) {
            if (struct passwd* pw = ::getpwnam(name)) {
                user_ = name;
                if (::chown(folder_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
                    error_ = "cannot give " + folder_ + " to " + user_;
                    return false;
                }
                return true;
            }
        }
        error_ = "running as root, and there is no postgres or nobody user to run PostgreSQL as";
        return false;
    }

    std::string data() const { return folder_ + "/data"; }

    static int freePort() {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return 0;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            port = ntohs(addr.sin_port);
        }
        ::close(fd);
        return port;
    }

    /// Runs a program to its end (as the cluster's user when root), its output appended to
    /// programs.log; true when it exited 0.
    bool run(std::vector<std::string> argv) const {
        if (!user_.empty()) argv.insert(argv.begin(), {"runuser", "-u", user_, "--"});
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        const std::string logPath = folder_ + "/programs.log";
        int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (logFd < 0) return false;
        pid_t pid = ::fork();
        if (pid == 0) {
            // Only calls safe after fork in a threaded process, up to exec.
            if (::chdir(folder_.c_str()) != 0) ::_exit(126);
            int devNull = ::open("/dev/null", O_RDONLY);
            if (devNull >= 0) ::dup2(devNull, 0);
            ::dup2(logFd, 1);
            ::dup2(logFd, 2);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(logFd);
        if (pid < 0) return false;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) return false;
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    std::string bin_;
    std::string folder_;
    std::string user_;
    std::string error_;
    int port_ = 0;
    bool running_ = false;
    bool ok_ = false;
};

}  // namespace dialo::test

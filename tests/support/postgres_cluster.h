#pragma once
// PostgreSQL refuses to run as root, so a root test runs its programs as "postgres" (or "nobody").
#include <arpa/inet.h>
#include <glob.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace dialo::test {
class PostgresCluster {
public:
    PostgresCluster() {
        // The newest major version: compare the numbers, not the texts ("9" < "15").
        glob_t found{};
        int newest = -1;
        if (::glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                const std::filesystem::path bin = std::filesystem::path(found.gl_pathv[i]).parent_path();
                if (int v = std::atoi(bin.parent_path().filename().c_str()); v > newest) {
                    newest = v;
                    bin_ = bin.string();
                }
            }
        }
        ::globfree(&found);
        char pattern[] = "/tmp/dialo-pg-XXXXXX";
        if (bin_.empty()) {
            error_ = "PostgreSQL's server programs are missing; scripts/setup installs the postgresql package";
        } else if (::mkdtemp(pattern) == nullptr) {
            error_ = "cannot make a folder under /tmp";
        } else if (folder_ = pattern; ::geteuid() == 0 && !chooseUser()) {
            error_ = "running as root, without a postgres or nobody user to own " + folder_;
        } else if (!run("initdb -D data -U dialo -A trust -E UTF8 --no-locale --no-sync")) {
            error_ = "initdb failed: " + log();
        } else {
            // Another test may take the port between its look-up and the server's bind: try others.
            for (int attempt = 0; attempt < 5 && !running_; ++attempt) {
                port_ = freePort();
                running_ = run("pg_ctl -D data -l server.log -w -t 60 -o '-p " + std::to_string(port_) + " -k " + folder_ +
                               " -c listen_addresses=127.0.0.1 -c fsync=off' start");
            }
            if (!running_) error_ = "the server did not start: " + log();
            else if (!run("createdb -h " + folder_ + " -p " + std::to_string(port_) + " -U dialo dialo_test"))
                error_ = "createdb failed: " + log();
        }
    }
    ~PostgresCluster() {
        if (running_) (void)run("pg_ctl -D data -m immediate -w stop");
        std::error_code ec;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
    }
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    std::string conninfo() const {
        return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=dialo_test user=dialo";
    }
    /// The end of what the programs and the server wrote, for a failure's message.
    std::string log() const {
        std::stringstream text;
        for (const char* name : {"/programs.log", "/server.log"}) text << std::ifstream(folder_ + name).rdbuf();
        const std::string out = text.str();
        return out.size() > 4000 ? "..." + out.substr(out.size() - 4000) : out;
    }
private:
    bool chooseUser() {
        for (const char* name : {"postgres", "nobody"}) {
            if (struct passwd* pw = ::getpwnam(name)) {
                user_ = name;
                return ::chown(folder_.c_str(), pw->pw_uid, pw->pw_gid) == 0;
            }
        }
        return false;
    }
    static int freePort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                           ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
        if (fd >= 0) ::close(fd);
        return bound ? ntohs(addr.sin_port) : 0;
    }
    /// True when it exited 0; the folder's name is ours and holds nothing a shell would read.
    [[nodiscard]] bool run(const std::string& command) const {
        const std::string as = user_.empty() ? "" : "runuser -u " + user_ + " -- ";
        return std::system(("cd " + folder_ + " && " + as + bin_ + "/" + command + " </dev/null >>programs.log 2>&1").c_str()) == 0;
    }
    std::string bin_, folder_, user_, error_;
    int port_ = 0;
    bool running_ = false;
};
}  // namespace dialo::test

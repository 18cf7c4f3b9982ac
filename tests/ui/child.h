#pragma once
// A program run by a test: its standard input a pipe the test writes lines to, its standard
// output collected line by line on a thread of its own, its standard error kept in a file.
// The destructor ends it (SIGTERM, then SIGKILL) and reaps it.

#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dialo::test {

class Child {
public:
    /// Starts argv[0] (a path) with `env` added to, or replacing in, this process's environment.
    Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          const std::string& stderrPath);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    /// Writes one line to its standard input; false when it no longer reads.
    bool send(const std::string& line);
    /// The whole lines printed so far, from the `first`.
    std::vector<std::string> lines(size_t first = 0) const;
    /// Waits up to `ms` for it to end; its exit code, or -1 when it did not end in time.
    int waitExit(int ms);
    /// What it wrote to standard error, for a failure's message.
    std::string stderrText() const;

private:
    void readLoop();

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string stderrPath_;
    mutable std::mutex mutex_;
    std::condition_variable eof_;
    bool ended_ = false;
    std::vector<std::string> lines_;
    std::thread reader_;
    int code_ = -1;
    bool reaped_ = false;
};

/// Runs a program to its end (bounded by `ms`); its exit code answered (-1: still running), its
/// output in `out`, followed by its standard error when it failed.
int runToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& stderrPath, std::string& out, int ms = 60000);

}  // namespace dialo::test

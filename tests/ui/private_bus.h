#pragma once
// A D-Bus session bus of the test's own: a dbus-daemon on a socket in a temporary folder, with
// a configuration that starts no service by itself (so no notification daemon installed on the
// machine can answer for the test's server). The user's session bus is never touched.

#include <sys/types.h>

#include <string>

namespace dialo::test {

class PrivateBus {
public:
    /// Starts the daemon and waits (up to 20 s) for its address; `address()` is empty on failure
    /// and `error()` says why.
    PrivateBus();
    /// Ends the daemon and removes its folder.
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    const std::string& address() const { return address_; }
    const std::string& error() const { return error_; }

    /// Makes this bus the process's session bus: call before the first QDBusConnection use.
    bool becomeSessionBus() const;

private:
    pid_t pid_ = -1;
    std::string dir_;
    std::string address_;
    std::string error_;
};

}  // namespace dialo::test

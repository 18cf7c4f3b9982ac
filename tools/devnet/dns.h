#pragma once
// A DNS server on a UDP loopback port answering the SRV records paymail clients ask for
// (_bsvalias._tcp.<domain>) from records set in the running devnet; every other name or type
// gets NXDOMAIN and a packet that is not a well-formed query gets no answer at all.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/bytes.h"

namespace dialo::devnet {

struct SrvRecord {
    int priority = 0;
    int weight = 0;
    int port = 0;
    std::string target;  // host name; a trailing "." is allowed
};

/// Lower-case domain (no trailing ".") to its SRV records, in the order they are answered.
using SrvTable = std::map<std::string, std::vector<SrvRecord>>;

/// The reply to one DNS packet; empty when it is to be dropped.
Bytes dnsReply(const uint8_t* packet, size_t size, const SrvTable& table);

/// Records from [{"priority", "weight", "port", "target"}, ...]; false with a reason.
[[nodiscard]] bool srvRecordsFromJson(const nlohmann::json& list, std::vector<SrvRecord>& out, std::string& error);

class DnsServer {
public:
    DnsServer() = default;
    ~DnsServer();
    DnsServer(const DnsServer&) = delete;
    DnsServer& operator=(const DnsServer&) = delete;

    /// Binds 127.0.0.1:port (0: any free port) and starts answering on its own thread.
    [[nodiscard]] bool start(int port, std::string& error);
    /// Stops the thread and closes the socket; safe to call twice.
    void stop();
    int port() const { return port_; }

    /// Replaces the SRV records of a domain; an empty list removes them.
    [[nodiscard]] bool setSrvRecords(const std::string& domain, const std::vector<SrvRecord>& records,
                                     std::string& error);
    /// Packets received so far, answered or not.
    size_t packets() const { return packets_; }

private:
    void serve();

    int socket_ = -1;
    int wake_[2] = {-1, -1};  // a byte on wake_[1] ends serve()
    int port_ = 0;
    std::thread thread_;
    std::atomic<size_t> packets_{0};
    std::mutex mutex_;
    SrvTable table_;  // guarded by mutex_
};

}  // namespace dialo::devnet

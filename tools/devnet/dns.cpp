#include "tools/devnet/dns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/text.h"

namespace dialo::devnet {
namespace {

constexpr uint16_t kTypeSrv = 33;
constexpr uint16_t kTypeAny = 255;
constexpr uint16_t kClassIn = 1;
constexpr uint16_t kClassAny = 255;
constexpr uint16_t kFlagResponse = 0x8000;
constexpr uint16_t kFlagAuthoritative = 0x0400;
constexpr uint16_t kFlagTruncated = 0x0200;
constexpr uint16_t kFlagRecursionDesired = 0x0100;
constexpr uint16_t kFlagRecursionAvailable = 0x0080;
constexpr uint16_t kRcodeNxDomain = 3;
constexpr size_t kHeaderBytes = 12;
constexpr size_t kUdpReplyBytes = 512;  // what a client without EDNS accepts over UDP
constexpr uint32_t kTtlSeconds = 60;
constexpr size_t kMaxRecords = 32;
constexpr char kSrvPrefix[] = "_bsvalias._tcp.";

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

void put16(Bytes& out, uint16_t v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

void set16(Bytes& out, size_t at, uint16_t v) {
    out[at] = uint8_t(v >> 8);
    out[at + 1] = uint8_t(v);
}

// A host name as DNS labels; false when a label is empty or longer than 63 bytes.
bool encodeName(std::string name, Bytes& out) {
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (name.size() > 253) return false;
    size_t start = 0;
    while (!name.empty() && start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        const size_t len = dot - start;
        if (len == 0 || len > 63) return false;
        out.push_back(uint8_t(len));
        out.insert(out.end(), name.begin() + long(start), name.begin() + long(dot));
        start = dot + 1;
    }
    out.push_back(0);
    return true;
}

}  // namespace

Bytes dnsReply(const uint8_t* p, size_t n, const SrvTable& table) {
    if (n < kHeaderBytes) return {};
    const uint16_t flags = get16(p + 2);
    // Only standard queries with one question; anything else is not ours to answer.
    if ((flags & kFlagResponse) || ((flags >> 11) & 0xF) != 0 || get16(p + 4) != 1) return {};
    size_t at = kHeaderBytes;
    std::string name;
    for (;;) {
        if (at >= n) return {};
        const uint8_t len = p[at++];
        if (len == 0) break;
        if (len > 63 || at + len > n) return {};  // also refuses compression pointers in a question
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(p + at), len);
        at += len;
        if (name.size() > 253) return {};
    }
    if (at + 4 > n) return {};
    const uint16_t qtype = get16(p + at), qclass = get16(p + at + 2);
    at += 4;

    name = lowerAscii(name);
    const std::vector<SrvRecord>* records = nullptr;
    if (name.starts_with(kSrvPrefix) && (qtype == kTypeSrv || qtype == kTypeAny) &&
        (qclass == kClassIn || qclass == kClassAny)) {
        auto it = table.find(name.substr(sizeof kSrvPrefix - 1));
        if (it != table.end() && !it->second.empty()) records = &it->second;
    }

    Bytes out(p, p + at);  // the header and the question, as asked
    uint16_t replyFlags = kFlagResponse | kFlagAuthoritative | kFlagRecursionAvailable | (flags & kFlagRecursionDesired);
    if (!records) replyFlags |= kRcodeNxDomain;
    uint16_t answers = 0;
    for (size_t i = 0; records && i < records->size(); ++i) {
        const SrvRecord& r = (*records)[i];
        Bytes target;
        if (!encodeName(r.target, target)) continue;
        Bytes rr;
        put16(rr, 0xC000 | kHeaderBytes);  // the question's name
        put16(rr, kTypeSrv);
        put16(rr, kClassIn);
        put16(rr, uint16_t(kTtlSeconds >> 16));
        put16(rr, uint16_t(kTtlSeconds));
        put16(rr, uint16_t(6 + target.size()));
        put16(rr, uint16_t(r.priority));
        put16(rr, uint16_t(r.weight));
        put16(rr, uint16_t(r.port));
        rr.insert(rr.end(), target.begin(), target.end());
        if (out.size() + rr.size() > kUdpReplyBytes) {
            replyFlags |= kFlagTruncated;
            break;
        }
        out.insert(out.end(), rr.begin(), rr.end());
        ++answers;
    }
    set16(out, 2, replyFlags);
    set16(out, 4, 1);
    set16(out, 6, answers);
    set16(out, 8, 0);
    set16(out, 10, 0);
    return out;
}

bool srvRecordsFromJson(const nlohmann::json& list, std::vector<SrvRecord>& out, std::string& error) {
    error = "records must be a list of up to 32 {\"priority\", \"weight\", \"port\" (0..65535), \"target\" (host name)}";
    if (!list.is_array() || list.size() > kMaxRecords) return false;
    std::vector<SrvRecord> records;
    for (const nlohmann::json& item : list) {
        if (!item.is_object()) return false;
        SrvRecord r;
        auto number = [&item](const char* key, int& value) {
            auto it = item.find(key);
            if (it == item.end() || !it->is_number_integer()) return false;
            const int64_t v = it->get<int64_t>();
            value = int(v);
            return v >= 0 && v <= 65535;
        };
        auto target = item.find("target");
        Bytes encoded;
        if (!number("priority", r.priority) || !number("weight", r.weight) || !number("port", r.port) ||
            target == item.end() || !target->is_string() || !encodeName(target->get<std::string>(), encoded))
            return false;
        r.target = target->get<std::string>();
        records.push_back(std::move(r));
    }
    out = std::move(records);
    error.clear();
    return true;
}

DnsServer::~DnsServer() { stop(); }

bool DnsServer::start(int port, std::string& error) {
    stop();
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || ::pipe2(wake_, O_CLOEXEC) != 0) {
        error = "cannot listen for DNS on 127.0.0.1:" + std::to_string(port) + " (" + std::strerror(errno) + ")";
        stop();
        return false;
    }
    port_ = ntohs(addr.sin_port);
    try {
        thread_ = std::thread([this] { serve(); });
    } catch (const std::system_error& e) {
        error = std::string("cannot start the DNS server: ") + e.what();
        stop();
        return false;
    }
    return true;
}

void DnsServer::stop() {
    if (thread_.joinable()) {
        const char byte = 1;
        (void)!::write(wake_[1], &byte, 1);
        thread_.join();
    }
    for (int* fd : {&socket_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    port_ = 0;
}

bool DnsServer::setSrvRecords(const std::string& domainIn, const std::vector<SrvRecord>& records,
                              std::string& error) {
    std::string domain = lowerAscii(domainIn);
    if (!domain.empty() && domain.back() == '.') domain.pop_back();
    Bytes encoded;
    if (domain.empty() || !encodeName(domain, encoded)) {
        error = "domain must be a host name";
        return false;
    }
    for (const SrvRecord& r : records) {
        encoded.clear();
        if (r.priority < 0 || r.priority > 65535 || r.weight < 0 || r.weight > 65535 || r.port < 0 || r.port > 65535 ||
            !encodeName(r.target, encoded)) {
            error = "priority, weight and port must be 0..65535 and target a host name";
            return false;
        }
    }
    if (records.size() > kMaxRecords) {
        error = "at most 32 records";
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (records.empty()) table_.erase(domain);
    else table_[domain] = records;
    return true;
}

void DnsServer::serve() {
    std::vector<uint8_t> packet(65536);
    pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents == 0) continue;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(socket_, packet.data(), packet.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) continue;
        ++packets_;
        Bytes reply;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reply = dnsReply(packet.data(), size_t(n), table_);
        }
        if (!reply.empty())
            (void)::sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
    }
}

}  // namespace dialo::devnet

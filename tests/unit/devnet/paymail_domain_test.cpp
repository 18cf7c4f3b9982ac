// The devnet's second paymail domain: its DNS server answering SRV queries over real UDP, and
// its HTTPS host serving aliases added through the control endpoint.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/devnet_fixture.h"
#include "tools/devnet/faults.h"

namespace dialo::devnet::test {
namespace {

struct DnsAnswer {
    bool received = false;
    uint16_t id = 0;
    uint16_t flags = 0;
    std::vector<SrvRecord> records;
};

uint16_t get16(const Bytes& b, size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }

Bytes query(uint16_t id, const std::string& name, uint16_t type) {
    Bytes q = {uint8_t(id >> 8), uint8_t(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = std::min(name.find('.', start), name.size());
        q.push_back(uint8_t(dot - start));
        q.insert(q.end(), name.begin() + long(start), name.begin() + long(dot));
        start = dot + 1;
    }
    q.insert(q.end(), {0, uint8_t(type >> 8), uint8_t(type), 0, 1});
    return q;
}

// Labels from `at` (no compression: the server writes targets in full).
std::string readName(const Bytes& b, size_t& at) {
    std::string name;
    while (at < b.size() && b[at] != 0) {
        const size_t len = b[at++];
        if (!name.empty()) name += '.';
        name.append(b.begin() + long(at), b.begin() + long(at + len));
        at += len;
    }
    ++at;
    return name;
}

class DevnetPaymailDomainTest : public DevnetTest {
protected:
    void SetUp() override {
        DevnetTest::SetUp();
        sock_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(sock_, 0);
    }
    void TearDown() override {
        ::close(sock_);
        DevnetTest::TearDown();
    }

    void sendPacket(const Bytes& packet) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(devnet.dnsPort()));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::sendto(sock_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  ssize_t(packet.size()));
    }

    /// The next answer, waiting at most five seconds for it.
    DnsAnswer receive() {
        DnsAnswer a;
        pollfd p{sock_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return a;
        Bytes b(4096);
        ssize_t n = ::recv(sock_, b.data(), b.size(), 0);
        if (n < 12) return a;
        b.resize(size_t(n));
        a.received = true;
        a.id = get16(b, 0);
        a.flags = get16(b, 2);
        size_t at = 12;
        readName(b, at);
        at += 4;
        for (uint16_t i = 0; i < get16(b, 6) && at + 10 < b.size(); ++i) {
            at += 2;  // the name, a pointer to the question's
            EXPECT_EQ(get16(b, at), 33);
            at += 8;  // type, class, TTL
            at += 2;  // length
            SrvRecord r;
            r.priority = get16(b, at);
            r.weight = get16(b, at + 2);
            r.port = get16(b, at + 4);
            at += 6;
            r.target = readName(b, at);
            a.records.push_back(r);
        }
        return a;
    }

    DnsAnswer ask(uint16_t id, const std::string& name, uint16_t type = 33) {
        sendPacket(query(id, name, type));
        return receive();
    }

    int sock_ = -1;
};

TEST_F(DevnetPaymailDomainTest, DnsAnswersSrvQueriesFromItsRecordsOnly) {
    start();
    const json net = devnet.networkJson();
    EXPECT_EQ(net["dns_server"], "127.0.0.1:" + std::to_string(devnet.dnsPort()));
    const std::string pay = "127.0.0.1:" + std::to_string(devnet.paymailPort());
    EXPECT_EQ(net["hosts"], json({{"paymail.test", pay}, {"*.paymail.test", pay}}));

    // No records yet: the name does not exist.
    EXPECT_EQ(ask(1, "_bsvalias._tcp.paymail.test").flags & 0xF, 3);
    auto record = [](int priority, int weight, int port, const std::string& target) {
        return json{{"priority", priority}, {"weight", weight}, {"port", port}, {"target", target}};
    };
    Reply set = post("/devnet/srv", {{"domain", "Paymail.Test"},
                                     {"records", {record(5, 0, 443, "pay.paymail.test"),
                                                  record(10, 7, 8443, "alt.paymail.test.")}}});
    ASSERT_EQ(set.status, 200) << set.body;
    for (const json& bad : {record(1, 0, 70000, "x.test"), record(1, 0, 443, "x..test"), json("x.test")}) {
        SCOPED_TRACE(bad.dump());
        EXPECT_EQ(post("/devnet/srv", {{"domain", "paymail.test"}, {"records", {bad}}}).status, 400);
    }

    DnsAnswer a = ask(0xBEEF, "_BSVALIAS._tcp.Paymail.test");
    ASSERT_TRUE(a.received);
    EXPECT_EQ(a.id, 0xBEEF);
    EXPECT_EQ(a.flags & 0x8000, 0x8000) << "a response";
    EXPECT_EQ(a.flags & 0xF, 0) << "no error";
    ASSERT_EQ(a.records.size(), 2u);
    EXPECT_EQ(a.records[0].priority, 5);
    EXPECT_EQ(a.records[0].port, 443);
    EXPECT_EQ(a.records[0].target, "pay.paymail.test");
    EXPECT_EQ(a.records[1].priority, 10);
    EXPECT_EQ(a.records[1].weight, 7);
    EXPECT_EQ(a.records[1].port, 8443);
    EXPECT_EQ(a.records[1].target, "alt.paymail.test");

    // Other names and types do not exist.
    for (const auto& [name, type] : std::vector<std::pair<std::string, uint16_t>>{
             {"_bsvalias._tcp.paymail.test", 1}, {"_bsvalias._tcp.other.test", 33}, {"paymail.test", 33}}) {
        SCOPED_TRACE(name);
        DnsAnswer other = ask(7, name, type);
        ASSERT_TRUE(other.received);
        EXPECT_EQ(other.flags & 0xF, 3);
        EXPECT_TRUE(other.records.empty());
    }

    // Packets that are not a well-formed query get no answer; the next query is answered.
    Bytes response = query(2, "_bsvalias._tcp.paymail.test", 33);
    response[2] |= 0x80;
    Bytes cut = query(3, "_bsvalias._tcp.paymail.test", 33);
    cut.resize(cut.size() - 6);
    Bytes pointer = {0, 4, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 0x0C, 0, 33, 0, 1};
    const size_t before = devnet.requestCount("dns");
    for (const Bytes& bad : {Bytes{1, 2, 3}, response, cut, pointer}) sendPacket(bad);
    a = ask(9, "_bsvalias._tcp.paymail.test");
    EXPECT_EQ(a.id, 9) << "the first answer is to the well-formed query";
    EXPECT_EQ(a.records.size(), 2u);
    EXPECT_EQ(devnet.requestCount("dns"), before + 5);

    // An empty list removes the records.
    ASSERT_EQ(post("/devnet/srv", {{"domain", "paymail.test"}, {"records", json::array()}}).status, 200);
    EXPECT_EQ(ask(10, "_bsvalias._tcp.paymail.test").flags & 0xF, 3);
}

TEST_F(DevnetPaymailDomainTest, HostedAliasesAreServedByThePaymailHost) {
    start();
    const Key carol = keyOf('3');
    EXPECT_EQ(post("/devnet/paymail-add", {{"alias", "Carol"}, {"address", "1notanaddress"}}).status, 400);
    Reply added = post("/devnet/paymail-add", {{"alias", "Carol"}, {"address", carol.address}});
    ASSERT_EQ(added.status, 200) << added.body;
    EXPECT_EQ(added.j["paymail"], "carol@paymail.test");

    const int port = devnet.paymailPort();
    const size_t before = devnet.requestCount("paymail");
    Reply doc = send(port, "GET", "/.well-known/bsvalias");
    ASSERT_EQ(doc.status, 200);
    EXPECT_EQ(doc.j["capabilities"]["2a40af698840"], "https://paymail.test/api/p2p-destination/{alias}@{domain.tld}");

    Reply p2p = send(port, "POST", "/api/p2p-destination/carol@paymail.test", R"({"satoshis":3})");
    ASSERT_EQ(p2p.status, 200) << p2p.body;
    const std::string script = hex_encode(p2pkh_script(carol.hash));
    EXPECT_EQ(p2p.j["outputs"], json::array({{{"script", script}, {"satoshis", 3}}}));
    EXPECT_EQ(p2p.j["reference"].get<std::string>().size(), 32u);
    EXPECT_EQ(send(port, "POST", "/api/destination/CAROL@paymail.test", "{}").j["output"], script);
    EXPECT_EQ(send(port, "POST", "/api/p2p-destination/dave@paymail.test", R"({"satoshis":1})").status, 404);
    EXPECT_EQ(send(port, "POST", "/api/p2p-destination/carol@orvane.test", R"({"satoshis":1})").status, 404);

    // A transaction paying the alias is taken into the ledger.
    Bytes raw = buildSigned({fund(keyOf('5'), 10000)}, {payTo(carol, 1000)}, keyOf('5'));
    const json receive = {{"hex", hex_encode(raw)}, {"reference", p2p.j["reference"]}, {"metadata", json::object()}};
    Reply taken = send(port, "POST", "/api/receive-tx/carol@paymail.test", receive.dump());
    ASSERT_EQ(taken.status, 200) << taken.body;
    EXPECT_EQ(taken.j["txid"], txid_of(raw));
    EXPECT_EQ(woc("/tx/" + txid_of(raw) + "/hex").body, hex_encode(raw));
    EXPECT_EQ(devnet.requestCount("paymail"), before + 6);

    // The alias outlives a restart; injected faults reach this host by its server name.
    restart();
    std::string error;
    ASSERT_TRUE(devnet.faults().add({{"path_prefix", "/.well-known/"}, {"server", "paymail"}, {"status", 503}}, error));
    EXPECT_EQ(send(devnet.paymailPort(), "GET", "/.well-known/bsvalias").status, 503);
    EXPECT_EQ(send(devnet.paymailPort(), "POST", "/api/destination/carol@paymail.test", "{}").j["output"], script);
}

}  // namespace
}  // namespace dialo::devnet::test

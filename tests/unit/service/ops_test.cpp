// Rate limits with Retry-After and the request log; metrics and the health check are e2e's.
#include <gtest/gtest.h>
#include <httplib.h>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>
#include "service/ops.h"
#include "support/temp_folder.h"

namespace dialo::service {
namespace {
using Clock = RateLimiter::Clock;
using namespace std::chrono_literals;
TEST(RateLimiter, BurstThenRetryAfterThenRefillAndExpiry) {
    struct Row {
        const char* name;
        double perSecond;
        int burst;
        int retryAfter;  // seconds told to the first refused request
    };
    for (const Row& row : std::vector<Row>{{"one a second", 1, 3, 1}, {"one in four seconds", 0.25, 2, 4}}) {
        SCOPED_TRACE(row.name);
        RateLimiter limiter(row.perSecond, row.burst);
        const Clock::time_point t0 = Clock::now();
        for (int i = 0; i < row.burst; ++i) EXPECT_EQ(limiter.take("10.0.0.1", t0), 0) << "request " << i;
        EXPECT_EQ(limiter.take("10.0.0.1", t0), row.retryAfter);
        // Another key has a bucket of its own.
        EXPECT_EQ(limiter.take("10.0.0.2", t0), 0);
        // After the wait it was told, the client has a token again, and only one.
        const Clock::time_point later = t0 + std::chrono::milliseconds(int(row.retryAfter * 1000));
        EXPECT_EQ(limiter.take("10.0.0.1", later), 0);
        EXPECT_GT(limiter.take("10.0.0.1", later), 0);
        // An idle bucket, once full again, is forgotten when a later request comes by.
        EXPECT_EQ(limiter.size(), 1u);
        const Clock::time_point idle = later + std::chrono::seconds(int(row.burst / row.perSecond) + 2);
        EXPECT_EQ(limiter.take("10.0.0.3", idle), 0);
        EXPECT_EQ(limiter.size(), 1u);
    }
    // Past its bound the limiter lets new keys through unlimited rather than grow.
    RateLimiter small(1, 1, 2);
    const Clock::time_point t = Clock::now();
    for (const char* k : {"a", "b", "c", "c"}) EXPECT_EQ(small.take(k, t), 0) << k;
    EXPECT_EQ(small.size(), 2u);
    EXPECT_EQ(clientKey("2001:db8:1:2:3:4:5:6"), "2001:db8:1:2::/64");
    EXPECT_EQ(clientKey("::ffff:192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(clientKey("192.0.2.7"), "192.0.2.7");
}
struct OpsServer {
    test::TempFolder dir{"platform-ops", false};
    RequestLog log;
    std::unique_ptr<Ops> ops;
    httplib::Server server;
    std::thread thread;
    int port = 0;
    PlatformCounters counters;
    explicit OpsServer(const PlatformLimits& limits) {
        std::string error;
        EXPECT_TRUE(log.open(dir.path + "/requests.log", error)) << error;
        ops = std::make_unique<Ops>(limits, false, &log);
        ops->install(server, [] { return nlohmann::json{{"ok", true}}; }, &counters);
        server.Get("/oi/oracle/dialo/txids", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"txids":[],"cursor":"0"})", "application/json");
        });
        port = server.bind_to_any_port("127.0.0.1");  // listening from here on
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~OpsServer() {
        server.stop();
        thread.join();
    }
    // The log's lines once it holds `count` of them (the logger writes after the answer is sent).
    std::vector<std::string> logLines(size_t count) {
        std::vector<std::string> lines;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        do {
            lines.clear();
            std::ifstream in(dir.path + "/requests.log");
            for (std::string line; std::getline(in, line);) lines.push_back(line);
            if (lines.size() >= count) break;
            std::this_thread::sleep_for(5ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return lines;
    }
};
TEST(PlatformOps, LimitsAnswer429WithRetryAfterAndTheLogShowsIt) {
    PlatformLimits limits;
    limits.clientPerSecond = 0.001;  // no token comes back while the test runs
    limits.clientBurst = 5;
    limits.addressPerSecond = 0.001;
    limits.addressBurst = 2;
    OpsServer s(limits);
    ASSERT_GT(s.port, 0);
    httplib::Client cli("127.0.0.1", s.port);
    const std::pair<const char*, int> rows[] = {
        {"/oi/oracle/dialo/txids?address=1A&kind=all&limit=5&wait=20", 200},
        {"/oi/oracle/dialo/txids?address=1A&kind=all", 200},
        {"/oi/oracle/dialo/txids?address=1A", 429},  // the address's burst is spent
        {"/oi/oracle/dialo/txids?address=1B", 200},  // another address is not
        {"/healthz", 200},
        {"/nowhere", 429},  // the client's burst of five is spent
    };
    for (const auto& [path, status] : rows) {
        SCOPED_TRACE(path);
        httplib::Result r = cli.Get(path);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, status);
        if (status == 429) {
            // 1000 s for a token, less what has come back since the burst began.
            const int retry = std::atoi(r->get_header_value("Retry-After").c_str());
            EXPECT_TRUE(retry > 900 && retry <= 1000) << retry;
            EXPECT_EQ(nlohmann::json::parse(r->body, nullptr, false).value("retry_after", 0), retry) << r->body;
        }
    }
    // Answers on separate server threads may log out of order; only the address is kept.
    std::multiset<std::string> logged, expected;
    for (const auto& [path, status] : rows) expected.insert(std::string(path).substr(0, std::string(path).find('&')) + " " + std::to_string(status));
    for (const std::string& line : s.logLines(std::size(rows))) {
        const nlohmann::json l = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(l.is_object() && l.contains("ts") && l.contains("ms") && l.contains("bytes")) << line;
        EXPECT_EQ(l["client"], "127.0.0.1");
        logged.insert(l["path"].get<std::string>() + " " + std::to_string(l["status"].get<int>()));
    }
    EXPECT_EQ(logged, expected);
}
}  // namespace
}  // namespace dialo::service

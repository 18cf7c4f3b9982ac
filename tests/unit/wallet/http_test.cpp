// HTTPS layer against a real TLS server on loopback, failures injected.
#include <gtest/gtest.h>
#include <httplib.h>
#include <atomic>
#include <thread>
#include "support/phone_devnet_fixture.h"
#include "tools/devnet/tls.h"

namespace dialo {
namespace {
using nlohmann::json;
std::atomic<uint64_t> gSleptMs{0};
std::atomic<int> gSleeps{0};
void countingSleep(uint32_t ms) {
    gSleptMs += ms;
    ++gSleeps;
}
class HttpTest : public test::PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        gSleptMs = 0;
        gSleeps = 0;
        startWithSleep(countingSleep);
    }
    std::string wocBase() const { return networkConfig().wocBase; }
};
TEST_F(HttpTest, FailedRepliesBecomeShortTexts) {
    // An HTML error page is not shown; a long body is cut to 120 characters.
    EXPECT_EQ(reply_error_text(400, "<!DOCTYPE html><p>no</p>"), "HTTP 400");
    EXPECT_EQ(reply_error_text(502, std::string(300, 'x') + "\n"), "HTTP 502 \xE2\x80\x93 " + std::string(120, 'x'));
    std::string body, error;
    inject({{"path_prefix", "/n-rate.json"}, {"status", 502}, {"body", "bad gateway \r\n"}, {"content_type", "text/plain"}});
    EXPECT_FALSE(fetch_get(service_url("/n-rate.json"), body, error, 10, false));
    EXPECT_EQ(error, "HTTP 502 \xE2\x80\x93 bad gateway");
    // Not found is an answer only when the caller says so.
    const std::string url = wocBase() + "/tx/" + std::string(64, 'a') + "/hex";
    EXPECT_FALSE(fetch_get(url, body, error, 10, false));
    EXPECT_EQ(error.rfind("HTTP 404", 0), 0u) << error;
    EXPECT_TRUE(fetch_get(url, body, error, 10, true));
    EXPECT_TRUE(error.empty());
}
TEST_F(HttpTest, RateLimitedRequestsRetryWithDoublingWaitsWhileAttemptsRemain) {
    std::string body, error;
    inject({{"path_prefix", "/n-rate.json"}, {"status", 429}, {"count", 4}});
    EXPECT_FALSE(fetch_get(service_url("/n-rate.json"), body, error, 10, false));
    EXPECT_EQ(error, "HTTP 429 \xE2\x80\x93 WhatsOnChain is rate-limiting. Wait a few seconds and try again.");
    EXPECT_EQ(gSleptMs, 400u + 800u + 1600u);
    EXPECT_EQ(devnet.faults().pending(), 0u) << "all four attempts reached the server";
    gSleptMs = 0;
    inject({{"path_prefix", "/n-rate.json"}, {"status", 429}, {"count", 2}});
    EXPECT_TRUE(fetch_get(service_url("/n-rate.json"), body, error, 10, false)) << error;
    EXPECT_EQ(gSleptMs, 1200u);
    // A POST tries as often as its caller allows.
    const std::string url = wocBase() + "/addresses/balance";
    const std::string request = json{{"addresses", json::array({"1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH"})}}.dump();
    gSleptMs = 0;
    gSleeps = 0;
    inject({{"path_prefix", "/woc/v1/bsv/main/addresses/balance"}, {"status", 429}, {"count", 2}});
    EXPECT_FALSE(post_json(url, request, body, error, 20, 2));
    EXPECT_EQ(gSleeps, 1);
    EXPECT_EQ(gSleptMs, 400u);
    EXPECT_EQ(error.rfind("HTTP 429", 0), 0u);
    EXPECT_TRUE(post_json(url, request, body, error, 20, 2) && json::parse(body, nullptr, false).is_array()) << error << body;
    EXPECT_FALSE(post_json(url, request, body, error, 20, 0));
    EXPECT_EQ(error.rfind("HTTP 429", 0), 0u) << "no attempts allowed is reported as rate limiting";
}
TEST_F(HttpTest, OnlyHttpsIsSpokenEvenAfterARedirectAndOnlyToTrustedServers) {
    // A plain HTTP server that would answer anything: no request may reach it.
    httplib::Server plain;
    std::atomic<int> hits{0};
    auto answer = [&hits](const httplib::Request&, httplib::Response& res) {
        ++hits;
        res.set_content("{}", "application/json");
    };
    plain.Get(".*", answer);
    plain.Post(".*", answer);
    const int port = plain.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&plain] { plain.listen_after_bind(); });
    // stop() reaches only a loop that has started; nothing here connects to start it.
    ASSERT_TRUE(waitFor([&plain] { return plain.is_running(); }, std::chrono::seconds(30)));
    const std::string plainUrl = "http://127.0.0.1:" + std::to_string(port) + "/n-rate.json";
    std::string body, error;
    EXPECT_FALSE(fetch_get(plainUrl, body, error, 10, false) || post_json(plainUrl, "{}", body, error, 10, 1) ||
                 post_json_shared(plainUrl, "{}", body, error));
    inject({{"path_prefix", "/n-rate.json"}, {"status", 302}, {"location", plainUrl}});
    EXPECT_FALSE(fetch_get(service_url("/n-rate.json"), body, error, 10, false));
    EXPECT_EQ(devnet.faults().pending(), 0u) << "the redirect was answered";
    // A redirect to HTTPS is still followed.
    inject({{"path_prefix", "/n-rate.json"}, {"status", 302}, {"location", service_url("/n-rate.json")}});
    EXPECT_TRUE(fetch_get(service_url("/n-rate.json"), body, error, 10, false)) << error;
    EXPECT_NE(body.find("gbp"), std::string::npos) << body;
    plain.stop();
    serving.join();
    EXPECT_EQ(hits.load(), 0);
    // The CA vouches for configured hosts alone: the same certificate as localhost is refused.
    const std::string configured = networkConfig().updateBase + "/n-rate.json";
    std::string other = configured;
    other.replace(other.find("127.0.0.1"), 9, "localhost");
    EXPECT_TRUE(fetch_get(configured, body, error, 10, false)) << error;
    EXPECT_FALSE(fetch_get(other, body, error, 10, false));
    // Nor does a picture's host send the phone to fetch elsewhere, certified or not.
    inject({{"path_prefix", "/n-rate.json"}, {"status", 302}, {"location", service_url("/n-rate.json")}});
    EXPECT_EQ(get_once(configured, body, error, 10, true), 302) << error;
    inject({{"path_prefix", "/n-rate.json"}, {"status", 302}, {"location", configured + "?again"}});
    EXPECT_EQ(get_once(configured, body, error, 10, true), 200) << "the same host is followed: " << error;
    // Nor is the CA's certificate taken at a configured loopback address it does not name.
    devnet::TlsFiles tls;
    ASSERT_TRUE(devnet::ensureTlsFiles(options.dataDir + "/tls", options.serviceDomain, options.paymailDomain, tls,
                                       error, options.hostNames)) << error;
    httplib::SSLServer misnamed(tls.serverCertPath.c_str(), tls.serverKeyPath.c_str());
    misnamed.Get(".*", answer);
    const int misnamedPort = misnamed.bind_to_any_port("127.0.0.2");
    ASSERT_GT(misnamedPort, 0);
    std::thread misnamedServing([&misnamed] { misnamed.listen_after_bind(); });
    ASSERT_TRUE(waitFor([&misnamed] { return misnamed.is_running(); }, std::chrono::seconds(30)));
    json network = devnet.networkJson();
    network["update_base"] = "https://127.0.0.2:" + std::to_string(misnamedPort);
    applyConfigDocument(json{{"network", network}});
    EXPECT_FALSE(fetch_get(network["update_base"].get<std::string>() + "/n-rate.json", body, error, 10, false));
    misnamed.stop();
    misnamedServing.join();
    EXPECT_EQ(hits.load(), 0);
    // Nor is HTTPS spoken to a server the trusted authorities did not certify.
    applyConfigDocument(json{{"network", {{"ca_file", "/nonexistent/ca.pem"}}}});
    EXPECT_FALSE(fetch_get(service_url("/n-rate.json"), body, error, 10, false));
    EXPECT_EQ(error.find("HTTP"), std::string::npos) << error;
}
}  // namespace
}  // namespace dialo

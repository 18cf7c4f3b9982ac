// What other tests lean on the devnet for beyond the shapes the phone's own tests read: faults
// that hit only what they name, and a stop that lets an answer in flight finish.

#include <chrono>
#include <thread>

#include "support/devnet_fixture.h"
#include "tools/devnet/faults.h"

namespace dialo::devnet::test {
namespace {

class DevnetEndpointsTest : public DevnetTest {};

TEST_F(DevnetEndpointsTest, FaultsHitTheNextCountRequestsOfTheirPrefixOnly) {
    start();
    const Coin coin = fund(keyOf('1'), 10000);
    const std::string tx = "/tx/" + coin.txid;
    auto fault = [&](const json& rule) { ASSERT_EQ(post("/devnet/fault", rule).status, 200) << rule.dump(); };

    fault({{"path_prefix", "/woc/v1/bsv/main/tx/"}, {"status", 503}, {"count", 2}});
    EXPECT_EQ(get("/n-rate.json").status, 200) << "another prefix is untouched";
    for (int i = 0; i < 2; ++i) EXPECT_EQ(woc(tx).status, 503);
    EXPECT_EQ(woc(tx).status, 200);

    fault({{"path_prefix", "/n-rate.json"}, {"status", 429}, {"body", R"({"error":"slow down"})"}});
    EXPECT_EQ(get("/n-rate.json").j["error"], "slow down");

    fault({{"path_prefix", "/woc/"}, {"drop", true}, {"count", 1}});
    EXPECT_FALSE(woc(tx).reached);
    EXPECT_EQ(devnet.faults().pending(), 0u);

    fault({{"path_prefix", "/n-rate.json"}, {"status", 500}, {"count", 5}});
    EXPECT_EQ(post("/devnet/fault/clear", json::object()).status, 200);
    EXPECT_EQ(get("/n-rate.json").status, 200) << "cleared faults stop at once";
    EXPECT_EQ(post("/devnet/fault", {{"path_prefix", "no-slash"}, {"status", 500}}).status, 400);
}

// A stop (Ctrl+C, a test's end) while the status page is being answered: the page names the
// DNS server's port, so the DNS server must outlive every handler. Under ThreadSanitizer the
// handler's read left unordered with the stop is reported whichever of the two comes first.
TEST_F(DevnetEndpointsTest, StopLetsAnAnswerInFlightEndBeforeClosingWhatItReads) {
    start();
    const int dnsPort = devnet.dnsPort();
    const size_t before = devnet.requestCount("service");
    Reply r;
    std::thread client([&] { r = get("/devnet/status"); });
    // Stop once the request has been read and counted, before routing: its handler is about to run.
    const bool reached = waitFor([&] { return devnet.requestCount("service") > before; }, std::chrono::seconds(60));
    devnet.stop();
    client.join();
    ASSERT_TRUE(reached) << "the request never reached the devnet";
    ASSERT_EQ(r.status, 200) << "the answer under way is finished, not cut";
    EXPECT_EQ(r.j["network"]["dns_server"], "127.0.0.1:" + std::to_string(dnsPort));
}

}  // namespace
}  // namespace dialo::devnet::test

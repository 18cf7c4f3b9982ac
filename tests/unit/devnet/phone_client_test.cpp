// The phone's own HTTPS layer, configured with the devnet's "network" object, reaches every
// service through the pinned domain and the devnet's CA, and reads its answers as it must.

#include "base/config.h"
#include "devnet_fixture.h"
#include "wallet/http.h"

namespace dialo::devnet::test {
namespace {

class DevnetPhoneClientTest : public DevnetTest {
protected:
    void SetUp() override {
        DevnetTest::SetUp();
        start();
        applyConfigDocument(json{{"network", devnet.networkJson()}});
    }
    void TearDown() override {
        release_shared_http();
        applyConfigDocument(json::object());
        DevnetTest::TearDown();
    }
    std::string wocUrl(const std::string& path) { return networkConfig().wocBase + path; }
};

TEST_F(DevnetPhoneClientTest, PlatformHostIsReachedByItsDomain) {
    std::string body, error;
    ASSERT_TRUE(fetch_get(service_url("/n-rate.json"), body, error, 10, false)) << error;
    EXPECT_TRUE(json::parse(body, nullptr, false)["gbp"].is_number());
    ASSERT_TRUE(fetch_get(networkConfig().updateBase + "/dialo/", body, error, 10, false)) << error;
    EXPECT_NE(body.find("Current Build: Version 0.002"), std::string::npos);
}

TEST_F(DevnetPhoneClientTest, OracleSubmitThenWocSeesTheTransaction) {
    Key alice = keyOf('1'), bob = keyOf('2');
    Bytes raw = buildSigned({fund(alice, 10000)}, {payTo(bob, 1), {0, data_output_script("OV-Dialo x")}}, alice);
    std::string reply, error;
    ASSERT_TRUE(post_json_shared(service_url("/oi/submit"), json{{"txhex", hex_encode(raw)}}.dump(), reply, error))
        << error;
    EXPECT_EQ(json::parse(reply, nullptr, false)["ok"], true);

    std::string hex;
    ASSERT_TRUE(fetch_get(wocUrl("/tx/" + txid_of(raw) + "/hex"), hex, error, 10, false)) << error;
    EXPECT_EQ(hex, hex_encode(raw));
}

TEST_F(DevnetPhoneClientTest, WocRefusalNamesTheReason) {
    Key alice = keyOf('1'), bob = keyOf('2'), carol = keyOf('3');
    Coin coin = fund(alice, 10000);
    std::string reply, error;
    ASSERT_TRUE(post_json(wocUrl("/tx/raw"), json{{"txhex", hex_encode(buildSigned({coin}, {payTo(bob, 5)}, alice))}}.dump(),
                          reply, error, 10, 1))
        << error;
    EXPECT_FALSE(post_json(wocUrl("/tx/raw"),
                           json{{"txhex", hex_encode(buildSigned({coin}, {payTo(carol, 5)}, alice))}}.dump(), reply,
                           error, 10, 1));
    EXPECT_NE(error.find("mempool-conflict"), std::string::npos) << error;
}

TEST_F(DevnetPhoneClientTest, InjectedOverloadReachesThePhoneAsStatus) {
    ASSERT_EQ(post("/devnet/fault", {{"path_prefix", "/n-rate.json"}, {"status", 503}}).status, 200);
    std::string body, error;
    EXPECT_FALSE(fetch_get(service_url("/n-rate.json"), body, error, 10, false));
    EXPECT_NE(error.find("503"), std::string::npos) << error;
    EXPECT_TRUE(fetch_get(service_url("/n-rate.json"), body, error, 10, false)) << error;
}

}  // namespace
}  // namespace dialo::devnet::test

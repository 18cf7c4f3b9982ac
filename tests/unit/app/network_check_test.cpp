// Each network profile against a devnet posing as the main network's hosts; no key is printed.
#include <gtest/gtest.h>
#include "support/phone_devnet_fixture.h"
#include "app/network_check.h"
#include "wallet/broadcast.h"

namespace dialo {
namespace {
using nlohmann::json;
using devnet::test::keyOf;
void noSleep(uint32_t) {}
constexpr char kWocKey[] = "woc-key-7f3a9";
constexpr char kArcKey[] = "arc-key-c41e2";
class NetworkProfileTest : public test::PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        options.hostNames = {"api.whatsonchain.com", "arc.gorillapool.io", "whatsonchain.com"};
        options.wocApiKey = kWocKey;
        options.arcApiKey = kArcKey;
        startWithSleep(noSleep);
    }
    json mainProfile() const {
        const std::string at = "127.0.0.1:" + std::to_string(devnet.servicePort());
        return {{"profile", "main"}, {"service_domain", "orvane.test"}, {"service_address", "127.0.0.1"},
                {"service_port", devnet.servicePort()}, {"ca_file", devnet.caPath()},
                {"hosts", {{"api.whatsonchain.com", at}, {"arc.gorillapool.io", at}, {"whatsonchain.com", at}}},
                {"woc_api_key", kWocKey}, {"arc_api_key", kArcKey},
                {"event_fee_address", keyOf('5').address}, {"call_fee_address", keyOf('6').address}};
    }
    // Sends a payment with the platform refusing it, and WhatsOnChain too when `arcOnly`.
    std::string broadcastPast(bool arcOnly) {
        const devnet::test::Key payer = keyOf('3');
        std::vector<Coin> inputs = {fund(payer, 20000)};
        std::vector<TxOutput> outputs;
        int64_t fee = 0;
        std::string error;
        EXPECT_TRUE(build_tx(inputs, outputs, payer.hash, {devnet::test::payTo(keyOf('4'), 5000)}, fee, error, 1, 1)) << error;
        for (Coin& c : inputs) EXPECT_TRUE(sign_input(c, inputs, outputs, c.owner, payer.priv, payer.pub, error));
        inject({{"path_prefix", "/oi/submit"}, {"status", 503}});
        if (arcOnly) inject({{"path_prefix", "/v1/bsv/main/tx/raw"}, {"status", 500}});
        WalletState w;
        const std::string result = broadcast_tx(w, inputs, outputs, nullptr);
        devnet.faults().clear();
        return result;
    }
};
TEST_F(NetworkProfileTest, EachProfileReachesItsServicesWithItsKeysAndNeverPrintsThem) {
    // Changes to the main profile, the services that answer, and what the report says.
    const std::tuple<json, std::vector<bool>, const char*> profiles[] = {
        {json::object(), {true, true, true, true, true}, "https://api.whatsonchain.com/v1/bsv/main/chain/info"},
        {{{"arc_api_key", "arc-key-wrong"}}, {true, true, false, true, true}, "refused: HTTP 401 (is network.arc_api_key right?)"},
        {{{"woc_api_key", nullptr}}, {true, false, true, true, true}, "it may want a key in network.woc_api_key"},
        // the main network never trusts the devnet's CA unless it is named
        {{{"ca_file", nullptr}}, {false, false, false, false, false}, "did not answer:"},
        {{{"service_domain", nullptr}, {"service_address", nullptr}, {"service_port", nullptr}, {"event_fee_address", nullptr}},
         {false, true, true, false, true}, "network.event_fee_address is not set"},
    };
    for (const auto& [change, answered, detail] : profiles) {
        SCOPED_TRACE(change.dump());
        json network = mainProfile();
        network.merge_patch(change);  // null removes a key
        applyConfigDocument(json{{"network", network}});
        const NetworkCheck check = checkNetwork();
        const std::string text = networkCheckText(check);
        EXPECT_EQ(check.network, "main network");
        ASSERT_EQ(check.services.size(), answered.size());
        for (size_t i = 0; i < answered.size(); ++i)
            EXPECT_EQ(check.services[i].answered, answered[i]) << check.services[i].service << ": " << check.services[i].detail;
        EXPECT_NE(text.find(detail), std::string::npos) << text;
        EXPECT_EQ(text.find("key-"), std::string::npos) << "a key was printed:\n" << text;
    }
    // A hostile redirect's control characters would reach the user's terminal.
    applyConfigDocument(json{{"network", mainProfile()}});
    inject({{"host", "api.whatsonchain.com"}, {"path_prefix", "/"}, {"status", 302}, {"location", "https://x.test/\x1b[2J\x01\x7fok"}});
    const std::string redirected = networkCheckText(checkNetwork());
    EXPECT_NE(redirected.find("it points elsewhere (https://x.test/[2Jok)"), std::string::npos) << redirected;
    // Payments go out through the mapped WhatsOnChain and ARC, each with its own key.
    applyConfigDocument(json{{"network", mainProfile()}});
    EXPECT_EQ(broadcastPast(false).rfind("success: ", 0), 0u) << "through WhatsOnChain";
    EXPECT_EQ(broadcastPast(true).rfind("success: ", 0), 0u) << "through ARC";
    json wrong = mainProfile();
    wrong["arc_api_key"] = "arc-key-wrong";
    applyConfigDocument(json{{"network", wrong}});
    EXPECT_NE(broadcastPast(true).find("401"), std::string::npos) << "ARC refuses a wrong key";
}
}  // namespace
}  // namespace dialo

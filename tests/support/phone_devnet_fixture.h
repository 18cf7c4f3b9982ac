#pragma once
// A sleep the test chooses, so back-off and confirmation waits cost no time.
#include "support/devnet_fixture.h"
#include "app/startup.h"
#include "base/clock.h"
#include "base/config.h"
#include "tools/devnet/faults.h"
#include "wallet/http.h"

namespace dialo::test {
class PhoneOnDevnetTest : public devnet::test::DevnetTest {
protected:
    void SetUp() override {
        resetCoreState();  // as a fresh process: nothing an earlier case left behind counts
        DevnetTest::SetUp();
    }
    void startWithSleep(void (*sleep)(uint32_t)) {
        start();
        applyConfigDocument(nlohmann::json{{"network", devnet.networkJson()}});
        setClockSource({nullptr, nullptr, sleep});
        warmUpTls();
    }
    /// A first TLS handshake alone can outlast the 800 ms to 2 s request budgets on a busy machine.
    void warmUpTls() {
        std::string body, error;
        const long status = get_once(service_url("/devnet/status"), body, error, 120, true);
        ASSERT_EQ(status, 200) << error;
    }
    void TearDown() override {
        resetClockSource();
        release_shared_http();
        DevnetTest::TearDown();
    }
    /// Publishes `alias` with `identity`'s key on the platform, as a phone's claim does.
    void publish(const std::string& alias, const devnet::test::Key& identity) {
        ASSERT_EQ(post("/api/paymail/claim", devnet::test::signedClaim(alias, identity, devnet::test::keyOf('9'))).status,
                  200);
    }
    /// `fault` is a rule as /devnet/fault takes it.
    void inject(const nlohmann::json& fault) {
        std::string error;
        ASSERT_TRUE(devnet.faults().add(fault, error)) << error;
    }
};
}  // namespace dialo::test

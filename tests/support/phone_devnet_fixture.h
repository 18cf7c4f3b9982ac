#pragma once
// The wallet client pointed at an in-process devnet: its "network" configuration, a sleep the
// test chooses (back-off and confirmation waits cost no time), and fault injection.

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
    /// Starts the devnet and points the wallet client at it; `sleep` replaces the clock's sleep.
    void startWithSleep(void (*sleep)(uint32_t)) {
        start();
        applyConfigDocument(nlohmann::json{{"network", devnet.networkJson()}});
        setClockSource({nullptr, nullptr, sleep});
        warmUpTls();
    }
    /// One untimed request through the phone's own client: a process's first TLS handshake
    /// (OpenSSL's start-up, the system's trusted roots) alone can outlast, on a busy machine,
    /// the budgets of 800 ms to 2 s that tests hold requests to.
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
    /// Makes the devnet misbehave: `fault` is a rule as /devnet/fault takes it ({"path_prefix",
    /// "status", "delay_ms", "drop", "count", ...}).
    void inject(const nlohmann::json& fault) {
        std::string error;
        ASSERT_TRUE(devnet.faults().add(fault, error)) << error;
    }
};
}  // namespace dialo::test

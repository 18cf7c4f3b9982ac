// The wallet's published view: what displays read instead of the wallet state.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "support/vault_fixture.h"
#include "state/ui_bridge.h"
#include "vaultra/connect.h"
#include "wallet/binding.h"
#include "wallet/published.h"

namespace dialo {
namespace {

class PublishedTest : public test::VaultTest {
protected:
    void SetUp() override {
        VaultTest::SetUp();
        setUiReceiver(UiTarget::Main, [this](UiMessage m, intptr_t, intptr_t) {
            if (m == UiMessage::Refresh) ++refreshes;
        });
    }
    void TearDown() override {
        setUiReceiver(UiTarget::Main, {});
        VaultTest::TearDown();
    }
    std::atomic<int> refreshes{0};
};

TEST_F(PublishedTest, FollowsConnectionAndBalanceWithoutTheWalletLockAndTellsTheDisplayOnlyOfChanges) {
    nlohmann::json doc = hdWallet();
    doc["paymail"] = "alice";
    addWallet("w1", doc, "Alice");
    EXPECT_FALSE(published_wallet().connected);

    bind_instance("/opt/dialo", "Dialo");
    ASSERT_TRUE(vaultra_connected());
    WalletView v = published_wallet();
    EXPECT_TRUE(v.connected);
    EXPECT_EQ(v.handle, "alice");
    EXPECT_FALSE(v.payAddress.empty());
    EXPECT_EQ(v.balanceSats, -1);
    EXPECT_EQ(refreshes.load(), 1);

    EXPECT_EQ(publish_balance(4200), 4200);
    EXPECT_EQ(published_wallet().balanceSats, 4200);
    ASSERT_TRUE(vaultra_connected());  // the same wallet again: nothing changed, balance kept
    EXPECT_EQ(published_wallet().balanceSats, 4200);
    EXPECT_EQ(refreshes.load(), 2);

    // A spend or the status refresh holds the wallet lock across the network; a reader that
    // took it would still be waiting when the deadline passes.
    std::future<WalletView> read;
    {
        auto held = lockWallet();
        read = std::async(std::launch::async, [] { return published_wallet(); });
        EXPECT_EQ(read.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    }
    EXPECT_TRUE(read.get().connected);
    EXPECT_EQ(vaultra_disconnect(), "success");
    v = published_wallet();
    EXPECT_FALSE(v.connected);
    EXPECT_EQ(v.handle, "");
    EXPECT_EQ(v.payAddress, "");
    EXPECT_EQ(v.balanceSats, -1);
    publish_balance(99);  // a late balance of a wallet no longer connected is not shown
    EXPECT_EQ(published_wallet().balanceSats, -1);
    EXPECT_EQ(refreshes.load(), 3);
}

}  // namespace
}  // namespace dialo

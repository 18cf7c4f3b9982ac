// The wallet's published view: what displays read instead of the wallet state.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "../vaultra/vault_fixture.h"
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

TEST_F(PublishedTest, FollowsConnectionAndBalanceAndTellsTheDisplayOnlyOfChanges) {
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

TEST_F(PublishedTest, ReadingNeverWaitsForTheWalletLock) {
    addWallet("w1", hdWallet(), "Alice");
    bind_instance("/opt/dialo", "Dialo");
    ASSERT_TRUE(vaultra_connected());
    std::future<WalletView> read;
    std::future_status status;
    {
        auto held = lockWallet();  // as a spend or the status refresh holds it across the network
        read = std::async(std::launch::async, [] { return published_wallet(); });
        // A reader that took the wallet lock would still be waiting when the deadline passes.
        status = read.wait_for(std::chrono::seconds(20));
    }
    ASSERT_EQ(status, std::future_status::ready);
    EXPECT_TRUE(read.get().connected);
}

}  // namespace
}  // namespace dialo

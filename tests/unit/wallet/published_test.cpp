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
using PublishedTest = test::VaultTest;
std::atomic<int> refreshes{0};
TEST_F(PublishedTest, FollowsConnectionAndBalanceWithoutTheWalletLockAndTellsTheDisplayOnlyOfChanges) {
    setUiReceiver(UiTarget::Main, [](UiMessage m, intptr_t, intptr_t) { refreshes += m == UiMessage::Refresh; });
    addWallet("w1", hdWallet(test::kAbandon, "alice"), "Alice");
    bind_instance("/opt/dialo", "Dialo");
    ASSERT_TRUE(vaultra_connected());
    EXPECT_EQ(publish_balance(4200), 4200);
    ASSERT_TRUE(vaultra_connected());  // the same wallet again: nothing changed, balance kept
    WalletView v = published_wallet();
    EXPECT_TRUE(v.connected && v.handle == "alice" && !v.payAddress.empty() && v.balanceSats == 4200);
    EXPECT_EQ(refreshes.load(), 2);
    // A spend holds the wallet lock across the network; a reader taking it would miss the deadline.
    std::future<WalletView> read;
    {
        auto held = lockWallet();
        read = std::async(std::launch::async, [] { return published_wallet(); });
        EXPECT_EQ(read.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    }
    EXPECT_TRUE(read.get().connected);
    EXPECT_EQ(vaultra_disconnect(), "success");
    publish_balance(99);  // a late balance of a wallet no longer connected is not shown
    v = published_wallet();
    EXPECT_TRUE(!v.connected && v.handle.empty() && v.payAddress.empty() && v.balanceSats == -1);
    EXPECT_EQ(refreshes.load(), 3);
    setUiReceiver(UiTarget::Main, {});
}
}  // namespace
}  // namespace dialo

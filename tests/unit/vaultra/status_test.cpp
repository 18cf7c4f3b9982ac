// The status refresh publishes the wallet's handle on the platform, and the claim the
// platform receives carries the wallet file's avatar.

#include <gtest/gtest.h>

#include "../wallet/funded_wallet_fixture.h"
#include "vaultra/status.h"

namespace dialo {
namespace {

using nlohmann::json;

class StatusClaimTest : public test::FundedWalletTest {};

TEST_F(StatusClaimTest, ClaimCarriesTheWalletFilesAvatar) {
    const struct {
        json ordAvatar;
        const char* claimed;
    } cases[] = {
        {"https://orvane.test/a.png", "https://orvane.test/a.png"},
        {5, ""},
        {{{"icon", "https://orvane.test/i.png"}, {"origin", "x_0"}}, "https://orvane.test/i.png"},
        {{{"origin", "x_0"}}, ""},
        {{{"icon", "https://orvane.test/b.png"}}, "https://orvane.test/b.png"},
    };
    const std::string file = base() + "/wallets/w1/wallet.json";
    json doc = readJson(file);
    doc["paymail"] = "alice";
    for (const auto& c : cases) {
        // Vaultra changes the file; the next refresh reads it again and claims anew.
        doc["ord_avatar"] = c.ordAvatar;
        std::ofstream(file) << doc.dump();
        refresh_status();
        devnet::test::Reply profile = get("/api/bsvalias/public-profile/alice@orvane.test");
        ASSERT_EQ(profile.status, 200) << profile.body;
        EXPECT_EQ(profile.j["avatar"], c.claimed) << c.ordAvatar.dump();
    }
}

}  // namespace
}  // namespace dialo

// The handle claim and the avatar the status refresh reads for it.
#include <gtest/gtest.h>
#include "support/funded_wallet_fixture.h"
#include "vaultra/own_handle.h"
#include "vaultra/status.h"

namespace dialo {
namespace {
using nlohmann::json;
// The claim's text is checked by the platform that takes it (tests/unit/devnet/paymail_test.cpp).
TEST(OwnHandle, ClaimTextAndHandleForms) {
    EXPECT_EQ(normalize_own_handle(" @$Alice.Smith@orvane.test \r\n"), "alice.smith");
}
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
    };
    json doc = readJson(walletFile("w1"));
    doc["paymail"] = "alice";
    for (const auto& c : cases) {
        // Vaultra changes the file; the next refresh reads it again and claims anew.
        doc["ord_avatar"] = c.ordAvatar;
        writeText(walletFile("w1"), doc.dump());
        refresh_status();
        devnet::test::Reply profile = get("/api/bsvalias/public-profile/alice@orvane.test");
        ASSERT_EQ(profile.status, 200) << profile.body;
        EXPECT_EQ(profile.j["avatar"], c.claimed) << c.ordAvatar.dump();
    }
}
}  // namespace
}  // namespace dialo

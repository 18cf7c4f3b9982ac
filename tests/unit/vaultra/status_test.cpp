// The status refresh publishes the wallet's handle on the platform, and the claim the
// platform receives carries the wallet file's avatar.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "../wallet/phone_devnet_fixture.h"
#include "vault_fixture.h"
#include "vaultra/connect.h"
#include "vaultra/status.h"

namespace dialo {
namespace {

using nlohmann::json;

void noSleep(uint32_t) {}

class StatusClaimTest : public test::PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        char pattern[] = "/tmp/dialo-status-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        ASSERT_EQ(::setenv("LOCALAPPDATA", root_.c_str(), 1), 0);
        startWithSleep(noSleep);
    }
    void TearDown() override {
        {
            auto g = lockWallet();
            reset_wallet_state(g.state);
        }
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        PhoneOnDevnetTest::TearDown();
    }
    // The one wallet of the index, as Vaultra writes it, with this "ord_avatar" value.
    void writeWallet(const json& ordAvatar) {
        const std::string dir = root_ + "/Orvane/wallets/w1";
        std::filesystem::create_directories(dir);
        json doc = {{"version", 2},    {"mnemonic", test::kAbandon}, {"recv", {0, 0, 0, 0, 0, 0}},
                    {"show", 0},       {"paymail", "alice"},         {"ord_avatar", ordAvatar}};
        std::ofstream(dir + "/wallet.json") << doc.dump(2);
        std::ofstream(root_ + "/Orvane/wallets.json") << json{{"wallets", {{{"id", "w1"}, {"name", "A"}}}}}.dump();
    }
    std::string root_;
};

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
    writeWallet(cases[0].ordAvatar);
    bind_instance("/opt/dialo", "Dialo");
    ASSERT_EQ(bound_wallet_id(), "w1");
    for (const auto& c : cases) {
        // Vaultra changes the file; the next refresh reads it again and claims anew.
        writeWallet(c.ordAvatar);
        refresh_status();
        devnet::test::Reply profile = get("/api/bsvalias/public-profile/alice@orvane.test");
        ASSERT_EQ(profile.status, 200) << profile.body;
        EXPECT_EQ(profile.j["avatar"], c.claimed) << c.ordAvatar.dump();
    }
}

}  // namespace
}  // namespace dialo

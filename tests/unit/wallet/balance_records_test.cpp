// Whether spends report their bookkeeping records is the application's choice, whatever the
// standard output is connected to.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "phone_devnet_fixture.h"
#include "vaultra/connect.h"
#include "wallet/binding.h"
#include "wallet/client_sinks.h"
#include "wallet/published.h"
#include "wallet/spends.h"
#include "wallet/wallet_file.h"

namespace dialo {
namespace {

using nlohmann::json;

void noSleep(uint32_t) {}

constexpr char kPhrase[] =
    "abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon abandon about";

class BalanceRecordsTest : public test::PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        startWithSleep(noSleep);
        home_ = dir_.string() + "-home";
        ASSERT_EQ(::setenv("LOCALAPPDATA", home_.c_str(), 1), 0);
        write(home_ + "/Orvane/wallets/w1/wallet.json",
              json{{"version", 2}, {"mnemonic", kPhrase}, {"recv", {0, 0, 0, 0, 0, 0}}, {"show", 0}});
        write(home_ + "/Orvane/wallets.json", json{{"wallets", {{{"id", "w1"}, {"name", "w1"}}}}, {"active", "w1"}});
        bind_instance("/opt/dialo", "Dialo");
        ASSERT_TRUE(vaultra_connected());
        address = published_wallet().payAddress;
        Reply r = post("/devnet/fund", {{"address", address}, {"sats", 50000}, {"confirm", true}});
        ASSERT_EQ(r.status, 200) << r.body;
        set_wallet_event_sink([this](const std::string& record) { records.push_back(record.substr(0, record.find('\x1f'))); });
    }
    void TearDown() override {
        set_wallet_event_sink({});
        {
            auto g = lockWallet();
            reset_wallet_state(g.state);
        }
        PhoneOnDevnetTest::TearDown();
        std::filesystem::remove_all(home_);
    }
    static void write(const std::string& path, const json& doc) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << doc.dump(2);
    }
    int count(const std::string& tag) const { return int(std::count(records.begin(), records.end(), tag)); }

    using Reply = devnet::test::Reply;
    std::string home_;
    std::string address;
    std::vector<std::string> records;
};

TEST_F(BalanceRecordsTest, EmittedOnlyWhenTheApplicationAsksForThem) {
    const std::string payee = devnet::test::keyOf('4').address;
    set_balance_records(false);
    ASSERT_EQ(spend_to_address(payee, 1000, "").rfind("success: ", 0), 0u);
    EXPECT_EQ(count("[OV-SPEND]"), 0);
    EXPECT_EQ(count("[OV-BALANCE]"), 0);

    set_balance_records(true);
    ASSERT_EQ(spend_to_address(payee, 1000, "").rfind("success: ", 0), 0u);
    EXPECT_EQ(count("[OV-SPEND]"), 1);
    EXPECT_EQ(count("[OV-BALANCE]"), 1);
}

}  // namespace
}  // namespace dialo

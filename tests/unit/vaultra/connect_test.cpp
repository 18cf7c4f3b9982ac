// Binding this copy of the phone to a Vaultra wallet through the shared files.
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <functional>
#include <sstream>
#include "base/clock.h"
#include "tools/vaultra/commands.h"
#include "support/vault_fixture.h"
#include "vaultra/connect.h"
#include "wallet/client_sinks.h"

namespace dialo {
namespace {
using nlohmann::json;
// Virtual time for the connect poll: each sleep advances it and may let "Vaultra" answer.
std::atomic<int> gPolls{0};
std::function<void(int)> gOnPoll;
void fakeSleep(uint32_t) {
    int n = ++gPolls;
    if (gOnPoll) gOnPoll(n);
}
class ConnectTest : public test::VaultTest {
protected:
    void SetUp() override {
        VaultTest::SetUp();
        gPolls = 0;
        gOnPoll = nullptr;
        setClockSource({nullptr, nullptr, fakeSleep});
        set_wallet_event_sink([this](const std::string& r) { events.push_back(r); });
    }
    void TearDown() override {
        set_wallet_event_sink({});
        gOnPoll = nullptr;
        VaultTest::TearDown();
    }
    // The request file still without a reply, without its ".req.json".
    std::string pendingRequest() const {
        for (const auto& e : std::filesystem::directory_iterator(base() + "/connect")) {
            std::string path = e.path().string();
            if (!path.ends_with(".req.json")) continue;
            std::string stem = path.substr(0, path.size() - 9);
            if (!exists(stem + ".rep.json")) return stem;
        }
        return {};
    }
    void answerAt(int poll, std::string reply) {
        gOnPoll = [this, poll, reply](int n) {
            if (n == poll) writeText(pendingRequest() + ".rep.json", reply);
        };
    }
    void twoWallets() {
        addWallet("w1", hdWallet(test::kAbandon), "Alice");
        addWallet("w2", hdWallet(test::kLegal), "Bob");
    }
    std::vector<std::string> events;
};
TEST_F(ConnectTest, InstanceKeyIsASanitisedTail) {
    EXPECT_EQ(instance_key("C:\\Apps\\Dialo"), "c__apps_dialo");
    EXPECT_EQ(instance_key(""), "default");
    // The last 96 characters of "_" + 59 "a" + "_" + 59 "b".
    EXPECT_EQ(instance_key("/" + std::string(59, 'A') + "/" + std::string(59, 'b')), std::string(36, 'a') + "_" + std::string(59, 'b'));
}
// Any local program could write the reply: only {"ok": true} for a loadable wallet binds; 120 polls max.
TEST_F(ConnectTest, OnlyOkTrueForAWalletThatLoadsBinds) {
    twoWallets();
    bind_instance("/opt/dialo", "Dialo");
    EXPECT_EQ(bound_wallet_id(), "");
    EXPECT_FALSE(exists(base() + "/binds/_opt_dialo.json"));
    writeText(walletFile("w1"), "not json");
    const std::string denied = "error: connect denied in Vaultra.", deniedEvent = "[OV-VAULTRA]\x1f" "connect-denied\x1f" "denied";
    const std::string late = "error: Vaultra did not approve in time. Open vaultra and try Connect again.";
    const struct {
        const char* reply;  // nullptr: Vaultra never answers
        int poll;
        std::string result, event;
    } cases[] = {
        {R"({"ok": "yes", "wallet_id": "w2"})", 3, denied, deniedEvent},
        {R"({"ok": false})", 3, denied, deniedEvent},
        {"{\"ok\": tr", 3, denied, deniedEvent},
        {"[true]", 3, denied, deniedEvent},
        {nullptr, 120, late, "[OV-ERROR]\x1f" "error\x1f" + late},
        {R"({"ok": true, "wallet_id": "w1"})", 3, "error: approved, but the wallet would not load.", ""},
        {R"({"ok": true, "wallet_id": "w2"})", 118, "success", "[OV-VAULTRA]\x1f" "connect-pending\x1f" "Approve the connect in Vaultra."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply ? c.reply : "no answer");
        std::filesystem::remove_all(base() + "/connect");  // no earlier request left to answer by mistake
        gPolls = 0;
        events.clear();
        gOnPoll = nullptr;
        if (c.reply) answerAt(c.poll, c.reply);
        EXPECT_EQ(vaultra_connect(), c.result);
        EXPECT_EQ(gPolls, c.poll);
        if (!c.event.empty()) { EXPECT_EQ(bound_wallet_id(), c.result == "success" ? "w2" : ""); }
        EXPECT_TRUE(c.event.empty() || std::find(events.begin(), events.end(), c.event) != events.end()) << c.event;
    }
    EXPECT_EQ(readJson(base() + "/binds/_opt_dialo.json")["wallet_id"], "w2");
    gPolls = 0;  // already bound to a wallet that loads: no new request
    EXPECT_EQ(vaultra_connect(), "success");
    EXPECT_EQ(gPolls, 0);
}
TEST_F(ConnectTest, AnAbortBeforeTheConnectBeginsIsKept) {
    twoWallets();
    bind_instance("/opt/dialo", "Dialo");
    vaultra_connect_arm();
    vaultra_connect_abort();  // quit came before the connect thread got going
    EXPECT_EQ(vaultra_connect(), "error: Vaultra did not approve in time. Open Vaultra.exe and try Connect again.");
    EXPECT_EQ(gPolls, 0);
    EXPECT_FALSE(exists(base() + "/connect")) << "no request left for Vaultra to answer";
    vaultra_connect_arm();
    answerAt(2, R"({"ok": true, "wallet_id": "w2"})");
    EXPECT_EQ(vaultra_connect(), "success");
    EXPECT_EQ(gPolls, 2);
}
TEST_F(ConnectTest, ConnectOutsideAppModeIsRefused) {
    EXPECT_EQ(vaultra_connect(), "error: connect is for apps, not the Vaultra vault.");
}
TEST_F(ConnectTest, WalletIdsFromFilesBecomePathsOnlyWhenPlain) {
    // Each id, as a path component below "wallets", would reach the wallet file in "victim".
    const std::string hostile[] = {"../victim", "w1/../../victim", std::string("../victim\0w", 11)};
    const std::string victimFile = base() + "/victim/wallet.json";
    std::ostringstream listed;
    auto vaultra = [&listed](std::vector<std::string> args) {
        std::ostringstream e;
        listed.str("");
        return vaultra_tool::run(args, listed, e);
    };
    for (const std::string& id : hostile) {
        SCOPED_TRACE(json(id).dump());
        std::filesystem::remove_all(base());
        writeText(victimFile, hdWallet(test::kLegal).dump(2));
        const std::string victimText = readText(victimFile);
        // The phone: the only wallet of the index, the bind file, an approved reply; then Vaultra.
        writeText(base() + "/wallets.json", json{{"wallets", {{{"id", id}, {"name", "Evil"}}}}}.dump());
        bind_instance("/opt/dialo", "Dialo");
        EXPECT_EQ(bound_wallet_id(), "");
        EXPECT_FALSE(exists(base() + "/binds/_opt_dialo.json"));
        addWallet("w1", hdWallet(), "Alice");
        writeText(base() + "/binds/_opt_dialo.json", json{{"wallet_id", id}}.dump());
        bind_instance("/opt/dialo", "Dialo");
        EXPECT_EQ(bound_wallet_id(), "");
        EXPECT_FALSE(vaultra_connected());
        answerAt(gPolls + 1, json{{"ok", true}, {"wallet_id", id}}.dump());
        EXPECT_EQ(vaultra_connect(), "error: approved, but the wallet would not load.");
        EXPECT_EQ(bound_wallet_id(), "");
        EXPECT_EQ(vaultra({"--json", "list"}), 0);
        const json wallets = json::parse(listed.str(), nullptr, false)["wallets"];
        EXPECT_TRUE(wallets.size() == 1 && wallets[0]["id"] == "w1") << listed.str();
        EXPECT_EQ(vaultra({"handle", id, "mallory"}), 1);
        EXPECT_EQ(vaultra({"show", id}), 1);
        writeText(base() + "/connect/w9.req.json", json{{"id", "w9"}, {"app", "Dialo"}, {"instance", "/x"}}.dump());
        EXPECT_EQ(vaultra({"approve", "--wallet", id, "w9"}), 1);
        EXPECT_FALSE(exists(base() + "/connect/w9.rep.json"));
        EXPECT_EQ(readText(victimFile), victimText);
    }
}
}  // namespace
}  // namespace dialo

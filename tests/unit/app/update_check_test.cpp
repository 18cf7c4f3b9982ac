// The update check: the version read from a page, and the whole check against a devnet.
#include <gtest/gtest.h>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>
#include "support/phone_devnet_fixture.h"
#include "app/update_check.h"
#include "state/ui_bridge.h"

namespace dialo {
namespace {
using nlohmann::json;
TEST(UpdateVersion, ReadFromThePageText) {
    const std::string pad(30000, 'x');  // pushes what follows into the searched last 24000 bytes
    const std::pair<std::string, int> cases[] = {
        {"<p>Current Build: Version&nbsp;0.003</p>", 3},
        {"current build: version&NBSP;0.004", 4},
        {"<b>Current</b> <i>build</i>: <span class=v>Version</span> <em>1.250</em>", 1250},
        {"Version: 1.5", 1500},
        {"Version 0.0025", 3},                              // thousandths rounded half away from zero
        {"version 1.2.3", 1200},                            // the decimal ends where a number can
        {"version 2 ... Current Build: Version 0.005", 5},  // the current build's line wins
        {"version 9, current build soon", -1},              // nothing after "current build"
        {"<meta name=version content=5> release notes", -1},  // mark-up is not text
        {"version 99999999999", -1},  // beyond what the window message carries
        {pad + "Version 0.003", 3},
        {"Version 0.003" + pad, -1},
    };
    for (const auto& [page, expected] : cases) EXPECT_EQ(extractVersion(page), expected) << page.substr(0, 80);
}
class UpdateCheckTest : public test::PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        startWithSleep(nullptr);
        setUiReceiver(UiTarget::Main, [this](UiMessage m, intptr_t w, intptr_t) {
            std::lock_guard lock(mutex_);
            if (m == UiMessage::UpdateAvailable) posted_.push_back({w, std::this_thread::get_id()});
            changed_.notify_all();
        });
    }
    void TearDown() override {
        setUiReceiver(UiTarget::Main, {});
        PhoneOnDevnetTest::TearDown();
    }
    /// w is -1 when no UpdateAvailable came before the deadline.
    std::pair<intptr_t, std::thread::id> next() {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(30), [this] { return taken_ < posted_.size(); })) return {-1, {}};
        return posted_[taken_++];
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<intptr_t, std::thread::id>> posted_;
    size_t taken_ = 0;
};
TEST_F(UpdateCheckTest, PagesOnTheUpdateSiteAndWhatTheWindowIsTold) {
    // Once, on a thread of its own; a page that reads is the card test's.
    inject({{"path_prefix", "/dialo/"}, {"status", 200}, {"body", "Current Build: Version&nbsp;0.003"}});
    ASSERT_TRUE(startUpdateCheck());
    EXPECT_FALSE(startUpdateCheck());
    const auto [w, thread] = next();
    EXPECT_EQ(w, 4);
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_TRUE(updateAvailable());
    EXPECT_EQ(updatePageUrl(), "https://127.0.0.1:" + std::to_string(devnet.servicePort()) + "/dialo/");
    // Here, the answers that must not mislead.
    const std::string hidden = "<p>Current Build: Version 0.009</p>";
    const std::tuple<const char*, std::vector<json>, intptr_t> cases[] = {
        // the devnet's answers, matched in this order; posted: the version + 1, or 0
        {"not found", {{{"status", 404}, {"body", hidden}}}, 0},
        {"a dropped connection", {{{"drop", true}}}, 0},
        {"moved",
         {{{"status", 302}, {"location", "/dialo"}, {"body", hidden}},
          {{"path_prefix", "/dialo"}, {"status", 200}, {"body", "Current Build: Version 0.007"}}},
         8},
    };
    for (const auto& [name, faults, posted] : cases) {
        for (json f : faults) {
            if (!f.contains("path_prefix")) f["path_prefix"] = "/dialo/";
            inject(f);
        }
        runUpdateCheck();
        EXPECT_EQ(next().first, posted) << name;
        EXPECT_EQ(updateAvailable(), posted - 1 > kBuildVersion) << name;
        EXPECT_EQ(devnet.faults().pending(), 0u) << name;
    }
}
}  // namespace
}  // namespace dialo

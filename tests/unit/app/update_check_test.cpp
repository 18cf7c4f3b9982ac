// The update check: the version read out of a page's text, and the whole check against the
// update site of a devnet on loopback, which serves chosen pages, statuses and failures.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
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
        {"Current Build: Version&#160;0.010", 10},
        {"current build: version&NBSP;0.004", 4},
        {"<b>Current</b> <i>build</i>: <span class=v>Version</span> <em>1.250</em>", 1250},
        {"Version: 1.5", 1500},
        {"version=7", 7},
        {"VERSION\t: 12 and more", 12},
        {"Version 0.0025", 3},         // thousandths rounded half away from zero
        {"version 1.2.3", 1200},       // the decimal ends where a number can
        {"version 2 ... Current Build: Version 0.005", 5},  // the current build's line wins
        {"version 9, current build soon", -1},              // nothing after "current build"
        {"<meta name=version content=5> release notes", -1},  // mark-up is not text
        {"version -3", -1},
        {"version unknown", -1},
        {"version .", -1},
        {"version 99999999999", -1},  // beyond what the window message carries
        {"build 0.003", -1},
        {pad + "Version 0.003", 3},
        {"Version 0.003" + pad, -1},
    };
    for (const auto& [page, expected] : cases)
        EXPECT_EQ(extractVersion(page), expected) << page.substr(0, 80);
}

// What the bridge handed the main window, waited for with a deadline.
class Posts {
public:
    Posts() {
        setUiReceiver(UiTarget::Main, [this](UiMessage m, intptr_t w, intptr_t) {
            std::lock_guard lock(mutex_);
            posted_.push_back({m, w, std::this_thread::get_id()});
            changed_.notify_all();
        });
    }
    ~Posts() { setUiReceiver(UiTarget::Main, {}); }

    struct Post {
        UiMessage message;
        intptr_t w;
        std::thread::id thread;
    };
    std::optional<Post> next(std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, limit, [this] { return taken_ < posted_.size(); })) return std::nullopt;
        return posted_[taken_++];
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Post> posted_;
    size_t taken_ = 0;
};

class UpdateCheckTest : public test::PhoneOnDevnetTest {
protected:
    void SetUp() override {
        PhoneOnDevnetTest::SetUp();
        startWithSleep(nullptr);
    }
};

// A page that reads is the card test's; here, the pages and answers that must not mislead.
TEST_F(UpdateCheckTest, PagesOnTheUpdateSiteAndWhatTheWindowIsTold) {
    std::string early(50000, ' ');  // a version line in the first 20000 bytes only
    early.replace(10000, 28, "Current Build: Version 0.009");
    std::string long_(450000, ' ');  // read up to 400000 bytes: the line near there is seen
    long_.replace(390000, 28, "Current Build: Version 0.005");
    const std::string hidden = "<p>Current Build: Version 0.009</p>";
    struct Case {
        const char* name;
        std::vector<json> faults;  // the devnet's answers, matched in this order
        intptr_t w;                // posted: the version + 1, or 0
    };
    const Case cases[] = {
        {"a version early in a long page", {{{"status", 200}, {"body", early}}}, 0},
        {"a page past the cap", {{{"status", 200}, {"body", long_}}}, 6},
        {"not found", {{{"status", 404}, {"body", hidden}}}, 0},
        {"unavailable", {{{"status", 503}, {"body", hidden}}}, 0},
        {"a dropped connection", {{{"drop", true}}}, 0},
        {"moved",
         {{{"status", 302}, {"location", "/dialo"}, {"body", hidden}},
          {{"path_prefix", "/dialo"}, {"status", 200}, {"body", "Current Build: Version 0.007"}}},
         8},
    };
    Posts posts;
    for (const Case& c : cases) {
        for (json f : c.faults) {
            if (!f.contains("path_prefix")) f["path_prefix"] = "/dialo/";
            inject(f);
        }
        runUpdateCheck();
        const auto post = posts.next();
        ASSERT_TRUE(post) << c.name;
        EXPECT_EQ(post->message, UiMessage::UpdateAvailable) << c.name;
        EXPECT_EQ(post->w, c.w) << c.name;
        EXPECT_EQ(updateAvailable(), c.w - 1 > kBuildVersion) << c.name;
        EXPECT_EQ(devnet.faults().pending(), 0u) << c.name;
    }
}

TEST_F(UpdateCheckTest, RunsOnceOnAThreadOfItsOwn) {
    inject({{"path_prefix", "/dialo/"}, {"status", 200}, {"body", "Current Build: Version&nbsp;0.003"}});
    Posts posts;
    ASSERT_TRUE(startUpdateCheck());
    EXPECT_FALSE(startUpdateCheck());
    const auto post = posts.next();
    ASSERT_TRUE(post);
    EXPECT_EQ(post->message, UiMessage::UpdateAvailable);
    EXPECT_EQ(post->w, 4);
    EXPECT_NE(post->thread, std::this_thread::get_id());
    EXPECT_TRUE(updateAvailable());
    EXPECT_EQ(updatePageUrl(), "https://127.0.0.1:" + std::to_string(devnet.servicePort()) + "/dialo/");
}

}  // namespace
}  // namespace dialo

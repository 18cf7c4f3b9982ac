// What a user's disk holds when a phone dies mid-save, when two phones share the data
// folder, and when the shared file was left unreadable.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "state/phone_state.h"
#include "store/handle_switch.h"
#include "store/phone_store.h"
#include "store_fixture.h"

namespace dialo {
namespace {

using nlohmann::json;

class StoreCrashTest : public test::StoreTest {
protected:
    /// Parses a store file that must exist; an empty object on any fault (tests then fail on content).
    json mustParse(const std::string& path) {
        std::string text = readText(path);
        json doc = json::parse(text, nullptr, false);
        EXPECT_TRUE(doc.is_object()) << path << " holds: " << text.substr(0, 200);
        return doc.is_object() ? doc : json::object();
    }
};

TEST_F(StoreCrashTest, WriterKilledAtAnyMomentLeavesWholeFiles) {
    writeJson(sharedFile(), {{"network", {{"service_port", 8443}}}, {"theme", 1}});
    std::mt19937 rng(20261206);
    size_t lastInbox = 0;
    int kills = 0;

    for (int round = 0; round < 60; ++round) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            load_settings();
            switch_store_handle("alice");
            for (int r = 0;; ++r) {
                auto g = lockPhone();
                g.state.settings.theme = r % 4;
                g.state.boxes.inbox.push_back(
                    inboxMessage("m" + std::to_string(round) + "-" + std::to_string(r), "bob", r, uint8_t(r)));
                save_phone_store(g.state);
            }
        }
        // Kill somewhere inside the save loop: the point is the random moment, not a wait.
        ::usleep(useconds_t(std::uniform_int_distribution<int>(500, 15000)(rng)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (WIFSIGNALED(status)) ++kills;

        json shared = mustParse(sharedFile());
        EXPECT_EQ(shared["network"]["service_port"], 8443) << "round " << round;
        EXPECT_TRUE(shared["theme"].is_number_integer()) << "round " << round;
        if (!exists(handleFile("alice"))) continue;
        json own = mustParse(handleFile("alice"));
        ASSERT_TRUE(own["inbox"].is_array()) << "round " << round;
        // Each save holds everything before it: a shorter inbox would be a torn or stale file.
        EXPECT_GE(own["inbox"].size(), lastInbox) << "round " << round;
        lastInbox = own["inbox"].size();
        for (const auto& m : own["inbox"]) {
            ASSERT_TRUE(m.is_object());
            EXPECT_TRUE(m["id"].is_string() && m["audio"].is_string());
        }
        if (HasFailure()) break;
    }
    EXPECT_GT(kills, 50);
    EXPECT_GT(lastInbox, 0u);
}

TEST_F(StoreCrashTest, TwoPhonesSavingTogetherKeepEachOthersKeys) {
    writeJson(sharedFile(), {{"network", {{"service_port", 8443}}}});
    constexpr int kRounds = 300;

    // One phone knows an output device, the other a window position; neither may drop the other's key.
    auto run = [](bool first) {
        load_settings();
        switch_store_handle(first ? "alice" : "bob");
        for (int i = 0; i < kRounds; ++i) {
            auto g = lockPhone();
            if (first) {
                g.state.settings.output = "Speakers";
            } else {
                g.state.settings.mainPos = {40, 50, true};
            }
            g.state.settings.theme = i % 4;
            save_phone_store(g.state);
        }
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        run(false);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    run(true);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    json shared = mustParse(sharedFile());
    EXPECT_EQ(shared["output"], "Speakers");
    EXPECT_EQ(shared["main_x"], 40);
    EXPECT_EQ(shared["main_y"], 50);
    EXPECT_EQ(shared["network"]["service_port"], 8443);
    EXPECT_EQ(mustParse(handleFile("alice"))["output"], "Speakers");
    EXPECT_EQ(mustParse(handleFile("bob"))["main_x"], 40);
}

TEST_F(StoreCrashTest, UnreadableSharedFileLeavesDefaultsAndIsKeptAside) {
    const std::string broken = "{\"theme\": 3, \"network\": {\"service_port\": 9";
    writeText(sharedFile(), broken);
    {
        auto g = lockPhone();
        g.state.settings = PhoneSettings{};
    }
    load_settings();
    {
        auto g = lockPhone();
        EXPECT_EQ(g.state.settings.theme, 0);
        EXPECT_EQ(g.state.settings.bsv, PhoneSettings{}.bsv);
    }
    EXPECT_EQ(readText(sharedFile()), broken) << "loading alone must not touch the file";

    {
        auto g = lockPhone();
        g.state.settings.theme = 2;
        save_phone_store(g.state);
    }
    json shared = mustParse(sharedFile());
    EXPECT_EQ(shared["theme"], 2);
    EXPECT_EQ(readText(sharedFile() + ".bak"), broken);
}

}  // namespace
}  // namespace dialo

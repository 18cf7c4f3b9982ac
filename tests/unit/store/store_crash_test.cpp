// A user's disk after a phone dies mid-save or two phones save at once; dead temp files are e2e's.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include "tests/unit/store/store_fixture.h"

namespace dialo {
namespace {
using nlohmann::json;
class StoreCrashTest : public test::StoreTest {};
TEST_F(StoreCrashTest, WriterKilledAtAnyMomentAfterItsFirstSaveLeavesWholeFiles) {
    writeJson(sharedFile(), {{"network", {{"service_port", 8443}}}, {"theme", 1}});
    std::mt19937 rng(20261206);
    size_t lastInbox = 0;
    for (int round = 0; round < 40 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int saved[2];
        ASSERT_EQ(::pipe(saved), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(saved[0]);
            load_settings();
            switch_store_handle("alice");
            if (!start_store_saver()) ::_exit(4);  // saves written on the saver thread, as in the phone
            for (int r = 0;; ++r) {
                {
                    auto g = lockPhone();
                    g.state.settings.theme = r % 4;
                    g.state.boxes.inbox.push_back(inboxMessage(std::to_string(round) + "-" + std::to_string(r), "bob", r, uint8_t(r)));
                    save_phone_store(g.state);
                }
                // One byte per finished save; the parent stops reading long before the pipe fills.
                if (!flush_phone_store() || ::write(saved[1], "s", 1) != 1) ::_exit(3);
            }
        }
        ::close(saved[1]);
        // Wait (with a deadline) for a random number of saves, then kill the child inside a later one.
        const int saves = std::uniform_int_distribution<int>(1, 8)(rng);
        bool signalled = true;
        for (int i = 0; i < saves && signalled; ++i) {
            pollfd p{saved[0], POLLIN, 0};
            char byte = 0;
            signalled = ::poll(&p, 1, 60000) == 1 && ::read(saved[0], &byte, 1) == 1;
        }
        ::usleep(useconds_t(std::uniform_int_distribution<int>(0, 3000)(rng)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ::close(saved[0]);
        ASSERT_TRUE(signalled) << "no save finished within 60 s";
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer ended by itself";
        json shared = readJson(sharedFile());
        EXPECT_EQ(shared["network"]["service_port"], 8443);
        EXPECT_TRUE(shared["theme"].is_number_integer());
        json inbox = readJson(handleFile("alice"))["inbox"];
        ASSERT_TRUE(inbox.is_array());
        // Each save holds everything before it: a shorter inbox would be a torn or stale file.
        EXPECT_GE(inbox.size(), std::max<size_t>(lastInbox, saves));
        lastInbox = inbox.size();
        // Every message the document names has its audio on disk.
        for (const auto& m : inbox) {
            ASSERT_TRUE(m.is_object() && m["id"].is_string() && m["audio_file"].is_string());
            EXPECT_EQ(readText(audioFile("alice", m["id"].get<std::string>())).size(), 33u) << m["id"];
        }
    }
    // A file is only replaced whole: one opened before a save still reads as it was.
    load_settings();
    const std::string old = readText(sharedFile());
    std::ifstream opened(sharedFile(), std::ios::binary);
    {
        auto g = lockPhone();
        g.state.settings.theme = (g.state.settings.theme + 1) % 4;
        save_phone_store(g.state);
    }
    EXPECT_NE(readText(sharedFile()), old);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(opened), {}), old);
}
TEST_F(StoreCrashTest, TwoPhonesAndTwoThreadsSavingTogetherLeaveWholeFilesAndEachOthersKeys) {
    writeJson(sharedFile(), {{"network", {{"service_port", 8443}}}});
    constexpr int kRounds = 50;
    // Another phone under another handle on this folder: neither may drop the other's key.
    auto saver = [](const char* handle, int offset) {
        for (int i = 0; i < kRounds; ++i) {
            auto g = lockPhone();
            if (offset < 0) g.state.settings.mainPos = {40, 50, true};
            else g.state.settings.output = "Speakers";
            g.state.settings.theme = (i + offset + 4) % 4;
            g.state.boxes.calls.push_back(callRecord("carol", handle, offset * 1000 + i, ""));
            save_phone_store(g.state);
        }
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        load_settings();
        switch_store_handle("bob");
        saver("bob", -1);
        ::_exit(0);
    }
    load_settings();
    switch_store_handle("alice");
    std::thread a(saver, "alice", 0), b(saver, "alice", 1);
    a.join();
    b.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    json shared = readJson(sharedFile()), alice = readJson(handleFile("alice")), bob = readJson(handleFile("bob"));
    EXPECT_EQ(shared["output"], "Speakers");
    EXPECT_EQ(shared["main_x"], 40);
    EXPECT_EQ(shared["network"]["service_port"], 8443);
    EXPECT_EQ(alice["calls"].size(), size_t(2 * kRounds));
    EXPECT_EQ(bob["calls"].size(), size_t(kRounds));
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"phone.json", "phone-alice.json", "phone-bob.json", "phone.lock"}));
}
}  // namespace
}  // namespace dialo

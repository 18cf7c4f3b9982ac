// What a user's disk holds when a phone dies mid-save, and when two phones and two workers save
// into one data folder at once.

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

// Waits up to `seconds` for one byte on `fd`; false on a timeout, an error or end of file.
bool readSignal(int fd, int seconds) {
    pollfd p{fd, POLLIN, 0};
    char byte = 0;
    return ::poll(&p, 1, seconds * 1000) == 1 && ::read(fd, &byte, 1) == 1;
}

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
            // Saves written on the saver thread, as in the phone.
            if (!start_store_saver()) ::_exit(4);
            for (int r = 0;; ++r) {
                {
                    auto g = lockPhone();
                    g.state.settings.theme = r % 4;
                    g.state.boxes.inbox.push_back(inboxMessage(std::to_string(round) + "-" + std::to_string(r), "bob", r, uint8_t(r)));
                    save_phone_store(g.state);
                }
                if (!flush_phone_store()) ::_exit(5);
                // One byte per finished save; the parent stops reading long before the pipe fills.
                if (::write(saved[1], "s", 1) != 1) ::_exit(3);
            }
        }
        ::close(saved[1]);
        // However slow the machine, wait (with a deadline) for a random number of finished
        // saves, then kill the child somewhere inside a later one.
        const int saves = std::uniform_int_distribution<int>(1, 8)(rng);
        bool signalled = true;
        for (int i = 0; i < saves && signalled; ++i) signalled = readSignal(saved[0], 60);
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
    // Whatever the moment of a kill, a file is only ever replaced whole: one opened before a save
    // (by another phone of the folder) still reads as it was, not half rewritten under it.
    load_settings();
    const std::string old = readText(sharedFile());
    std::ifstream opened(sharedFile(), std::ios::binary);
    {
        auto g = lockPhone();
        g.state.settings.theme = (g.state.settings.theme + 1) % 4;
    }
    save();
    EXPECT_NE(readText(sharedFile()), old);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(opened), {}), old);
}

TEST_F(StoreCrashTest, TwoPhonesAndTwoThreadsSavingTogetherLeaveWholeFilesAndEachOthersKeys) {
    writeJson(sharedFile(), {{"network", {{"service_port", 8443}}}});
    constexpr int kRounds = 50;
    // A second phone on the same data folder under another handle knows a window position,
    // this one an output device; neither may drop the other's key.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        load_settings();
        switch_store_handle("bob");
        for (int i = 0; i < kRounds; ++i) {
            auto g = lockPhone();
            g.state.settings.mainPos = {40, 50, true};
            g.state.settings.theme = i % 4;
            g.state.boxes.calls.push_back(callRecord("carol", "bob", i, ""));
            save_phone_store(g.state);
        }
        ::_exit(0);
    }
    // This phone saves from two workers at once.
    load_settings();
    switch_store_handle("alice");
    auto saver = [](int offset) {
        for (int i = 0; i < kRounds; ++i) {
            auto g = lockPhone();
            g.state.settings.output = "Speakers";
            g.state.settings.theme = (i + offset) % 4;
            g.state.boxes.calls.push_back(callRecord("bob", "alice", offset * 1000 + i, ""));
            save_phone_store(g.state);
        }
    };
    std::thread a(saver, 0), b(saver, 1);
    a.join();
    b.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    json shared = readJson(sharedFile()), alice = readJson(handleFile("alice")), bob = readJson(handleFile("bob"));
    EXPECT_EQ(shared["output"], "Speakers");
    EXPECT_EQ(shared["main_x"], 40);
    EXPECT_EQ(shared["network"]["service_port"], 8443);
    EXPECT_EQ(alice["output"], "Speakers");
    EXPECT_EQ(alice["calls"].size(), size_t(2 * kRounds));
    EXPECT_EQ(bob["main_x"], 40);
    EXPECT_EQ(bob["calls"].size(), size_t(kRounds));
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"phone.json", "phone-alice.json", "phone-bob.json", "phone.lock"}));
}

// A writer killed between creating its temporary file and renaming it leaves the file behind,
// named after its pid; every crash would add one (each a copy of the user's messages).
TEST_F(StoreCrashTest, TemporaryFileOfAKilledWriterIsGoneAfterTheNextStartAndALiveOnesStays) {
    writeJson(sharedFile(), {{"theme", 1}});
    writeJson(handleFile("alice"), {{"inbox", json::array()}});
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writeText(handleFile("alice") + ".tmp-" + std::to_string(::getpid()) + "-3", "{\"inbox\": [{\"id\"");
        ::raise(SIGKILL);
        ::_exit(3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    const std::string dead = "phone-alice.json.tmp-" + std::to_string(child) + "-3";
    // This process stands for a second phone on the same folder, mid-save.
    const std::string live = "phone.json.tmp-" + std::to_string(::getpid()) + "-1";
    writeText(dataDir() + "/" + live, "{");
    ASSERT_TRUE(folderEntries().count(dead));

    load_settings();
    EXPECT_EQ(folderEntries(), (std::set<std::string>{"phone.json", "phone-alice.json", "phone.lock", live}));
    EXPECT_EQ(lockPhone().state.settings.theme, 1);
}

}  // namespace
}  // namespace dialo

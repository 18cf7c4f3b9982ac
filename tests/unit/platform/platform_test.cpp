// The operating-system layer on a real machine: the data folder on a fresh account, and
// programs started detached that never linger as this process's children.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/data_dir.h"
#include "platform/process.h"

namespace dialo {
namespace {

class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/dialo-platform-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    static bool isDirectory(const std::string& path) {
        struct stat st{};
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 0777) == 0700;
    }
    std::string root_;
};

TEST_F(PlatformTest, DataFolderIsMadeWithEveryMissingParent) {
    struct Case {
        const char* localAppData;  // below the test folder; null: unset
        const char* xdgDataHome;
        const char* expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, "/home/.local/share/Orvane"},  // a fresh account: no ~/.local yet
        {nullptr, "/xdg/a/b", "/xdg/a/b/Orvane"},
        {"/lad/x/y", nullptr, "/lad/x/y/Orvane"},
    };
    ASSERT_TRUE(std::filesystem::create_directory(root_ + "/home"));
    for (const Case& c : cases) {
        ASSERT_EQ(::setenv("HOME", (root_ + "/home").c_str(), 1), 0);
        if (c.localAppData) ::setenv("LOCALAPPDATA", (root_ + c.localAppData).c_str(), 1);
        else ::unsetenv("LOCALAPPDATA");
        if (c.xdgDataHome) ::setenv("XDG_DATA_HOME", (root_ + c.xdgDataHome).c_str(), 1);
        else ::unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(platformDirectory(), root_ + c.expected);
        EXPECT_TRUE(isDirectory(root_ + c.expected)) << c.expected;
    }
}

TEST_F(PlatformTest, DetachedProgramIsNeverLeftAsOurChild) {
    const std::string mark = root_ + "/ran";
    ASSERT_TRUE(spawnDetached({"sh", "-c", "echo ran > '" + mark + "'"}));
    // Nothing of it is our child any more, running or exited: there is nothing to reap.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    // It did run (the deadline is far beyond what a shell needs to write one line).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string text;
    while (text != "ran\n" && std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(mark);
        std::getline(in, text, '\0');
        if (text != "ran\n") std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(text, "ran\n");

    EXPECT_FALSE(spawnDetached({root_ + "/no-such-program"}));
    EXPECT_FALSE(spawnDetached({"dialo-no-such-program-in-path"}));
    EXPECT_FALSE(spawnDetached({}));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

}  // namespace
}  // namespace dialo

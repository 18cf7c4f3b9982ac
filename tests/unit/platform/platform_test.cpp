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

#include "../temp_folder.h"
#include "platform/data_dir.h"
#include "platform/process.h"

namespace dialo {
namespace {

class PlatformTest : public ::testing::Test {
protected:
    test::TempFolder folder_{"platform", false};
    const std::string root_ = folder_.path;
};

TEST_F(PlatformTest, DataFolderIsMadeWithEveryMissingParent) {
    // LOCALAPPDATA and XDG_DATA_HOME below the test folder ("" unsets), and the folder expected.
    const char* cases[][3] = {
        {"", "", "/home/.local/share/Orvane"},  // a fresh account: no ~/.local yet
        {"", "/xdg/a/b", "/xdg/a/b/Orvane"},
        {"/lad/x/y", "", "/lad/x/y/Orvane"},
    };
    ASSERT_TRUE(std::filesystem::create_directory(root_ + "/home"));
    ASSERT_EQ(::setenv("HOME", (root_ + "/home").c_str(), 1), 0);
    for (const auto& [localAppData, xdgDataHome, expected] : cases) {
        for (auto [name, value] : {std::pair{"LOCALAPPDATA", localAppData}, std::pair{"XDG_DATA_HOME", xdgDataHome}})
            *value ? ::setenv(name, (root_ + value).c_str(), 1) : ::unsetenv(name);
        EXPECT_EQ(platformDirectory(), root_ + expected);
        struct stat st{};
        EXPECT_TRUE(::stat((root_ + expected).c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 0777) == 0700)
            << expected;
    }
}

TEST_F(PlatformTest, DetachedProgramIsNeverLeftAsOurChild) {
    const std::string mark = root_ + "/ran";
    ASSERT_TRUE(spawnDetached({"sh", "-c", "echo ran > '" + mark + "'"}));
    // Nothing of it is our child any more, running or exited: there is nothing to reap.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    // It did run (by a deadline far beyond what a shell needs to write one line).
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

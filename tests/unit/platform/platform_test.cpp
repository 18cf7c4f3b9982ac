// The operating-system layer on a real machine: the data folder on a fresh account, and
// programs started detached that never linger as this process's children.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/temp_folder.h"
#include "platform/data_dir.h"
#include "platform/paths.h"
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

TEST_F(PlatformTest, RuntimeFolderIsOneNoOtherUserCanEnterOrMakeFirst) {
    const std::string runtime = root_ + "/run", parent = root_ + "/tmp";
    const std::string own = parent + "/dialo-" + std::to_string(::geteuid());
    const bool root = ::geteuid() == 0;  // only root can leave a folder of another user here
    struct Row {
        const char* what;
        mode_t runtimeMode;  // 0: XDG_RUNTIME_DIR unset
        bool runtimeOthers;  // the runtime folder is another user's
        const char* before;  // at the fallback: "", "dir 0755", "link", "file", "others"
        const char* expected;  // "run", "own" or ""
    };
    const Row rows[] = {
        {"the runtime folder", 0700, false, "", "run"},
        {"no runtime folder: one of our own is made", 0, false, "", "own"},
        {"a runtime folder others may enter is passed over", 0755, false, "", "own"},
        {"an open folder of ours is closed", 0, false, "dir 0755", "own"},
        {"a link, even to a folder of ours, is refused", 0, false, "link", ""},
        {"a file is refused", 0, false, "file", ""},
        {"another user's runtime folder is passed over", 0700, true, "", "own"},
        {"another user's folder is refused", 0, false, "others", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if ((row.runtimeOthers || std::string(row.before) == "others") && !root) continue;
        std::filesystem::remove_all(runtime);
        std::filesystem::remove_all(parent);
        ASSERT_TRUE(std::filesystem::create_directory(parent));
        ::unsetenv("XDG_RUNTIME_DIR");
        if (row.runtimeMode != 0) {
            ASSERT_EQ(::mkdir(runtime.c_str(), row.runtimeMode), 0);
            ASSERT_EQ(::chmod(runtime.c_str(), row.runtimeMode), 0);
            if (row.runtimeOthers) {
                ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0);
            }
            ASSERT_EQ(::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1), 0);
        }
        const std::string before = row.before;
        if (before == "dir 0755" || before == "others") {
            ASSERT_EQ(::mkdir(own.c_str(), 0755), 0);
            ASSERT_EQ(::chmod(own.c_str(), 0755), 0);
            if (before == "others") {
                ASSERT_EQ(::chown(own.c_str(), 65534, 65534), 0);
            }
        } else if (before == "link") {
            ASSERT_EQ(::mkdir((parent + "/elsewhere").c_str(), 0700), 0);
            ASSERT_EQ(::symlink((parent + "/elsewhere").c_str(), own.c_str()), 0);
        } else if (before == "file") {
            std::ofstream(own) << "x";
        }

        const std::string expected = std::string(row.expected) == "run" ? runtime
                                     : std::string(row.expected) == "own" ? own
                                                                          : "";
        EXPECT_EQ(privateRuntimeDirectory(parent), expected);
        struct stat st{};
        if (!expected.empty()) {
            EXPECT_TRUE(::lstat(expected.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 077) == 0 &&
                        st.st_uid == ::geteuid());
        }
    }
    ::unsetenv("XDG_RUNTIME_DIR");
}

TEST(Paths, ProgramDirectoryHoldsThisTest) {
    const std::string dir = programDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(::access((dir + "/unit_tests").c_str(), X_OK), 0);
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

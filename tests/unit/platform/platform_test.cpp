// The operating-system layer on a real machine: data folder, runtime folder, detached programs.
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
bool privateFolder(const std::string& path, mode_t mode = 0700) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 0777) == mode && st.st_uid == ::geteuid();
}
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
        EXPECT_TRUE(privateFolder(root_ + expected)) << expected;
    }
}
TEST_F(PlatformTest, RuntimeFolderIsOneNoOtherUserCanEnterOrMakeFirst) {
    const std::string runtime = root_ + "/run", parent = root_ + "/tmp";
    const std::string own = parent + "/dialo-" + std::to_string(::geteuid());
    struct Row {
        const char* what;
        mode_t runtimeMode;  // 0: XDG_RUNTIME_DIR unset
        const char* before;  // at the fallback: "", "dir", "link" or "file"
        const char* expected;
    };
    const Row rows[] = {
        {"the runtime folder", 0700, "", runtime.c_str()},
        {"no runtime folder: one of our own is made", 0, "", own.c_str()},
        {"a runtime folder others may enter is passed over", 0755, "", own.c_str()},
        {"an open folder of ours is closed", 0, "dir", own.c_str()},
        {"a link, even to a folder of ours, is refused", 0, "link", ""},
        {"a file is refused", 0, "file", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::filesystem::remove_all(runtime);
        std::filesystem::remove_all(parent);
        ASSERT_TRUE(std::filesystem::create_directory(parent));
        ::unsetenv("XDG_RUNTIME_DIR");
        if (row.runtimeMode != 0) {
            ASSERT_TRUE(::mkdir(runtime.c_str(), 0700) == 0 && ::chmod(runtime.c_str(), row.runtimeMode) == 0);
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        }
        const std::string before = row.before;
        if (before == "dir") {
            ASSERT_TRUE(::mkdir(own.c_str(), 0700) == 0 && ::chmod(own.c_str(), 0755) == 0);
        }
        if (before == "link") {
            ASSERT_TRUE(::mkdir((parent + "/x").c_str(), 0700) == 0 && ::symlink("x", own.c_str()) == 0);
        }
        if (before == "file") std::ofstream(own) << "x";
        EXPECT_EQ(privateRuntimeDirectory(parent), row.expected);
        if (*row.expected) {
            EXPECT_TRUE(privateFolder(row.expected));
        }
    }
    ::unsetenv("XDG_RUNTIME_DIR");
}
TEST_F(PlatformTest, DetachedProgramIsNeverLeftAsOurChild) {
    const std::string mark = root_ + "/ran";
    ASSERT_TRUE(spawnDetached({"sh", "-c", "echo ran > '" + mark + ".tmp' && mv '" + mark + ".tmp' '" + mark + "'"}));
    // Nothing of it is our child any more, running or exited: there is nothing to reap.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    // It did run (by a deadline far beyond what a shell needs to write one line).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(mark) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(std::filesystem::exists(mark));
    EXPECT_FALSE(spawnDetached({root_ + "/no-such-program"}));
    EXPECT_FALSE(spawnDetached({}));
}
}  // namespace
}  // namespace dialo

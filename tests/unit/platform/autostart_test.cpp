// Starting at log-in through an XDG autostart entry: written and removed under a temporary
// config folder, checked by desktop-file-validate, and launched by GLib's `gio launch` as a
// desktop session does, for a program at a path a shell would misread.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_folder.h"
#include "platform/autostart.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"

extern char** environ;

namespace dialo {
namespace {

// Runs a program to its end; its exit status (-1 when it could not start), with what it
// printed in `output`.
int run(const std::vector<std::string>& args, const std::string& outputFile, std::string& output) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!readWholeFile(outputFile, output)) output = "(no output)";
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class AutostartTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1), 0);
    }
    // desktop-file-validate's verdict: empty when the entry is clean.
    std::string validate(const std::string& entry) {
        const std::string tool = findInPath("desktop-file-validate");
        if (tool.empty()) return "desktop-file-validate was not found; run scripts/setup";
        std::string output;
        const int rc = run({tool, entry}, root_ + "/validate.out", output);
        return rc == 0 && output.empty() ? std::string() : "exit " + std::to_string(rc) + ": " + output;
    }

    test::TempFolder folder_{"autostart", false};
    const std::string root_ = folder_.path;
};

TEST_F(AutostartTest, ToggleWritesAndRemovesTheEntryForThisProgram) {
    const std::string entry = root_ + "/config/autostart/dialo.desktop";
    ASSERT_EQ(startupEntryPath(), entry);
    EXPECT_FALSE(registeredForStartup());

    std::string error;
    ASSERT_TRUE(toggleStartup(error)) << error;  // makes the missing folders too
    EXPECT_TRUE(registeredForStartup());
    std::string text;
    ASSERT_TRUE(readWholeFile(entry, text));
    EXPECT_EQ(text, startupEntryText(programPath()));
    EXPECT_NE(text.find("\nExec=\"" + programPath() + "\"\n"), std::string::npos) << text;
    EXPECT_EQ(validate(entry), "");

    ASSERT_TRUE(toggleStartup(error)) << error;
    EXPECT_FALSE(pathExists(entry));
    EXPECT_FALSE(registeredForStartup());

    // Entries left by hand or by a session's settings tool: registered only when the session
    // would start a quoted path from them. Toggling one that is not writes ours over it.
    const std::pair<std::string, bool> entries[] = {
        {startupEntryText("/opt/dialo/dialo"), true},
        {"[Desktop Entry]\nExec = \"/opt/dialo/dialo\"\r\n", true},
        {"[Desktop Entry]\nExec=\"\"\n", false},
        {"[Desktop Entry]\nExec=/opt/dialo/dialo\n", false},
        {startupEntryText("/opt/dialo/dialo") + "Hidden=true\n", false},
        {"[Desktop Entry]\nX-GNOME-Autostart-enabled=false\nExec=\"/opt/dialo/dialo\"\n", false},
        {"[Desktop Action call]\nExec=\"/opt/dialo/dialo\"\n", false},
    };
    for (const auto& [content, registered] : entries) {
        ASSERT_TRUE(writeFileAtomic(entry, content));
        EXPECT_EQ(registeredForStartup(), registered) << content;
        ASSERT_TRUE(toggleStartup(error)) << error;
        EXPECT_EQ(pathExists(entry), !registered) << content;
        EXPECT_NE(registeredForStartup(), registered) << content;
        ::unlink(entry.c_str());
    }
}

TEST_F(AutostartTest, EntryLivesUnderTheConfigFolderOrHome) {
    const char* cases[][3] = {
        // XDG_CONFIG_HOME ("" unsets; relative ones are ignored), HOME, the entry
        {"/x", "/h", "/x/autostart/dialo.desktop"},
        {"", "/h", "/h/.config/autostart/dialo.desktop"},
        {"relative/config", "/h", "/h/.config/autostart/dialo.desktop"},
        {"", "", ""},
    };
    for (const auto& [config, home, expected] : cases) {
        *config ? ::setenv("XDG_CONFIG_HOME", config, 1) : ::unsetenv("XDG_CONFIG_HOME");
        *home ? ::setenv("HOME", home, 1) : ::unsetenv("HOME");
        EXPECT_EQ(startupEntryPath(), expected) << config << " " << home;
    }
    std::string error;
    EXPECT_FALSE(registeredForStartup());
    EXPECT_FALSE(toggleStartup(error));
    EXPECT_FALSE(error.empty());
}

TEST_F(AutostartTest, SessionStartsAProgramWhosePathHasSpacesQuotesBackslashesAndDollars) {
    const std::string gio = findInPath("gio");
    ASSERT_FALSE(gio.empty()) << "gio (libglib2.0-bin) was not found; run scripts/setup";
    const std::string dir = root_ + "/with space/it's \"odd\" \\ $HOME `id` ;&|<>*?#()~";
    ASSERT_TRUE(std::filesystem::create_directories(dir));
    const std::string program = dir + "/dialo";
    const std::string marker = root_ + "/started";
    {
        std::ofstream script(program);
        script << "#!/bin/sh\nprintf '%s' \"$0\" > " << marker << ".tmp && mv " << marker << ".tmp " << marker << "\n";
    }
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);

    const std::string entry = root_ + "/autostart/dialo.desktop";
    ASSERT_TRUE(ensureDirectory(root_ + "/autostart"));
    ASSERT_TRUE(writeFileAtomic(entry, startupEntryText(program)));
    EXPECT_EQ(validate(entry), "");

    std::string output;
    ASSERT_EQ(run({gio, "launch", entry}, root_ + "/gio.out", output), 0) << output;
    // gio returns once the program is started; the program then leaves its marker.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pathExists(marker) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string started;
    ASSERT_TRUE(readWholeFile(marker, started)) << "the program was not started";
    EXPECT_EQ(started, program);
}

}  // namespace
}  // namespace dialo

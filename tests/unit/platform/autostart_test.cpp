// A log-in autostart entry, launched by `gio launch` as a session does, for a path a shell would misread.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include "support/temp_folder.h"
#include "platform/autostart.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace dialo {
namespace {
class AutostartTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1), 0); }
    // Returns the exit status followed by the output.
    std::string run(const std::string& command) {
        const int rc = std::system((command + " >'" + root_ + "/out' 2>&1").c_str());
        std::string output;
        (void)readWholeFile(root_ + "/out", output);
        return std::to_string(rc) + output;
    }
    test::TempFolder folder_{"autostart", false};
    const std::string root_ = folder_.path;
};
TEST_F(AutostartTest, ToggleWritesAndRemovesTheEntryForThisProgram) {
    const std::string entry = root_ + "/config/autostart/dialo.desktop";
    ASSERT_EQ(startupEntryPath(), entry);
    EXPECT_FALSE(registeredForStartup());
    std::string error, text;
    ASSERT_TRUE(toggleStartup(error)) << error;  // makes the missing folders too
    EXPECT_TRUE(registeredForStartup());
    ASSERT_TRUE(readWholeFile(entry, text));
    EXPECT_NE(text.find("\nExec=\"" + programPath() + "\"\n"), std::string::npos) << text;
    ASSERT_TRUE(toggleStartup(error)) << error;
    EXPECT_FALSE(pathExists(entry));
    // A foreign entry counts only if it would start our quoted path; toggling it writes ours.
    const std::pair<std::string, bool> entries[] = {
        {"[Desktop Entry]\nExec = \"/opt/dialo/dialo\"\r\n", true},
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
TEST_F(AutostartTest, SessionStartsAProgramWhosePathHasSpacesQuotesBackslashesAndDollars) {
    const std::string dir = root_ + "/with space/it's \"odd\" \\ $HOME `id` ;&|<>*?#()~";
    ASSERT_TRUE(std::filesystem::create_directories(dir));
    const std::string program = dir + "/dialo", marker = root_ + "/started";
    std::ofstream(program) << "#!/bin/sh\nprintf '%s' \"$0\" > " << marker << ".tmp && mv " << marker << ".tmp " << marker
                           << "\n";
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    const std::string entry = root_ + "/dialo.desktop";
    ASSERT_TRUE(writeFileAtomic(entry, startupEntryText(program)));
    // Both tools come with scripts/setup (desktop-file-utils, libglib2.0-bin).
    EXPECT_EQ(run("desktop-file-validate '" + entry + "'"), "0");
    ASSERT_EQ(run("gio launch '" + entry + "'"), "0");
    // gio returns once the program is started; the program then leaves its marker.
    for (int i = 0; i < 1000 && !pathExists(marker); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string started;
    ASSERT_TRUE(readWholeFile(marker, started)) << "the program was not started";
    EXPECT_EQ(started, program);
}
}  // namespace
}  // namespace dialo

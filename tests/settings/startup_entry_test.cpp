// "登録" on every system: the checks before an entry is written and the folder made for it. What
// the entry holds, and how it goes over an old one, is each system's own test.
#include "settings/startup_entry.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/pty_cable.h"

namespace fs = std::filesystem;

TEST(StartupEntry, ARefusedTargetOrFolderWritesNothingAndAMissingFolderIsMade) {
    ScratchDir dir;
    const std::string program = programPath();
    ASSERT_FALSE(program.empty());
    // A relative target could start anything.
    StartupEntryResult result = createStartupShortcut("vorlinex", dir.file("relative.entry"));
    EXPECT_TRUE(result.status == StartupEntryStatus::UnwritableTarget && result.path == "vorlinex");
    EXPECT_EQ(createStartupShortcut(program, "").status, StartupEntryStatus::NoEntryFolder);
    // No folder can be made under a plain file: the folder is named, with the system's reason.
    dir.write("file", "");
    result = createStartupShortcut(program, dir.file("file/autostart/Vorlinex.entry"));
    EXPECT_TRUE(result.status == StartupEntryStatus::SystemError && result.systemError != 0) << result.systemError;
    EXPECT_EQ(fs::path(result.path).lexically_normal(), fs::path(dir.file("file/autostart")).lexically_normal());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1) << "only the plain file";

    const std::string entry = dir.file("Start Menu/Startup/Vorlinex.entry");
    result = createStartupShortcut(program, entry);
    EXPECT_TRUE(result.saved() && result.path == entry && createStartupShortcut(program, entry).saved())
        << "a second 登録 over the first";
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(entry).parent_path()), fs::directory_iterator()), 1);
}

// The autostart entry written by "登録", in real folders.
#include "settings/startup_entry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/pty_cable.h"

namespace {

// A key's value in the entry, as a reader of autostart entries sees it.
std::string valueOf(const std::string& content, const std::string& key) {
    const size_t at = content.find("\n" + key + "=");
    if (at == std::string::npos) return "<missing>";
    const size_t from = at + key.size() + 2;
    return content.substr(from, content.find('\n', from) - from);
}

class ConfigHome : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1); }
    void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }
    ScratchDir dir;
};

TEST_F(ConfigHome, TheEntryStartsTheProgramAndReplacesAnOlderOneWhole) {
    const std::string link = startupEntryPath();
    EXPECT_EQ(link, dir.file("config/autostart/Vorlinex.desktop"));
    const std::string program = programPath();
    EXPECT_EQ(program, std::filesystem::canonical("/proc/self/exe").string());
    // An older, longer entry of someone else's making.
    std::filesystem::create_directories(dir.file("config/autostart"));
    dir.write("config/autostart/Vorlinex.desktop",
              "[Desktop Entry]\nExec=/old/vorlinex --many arguments\nPath=/old\nComment=would survive a short write\n");
    ASSERT_EQ(createStartupShortcut(program, link), 1);
    const std::string content = dir.read("config/autostart/Vorlinex.desktop");
    EXPECT_EQ(content.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_EQ(valueOf(content, "Type"), "Application");
    EXPECT_EQ(valueOf(content, "Exec"), program);
    EXPECT_EQ(valueOf(content, "Name"), "Vorlinex");
    EXPECT_EQ(valueOf(content, "Path"), "<missing>");
    EXPECT_EQ(valueOf(content, "Comment"), "<missing>");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("config/autostart")), {}), 1);
}

TEST_F(ConfigHome, WhatCannotBeWrittenFailsAndLeavesNothing) {
    EXPECT_EQ(createStartupShortcut("", startupEntryPath()), 0);
    EXPECT_EQ(createStartupShortcut("vorlinex", startupEntryPath()), 0);  // relative
    EXPECT_FALSE(std::filesystem::exists(dir.file("config/autostart/Vorlinex.desktop")));
    std::filesystem::create_directories(dir.file("config/autostart/Vorlinex.desktop"));
    EXPECT_EQ(createStartupShortcut("/usr/bin/vorlinex", startupEntryPath()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("config/autostart/Vorlinex.desktop")));
    dir.write("plain-file", "not a folder");
    setenv("XDG_CONFIG_HOME", dir.file("plain-file/config").c_str(), 1);
    EXPECT_EQ(createStartupShortcut("/usr/bin/vorlinex", startupEntryPath()), 0);
    EXPECT_EQ(dir.read("plain-file"), "not a folder");
}

TEST(DesktopExec, PathsWithReservedCharactersAreQuotedAndEscaped) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/vorlinex", "/usr/bin/vorlinex"},
        {"/home/a b/vorlinex", "\"/home/a b/vorlinex\""},
        {"/opt/100%/vorlinex", "/opt/100%%/vorlinex"},
        {"/opt/$x/vor\"linex", "\"/opt/\\\\$x/vor\\\\\"linex\""},
    };
    for (const auto& [path, exec] : cases) EXPECT_EQ(desktopExecValue(path), exec) << path;
}

}  // namespace

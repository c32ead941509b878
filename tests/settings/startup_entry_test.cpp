// The autostart entry written by "登録", in real folders.
#include "settings/startup_entry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/pty_cable.h"

namespace {

// The lines of a desktop entry's key file, as a reader of autostart entries sees them.
std::string valueOf(const std::string& content, const std::string& key) {
    size_t at = 0;
    while (at < content.size()) {
        size_t end = content.find('\n', at);
        if (end == std::string::npos) end = content.size();
        const std::string line = content.substr(at, end - at);
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
        at = end + 1;
    }
    return "<missing>";
}

class ConfigHome : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* v = std::getenv("XDG_CONFIG_HOME")) saved = v, hadValue = true;
        if (const char* h = std::getenv("HOME")) savedHome = h;
    }
    void TearDown() override {
        if (hadValue) {
            setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
        setenv("HOME", savedHome.c_str(), 1);
    }
    ScratchDir dir;
    std::string saved, savedHome;
    bool hadValue = false;
};

TEST_F(ConfigHome, TheEntryStartsTheProgramByItsAbsolutePathWithNoWorkingDirectory) {
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    const std::string link = startupEntryPath();
    EXPECT_EQ(link, dir.file("config") + "/autostart/Vorlinex.desktop");
    const std::string program = programPath();
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(program, std::filesystem::canonical("/proc/self/exe").string());

    ASSERT_EQ(createStartupShortcut(program, link), 1);
    const std::string content = dir.read("config/autostart/Vorlinex.desktop");
    EXPECT_EQ(content.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_EQ(valueOf(content, "Type"), "Application");
    EXPECT_EQ(valueOf(content, "Exec"), program);
    EXPECT_EQ(valueOf(content, "Path"), "<missing>");
    EXPECT_EQ(valueOf(content, "Name"), "Vorlinex");
}

TEST_F(ConfigHome, ASecondEntryReplacesTheFirstWhole) {
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    const std::string link = startupEntryPath();
    // An older, longer entry of someone else's making.
    std::filesystem::create_directories(dir.file("config/autostart"));
    dir.write("config/autostart/Vorlinex.desktop",
              "[Desktop Entry]\nType=Application\nExec=/old/place/vorlinex --with many arguments\nPath=/old\n"
              "Comment=a long comment that would survive a write that does not truncate\n");
    ASSERT_EQ(createStartupShortcut("/opt/vorlinex/bin/vorlinex", link), 1);
    ASSERT_EQ(createStartupShortcut("/opt/vorlinex/bin/vorlinex", link), 1);
    const std::string content = dir.read("config/autostart/Vorlinex.desktop");
    EXPECT_EQ(valueOf(content, "Exec"), "/opt/vorlinex/bin/vorlinex");
    EXPECT_EQ(valueOf(content, "Path"), "<missing>");
    EXPECT_EQ(valueOf(content, "Comment"), "<missing>");
    // Nothing is left beside it.
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("config/autostart"))) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
    struct stat info {};
    ASSERT_EQ(stat(link.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(ConfigHome, WithoutXdgConfigHomeTheEntryGoesUnderHome) {
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", dir.path().c_str(), 1);
    EXPECT_EQ(startupEntryPath(), dir.path() + "/.config/autostart/Vorlinex.desktop");
    // A relative XDG_CONFIG_HOME is not a base directory: it is ignored.
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(startupEntryPath(), dir.path() + "/.config/autostart/Vorlinex.desktop");
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(startupEntryPath(), dir.path() + "/.config/autostart/Vorlinex.desktop");
}

TEST_F(ConfigHome, AFolderThatCannotBeMadeFailsAndLeavesNothing) {
    dir.write("plain-file", "not a folder");
    setenv("XDG_CONFIG_HOME", dir.file("plain-file/config").c_str(), 1);
    EXPECT_EQ(createStartupShortcut("/usr/bin/vorlinex", startupEntryPath()), 0);
    EXPECT_EQ(dir.read("plain-file"), "not a folder");
    // No program path, no entry path, or a relative target: nothing is written.
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    EXPECT_EQ(createStartupShortcut("", startupEntryPath()), 0);
    EXPECT_EQ(createStartupShortcut("/usr/bin/vorlinex", ""), 0);
    EXPECT_EQ(createStartupShortcut("vorlinex", startupEntryPath()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.file("config/autostart/Vorlinex.desktop")));
    // An entry path that is a folder cannot be replaced by a file.
    std::filesystem::create_directories(dir.file("config/autostart/Vorlinex.desktop"));
    EXPECT_EQ(createStartupShortcut("/usr/bin/vorlinex", startupEntryPath()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("config/autostart/Vorlinex.desktop")));
}

TEST(DesktopExec, PathsWithReservedCharactersAreQuotedAndEscaped) {
    struct Case {
        const char* path;
        const char* exec;
    };
    const Case cases[] = {
        {"/usr/bin/vorlinex", "/usr/bin/vorlinex"},
        {"/home/a b/vorlinex", "\"/home/a b/vorlinex\""},
        {"/opt/100%/vorlinex", "/opt/100%%/vorlinex"},
        {"/opt/$x/vor\"linex", "\"/opt/\\\\$x/vor\\\\\"linex\""},
        {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\""},
    };
    for (const Case& c : cases) EXPECT_EQ(desktopExecValue(c.path), c.exec) << c.path;
}

}  // namespace

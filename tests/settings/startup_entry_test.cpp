// The autostart entry written by "登録", in real folders.
#include "settings/startup_entry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/pty_cable.h"

namespace {

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
    // An older, longer entry of someone else's making: nothing of it may survive.
    std::filesystem::create_directories(dir.file("config/autostart"));
    dir.write("config/autostart/Vorlinex.desktop",
              "[Desktop Entry]\nExec=/old/vorlinex --many arguments\nPath=/old\nComment=would survive a short write\n");
    ASSERT_EQ(createStartupShortcut(program, link), 1);
    const std::string content = dir.read("config/autostart/Vorlinex.desktop");
    EXPECT_EQ(content.rfind("[Desktop Entry]\n", 0), 0u);
    for (const std::string& line : {std::string("Type=Application"), "Exec=" + desktopExecValue(program), std::string("Name=Vorlinex")})
        EXPECT_NE(content.find("\n" + line + "\n"), std::string::npos) << line;
    EXPECT_EQ(content.find("/old"), std::string::npos);
    EXPECT_EQ(content.find("Comment"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("config/autostart")), {}), 1);
    EXPECT_EQ(desktopExecValue("/opt/a b/100%"), "\"/opt/a b/100%%\"");
    EXPECT_EQ(createStartupShortcut("vorlinex", link), 0) << "a relative program path";
}

}  // namespace

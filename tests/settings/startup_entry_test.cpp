// The autostart entry written by "登録", in real folders.
#include "settings/startup_entry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/pty_cable.h"

namespace {

// The entry names this program; where it goes, its content and the older entry it replaces are
// the option dialog's "登録" case. Once an upgrade replaced the binary, its link leads to no file
// (it reads "<path> (deleted)") and starts nothing; a file that really has such a name is fine.
// A relative path, a path that is not UTF-8, or one holding a control character no key-file
// escape covers, cannot be written into an entry.
TEST(StartupEntry, AReplacedProgramOrAnUnwritablePathGetsNoEntry) {
    ScratchDir dir;
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    EXPECT_EQ(programPath(), std::filesystem::canonical("/proc/self/exe").string());
    for (const std::string name : {"vorlinex", "vorlinex (deleted)"}) {
        dir.write(name, "");
        std::filesystem::create_symlink(dir.file(name), dir.file("exe"));
        EXPECT_EQ(programPath(dir.file("exe").c_str()), dir.file(name));
        std::filesystem::remove(dir.file(name));
        EXPECT_EQ(programPath(dir.file("exe").c_str()), "") << name;
        std::filesystem::remove(dir.file("exe"));
    }
    for (const std::string path : {"/opt/\xff\xfe", "/opt/\xc0\xaf", "/opt/\xed\xa0\x80", "/opt/\xe6\x97", "/opt/a\x01", "vorlinex"})
        EXPECT_EQ(createStartupShortcut(path, startupEntryPath()), 0) << path;
    EXPECT_FALSE(std::filesystem::exists(startupEntryPath()));
    EXPECT_EQ(desktopExecValue("/opt/\xe6\x97\xa5 x\n"), "\"/opt/\xe6\x97\xa5 x\\n\"");
    EXPECT_EQ(desktopExecValue("/opt/a b/100%"), "\"/opt/a b/100%%\"");
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace

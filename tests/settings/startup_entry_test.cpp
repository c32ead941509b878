// The autostart entry written by "登録", in real folders.
#include "settings/startup_entry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/pty_cable.h"

namespace {

// The entry names this program; where it goes, its content and the older entry it replaces are
// the option dialog's "登録" case. An upgrade replaces the running binary:
// its link then reads "<path> (deleted)", which starts nothing; a file that really has such a
// name is fine. A relative path, a path that is not UTF-8, or one holding a control character
// no key-file escape covers, cannot be written into an entry.
TEST(StartupEntry, AReplacedProgramOrAnUnwritablePathGetsNoEntry) {
    ScratchDir dir;
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    EXPECT_EQ(programPath(), std::filesystem::canonical("/proc/self/exe").string());
    for (const std::string name : {"vorlinex", "vorlinex (deleted)"}) {
        const std::string copy = dir.file(name);
        std::filesystem::copy_file("/bin/sleep", copy);
        char arg0[] = "sleep", arg1[] = "30";
        char* argv[] = {arg0, arg1, nullptr};
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, copy.c_str(), nullptr, nullptr, argv, environ), 0);
        const std::string link = "/proc/" + std::to_string(child) + "/exe";
        for (int i = 0; i < 500 && std::filesystem::read_symlink(link) != copy; ++i) usleep(10000);
        EXPECT_EQ(programPath(link.c_str()), copy);
        std::filesystem::remove(copy);
        EXPECT_EQ(programPath(link.c_str()), "") << std::filesystem::read_symlink(link);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    for (const std::string path : {"/opt/\xff\xfe", "/opt/\xc0\xaf", "/opt/\xed\xa0\x80", "/opt/\xe6\x97", "/opt/a\x01"}) {
        EXPECT_EQ(desktopExecValue(path), "") << path;
        EXPECT_EQ(createStartupShortcut(path, startupEntryPath()), 0) << path;
    }
    EXPECT_EQ(createStartupShortcut("vorlinex", startupEntryPath()), 0) << "a relative program path";
    EXPECT_FALSE(std::filesystem::exists(startupEntryPath()));
    EXPECT_EQ(desktopExecValue("/opt/\xe6\x97\xa5 x\n"), "\"/opt/\xe6\x97\xa5 x\\n\"");
    EXPECT_EQ(desktopExecValue("/opt/a b/100%"), "\"/opt/a b/100%%\"");
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace

// What the devices window learns of a device without opening it, on real pseudo-terminals, and
// the autostart entry written by "登録", in real folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "settings/serial_devices.h"
#include "settings/startup_entry.h"
#include "tests/support/device_holder.h"
#include "tests/support/pty_cable.h"

namespace {

TEST(SerialDevices, ByIdLinkIsTheStablePathAndAnotherProgramsLockShows) {
    ScratchDir dir;
    PtyCable named, unnamed;
    std::filesystem::create_directory(dir.file("by-id"));
    const std::string link = dir.file("by-id/usb-FTDI_FT232R_A12345-if00-port0");
    std::filesystem::create_symlink(named.slavePath(), link);
    EXPECT_EQ(stableDevicePath(named.slavePath(), dir.file("by-id")), link);
    EXPECT_EQ(stableDevicePath(unnamed.slavePath(), dir.file("by-id")), unnamed.slavePath());

    // This program's own hold does not count, nor that of a same-numbered terminal of another
    // devpts instance (a container's); another's does, until it lets go.
    std::optional<DeviceHolder> twin;
    if (::geteuid() == 0) twin.emplace(named.slavePath(), DeviceHolder::SameNumberInAnotherInstance, "vorlinex");
    const int own = ::open(named.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(own, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(heldByAnotherProgram(named.slavePath()));
    ::close(own);
    DeviceHolder minicom(unnamed.slavePath(), DeviceHolder::Locked, "minicom");
    EXPECT_TRUE(heldByAnotherProgram(unnamed.slavePath()));
    EXPECT_FALSE(heldByAnotherProgram(named.slavePath()));
    minicom.release();
    EXPECT_FALSE(heldByAnotherProgram(unnamed.slavePath()));
}

// The entry names this program; where it goes, what it holds and the older entry it replaces are
// the option dialog's "登録" case. A replaced binary's link reads "<path> (deleted)" and leads to
// no file, so it gets no entry; a file that really has such a name is fine. Nor does a relative
// path, one that is not UTF-8, or one holding a control character no key-file escape covers.
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
        EXPECT_EQ(createStartupShortcut(path, startupEntryPath()).status, StartupEntryStatus::UnwritableTarget) << path;
    EXPECT_FALSE(std::filesystem::exists(startupEntryPath()));
    EXPECT_EQ(desktopExecValue("/opt/\xe6\x97\xa5 x\n"), "\"/opt/\xe6\x97\xa5 x\\n\"");
    EXPECT_EQ(desktopExecValue("/opt/a b/100%"), "\"/opt/a b/100%%\"");
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace

// What the devices window learns of a device without opening it, on real pseudo-terminals.
#include "settings/serial_devices.h"

#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

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

    // This program's own hold does not count; another's does, until it lets go.
    const int own = ::open(named.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(own, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(heldByAnotherProgram(named.slavePath()));
    ::close(own);
    const pid_t child = ::fork();
    if (child == 0) {
        ::flock(::open(unnamed.slavePath().c_str(), O_RDWR | O_NOCTTY), LOCK_EX | LOCK_NB);
        ::pause();
    }
    bool held = false;
    for (int i = 0; i < 500 && !(held = heldByAnotherProgram(unnamed.slavePath())); ++i) ::usleep(10000);
    EXPECT_TRUE(held);
    EXPECT_FALSE(heldByAnotherProgram(named.slavePath()));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(heldByAnotherProgram(unnamed.slavePath()));
}

}  // namespace

// What the devices window learns of a device without opening it, on real pseudo-terminals.
#include "settings/serial_devices.h"

#include <fcntl.h>
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
    ASSERT_GE(own, 0);
    ASSERT_EQ(::flock(own, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(heldByAnotherProgram(named.slavePath()));
    ::close(own);
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(unnamed.slavePath().c_str(), O_RDWR | O_NOCTTY);
        ::flock(fd, LOCK_EX | LOCK_NB);
        char c = 1;
        (void)!::write(ready[1], &c, 1);
        (void)!::read(release[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_TRUE(heldByAnotherProgram(unnamed.slavePath()));
    EXPECT_FALSE(heldByAnotherProgram(named.slavePath()));
    (void)!::write(release[1], &c, 1);
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(heldByAnotherProgram(unnamed.slavePath()));
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

}  // namespace

// Settings on the system's own things, in real folders: Vorlinex.ini and the autostart entry over
// links, read-only files, other owners' files and a full disk; devices learnt without opening them.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "settings/config.h"
#include "settings/serial_devices.h"
#include "settings/startup_entry.h"
#include "shell/message_catalogue.h"
#include "tests/support/device_holder.h"
#include "tests/support/pty_cable.h"

namespace fs = std::filesystem;

namespace {

size_t filesIn(const std::string& folder) { return std::distance(fs::directory_iterator(folder), fs::directory_iterator()); }

const std::array<std::string, 6> kPaths = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyS2",
                                           "/dev/ttyS3",   "/dev/ttyS4",   "/dev/ttyS5"};

// SAVE and DEVICES > OK write through a link whose file does not exist yet, as through one whose
// file does: the file is made where the link points (relative to the link's folder, over a chain
// of links) and the link stays. A link that leads round in a circle is an error, not a new file.
TEST(SettingsFile, ALinkIsFollowedAlsoWhenItsFileDoesNotExistYet) {
    ScratchDir dir;
    fs::create_directory(dir.file("real"));
    fs::create_symlink("real/hop", dir.file("Vorlinex.ini"));
    fs::create_symlink("settings.ini", dir.file("real/hop"));
    Config config = loadConfig();
    config.port1.baudRate = 115200;
    ASSERT_TRUE(saveConfig(config).saved);
    EXPECT_TRUE(fs::is_symlink(dir.file("Vorlinex.ini")) && fs::is_symlink(dir.file("real/hop")));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.file("real/settings.ini"))));
    EXPECT_EQ(loadConfig().port1.baudRate, 115200);

    fs::remove(dir.file("real/settings.ini"));
    ASSERT_TRUE(saveDevicePaths(kPaths).saved);
    EXPECT_TRUE(fs::is_symlink(dir.file("Vorlinex.ini")));
    EXPECT_NE(dir.read("real/settings.ini").find(devicesSection(kPaths)), std::string::npos);

    fs::remove(dir.file("real/hop"));
    fs::create_symlink("../Vorlinex.ini", dir.file("real/hop"));
    const ConfigSaveResult circle = saveConfig(config);
    EXPECT_TRUE(!circle.saved && circle.reason == std::strerror(ELOOP)) << circle.reason;
    EXPECT_TRUE(fs::is_symlink(dir.file("Vorlinex.ini")) && fs::is_symlink(dir.file("real/hop")));
    EXPECT_EQ(filesIn(dir.file("real")), 2u);  // the link and the file: no temporary one
}

// Foreign lines survive a SAVE byte for byte (an added key goes after its section's last line not
// blank, a comment too); eight-bit fields wrap. A full disk (a file-size limit here) refuses the save
// and leaves the file whole. A replaced file keeps its mode, owner and group; another user's is refused.
TEST(SettingsFile, ForeignLinesSurviveAFullDiskLeavesTheFileWholeAndAReplacedOneKeepsItsOwner) {
    ScratchDir dir;
    const std::string foreign = "; by hand\n[Other Program]\nWindow=10,20\nBig=" + std::string(1 << 20, 'Z') + "\n" +
                                std::string("\0\xFF\x01\xFE", 4) + "\n\n";
    const std::string old = foreign + "[data1]\n  com = 4   \nBIT=264\nPARI=-1\n  ; keep me\n\n" +
                            devicesSection(kPaths) + "[DATA]\nRATE=9";
    dir.write("Vorlinex.ini", old);
    Config config = loadConfig();
    EXPECT_TRUE(config.comDevicePaths == kPaths && config.port1.comIndex == 4);
    config.port1.comIndex = 2;
    std::vector<BoxRequest> boxes;
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small = {64 * 1024, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    reportConfigSave([&boxes](const BoxRequest& r) { boxes.push_back(r); }, saveConfig(config));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, handler);
    EXPECT_TRUE(dir.read("Vorlinex.ini") == old);
    EXPECT_EQ(filesIn(dir.path()), 1u) << "a temporary file was left";
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Configuration Data Save Error: " + dir.file("Vorlinex.ini") + ": " + std::strerror(EFBIG));
    EXPECT_TRUE(boxes[0].icon == BoxIcon::Error && boxes[0].owner == BoxOwner::MainWindow);
    const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
    const gid_t group = ::geteuid() == 0 ? 65534 : ::getegid();
    ASSERT_EQ(::chmod(dir.file("Vorlinex.ini").c_str(), 0640) + ::chown(dir.file("Vorlinex.ini").c_str(), owner, group), 0);
    ASSERT_TRUE(saveConfig(config).saved);
    struct stat replaced {};
    ASSERT_EQ(::stat(dir.file("Vorlinex.ini").c_str(), &replaced), 0);
    EXPECT_TRUE((replaced.st_mode & 07777) == 0640 && replaced.st_uid == owner && replaced.st_gid == group)
        << std::oct << replaced.st_mode << std::dec << " " << replaced.st_uid << ":" << replaced.st_gid;
    const std::string mine = foreign + "[data1]\n  com = 2\nBIT=8\nPARI=255\n  ; keep me\nBPS=0\nSTOP=0\nFLOW=0\n\n" +
                             devicesSection(kPaths) + "[DATA]\nRATE=9\nDMODE=0\nCRLF=0\nDATETIME=0\nDATETIMEVAL=0\n" +
                             "[DATA2]\nCOM=0\nBPS=0\nBIT=0\nPARI=0\nSTOP=0\nFLOW=0\n";
    EXPECT_EQ(dir.read("Vorlinex.ini"), mine);

    // In a folder everyone may write the rename would succeed, but the file is not theirs to replace.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir.file("Vorlinex.ini").c_str(), 0644), 0);  // theirs to read, not to write
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65533) != 0 || ::setuid(65533) != 0) ::_exit(3);
        const ConfigSaveResult result = saveConfig(loadConfig());
        ::_exit(result.saved ? 0 : result.reason == std::strerror(EACCES) ? 1 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(dir.read("Vorlinex.ini"), mine);
    EXPECT_TRUE(::stat(dir.file("Vorlinex.ini").c_str(), &replaced) == 0 && replaced.st_uid == owner);
    EXPECT_EQ(filesIn(dir.path()), 1u);
}

// "登録" writes its entry as SAVE writes the settings, over an older one but never a read-only one,
// a refusal saying where and why. A replaced binary's link ("<path> (deleted)") gets no entry, nor a
// path not UTF-8 or with a control character no escape covers; a file really so named does.
TEST(StartupEntry, IsWrittenLikeTheSettingsFileAndAReplacedProgramOrAnUnwritablePathGetsNoEntry) {
    ScratchDir dir;
    const std::string entry = dir.file("Vorlinex.desktop");
    dir.write("Vorlinex.desktop", "[Desktop Entry]\nExec=/old/vorlinex --many arguments\nPath=/old\nComment=x\n");
    StartupEntryResult result = createStartupShortcut("/opt/vorlinex/bin/vorlinex", entry);
    ASSERT_TRUE(result.saved()) << std::strerror(result.systemError);
    const std::string written = dir.read("Vorlinex.desktop");
    EXPECT_EQ(written,
              "[Desktop Entry]\nType=Application\nName=Vorlinex\nExec=/opt/vorlinex/bin/vorlinex\nTerminal=false\n");
    ASSERT_EQ(::chmod(entry.c_str(), 0444), 0);
    result = createStartupShortcut("/usr/bin/vorlinex", entry);
    EXPECT_TRUE(result.status == StartupEntryStatus::SystemError && result.systemError == EACCES) << result.systemError;
    EXPECT_EQ(result.path, entry);
    EXPECT_EQ(dir.read("Vorlinex.desktop"), written);
    EXPECT_EQ(filesIn(dir.path()), 1u);
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    EXPECT_EQ(programPath(), fs::canonical("/proc/self/exe").string());  // the entry names this program
    for (const std::string name : {"vorlinex", "vorlinex (deleted)"}) {
        dir.write(name, "");
        fs::create_symlink(dir.file(name), dir.file("exe"));
        EXPECT_EQ(programPath(dir.file("exe").c_str()), dir.file(name));
        fs::remove(dir.file(name));
        EXPECT_EQ(programPath(dir.file("exe").c_str()), "") << name;
        fs::remove(dir.file("exe"));
    }
    for (const std::string path : {"/opt/\xff\xfe", "/opt/\xc0\xaf", "/opt/\xed\xa0\x80", "/opt/\xe6\x97", "/opt/a\x01"})
        EXPECT_EQ(createStartupShortcut(path, startupEntryPath()).status, StartupEntryStatus::UnwritableTarget) << path;
    EXPECT_FALSE(fs::exists(startupEntryPath()));
    EXPECT_EQ(desktopExecValue("/opt/\xe6\x97\xa5 x\n"), "\"/opt/\xe6\x97\xa5 x\\n\"");
    EXPECT_EQ(desktopExecValue("/opt/a b/100%"), "\"/opt/a b/100%%\"");
    unsetenv("XDG_CONFIG_HOME");
}

TEST(SerialDevices, ByIdLinkIsTheStablePathAndAnotherProgramsLockShows) {
    ScratchDir dir;
    PtyCable named, unnamed;
    fs::create_directory(dir.file("by-id"));
    const std::string link = dir.file("by-id/usb-FTDI_FT232R_A12345-if00-port0");
    fs::create_symlink(named.slavePath(), link);
    EXPECT_EQ(stableDevicePath(named.slavePath(), dir.file("by-id")), link);
    EXPECT_EQ(stableDevicePath(unnamed.slavePath(), dir.file("by-id")), unnamed.slavePath());

    // This program's own hold does not count, nor that of a same-numbered terminal of another
    // devpts instance (a container's); another's does, until it lets go.
    std::optional<DeviceHolder> twin;
    if (::geteuid() == 0) twin.emplace(named.slavePath(), DeviceHolder::SameNumberInAnotherInstance, "vorlinex");
    const int own = ::open(named.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(own, LOCK_EX | LOCK_NB), 0);
    DeviceHolder minicom(unnamed.slavePath(), DeviceHolder::Locked, "minicom");
    EXPECT_TRUE(heldByAnotherProgram(unnamed.slavePath()));
    EXPECT_FALSE(heldByAnotherProgram(named.slavePath()));
    ::close(own);
    minicom.release();
    EXPECT_FALSE(heldByAnotherProgram(unnamed.slavePath()));
}


}  // namespace

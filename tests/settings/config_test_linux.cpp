// loadConfig and saveConfig on real Vorlinex.ini files in a scratch current directory: a file
// keeps its own line ends here, and a file-size limit stands for a full disk.
#include "settings/config.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>

#include "settings/private_profile.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace {

// COM1..COM6 are 0..5: the edges are kept, one past either takes the port's default and is told.
TEST(ConfigFile, AComIndexPastEitherEndTakesItsPortsDefaultAndIsTold) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", "[DATA1]\r\nCOM=6\r\n[DATA2]\r\nCOM=-1\r\n");
    std::vector<ComOutOfRange> outOfRange;
    Config config = loadConfig(&outOfRange);
    ASSERT_EQ(outOfRange.size(), 2u);
    EXPECT_TRUE(outOfRange[0].port == 1 && outOfRange[0].value == 6 && outOfRange[0].line == 2 && outOfRange[0].used == 0);
    EXPECT_TRUE(outOfRange[1].port == 2 && outOfRange[1].value == -1 && outOfRange[1].line == 4 && outOfRange[1].used == 1);
    EXPECT_TRUE(config.port1.comIndex == 0 && config.port2.comIndex == 1);
    dir.write("Vorlinex.ini", "[DATA1]\r\nCOM=5\r\n[DATA2]\r\nCOM=0\r\n");
    outOfRange.clear();
    config = loadConfig(&outOfRange);
    EXPECT_TRUE(outOfRange.empty() && config.port1.comIndex == 5 && config.port2.comIndex == 0);
}

// Both writers write the defaults to a new file; values at their extremes round-trip; missing keys
// read as zero, eight-bit fields wrap, foreign lines survive, an added key goes after its section's
// last line that is not blank (a comment too); a refused save says why and leaves the file whole.
TEST(ConfigFile, DefaultsRoundTripsForeignLinesAndAFullDisk) {
    ScratchDir dir;
    std::vector<BoxRequest> boxes;
    const BoxFunction record = [&boxes](const BoxRequest& r) { boxes.push_back(r); };
    Config config = loadConfig();
    EXPECT_FALSE(std::filesystem::exists(dir.file("Vorlinex.ini")));
    reportConfigSave(record, saveConfig(config));
    const std::string defaults =
        "[DATA1]\r\nCOM=0\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
        "[DATA2]\r\nCOM=1\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
        "[DATA]\r\nRATE=5\r\nDMODE=0\r\nCRLF=0\r\nDATETIME=0\r\nDATETIMEVAL=60\r\n";
    EXPECT_EQ(dir.read("Vorlinex.ini"), defaults);
    const std::array<std::string, 6> paths = {"/dev/ttyUSB0", "/dev/serial/by-id/usb-x", "/dev/ttyS2", "/dev/ttyS3", "/dev/ttyS4", "/dev/ttyS5"};
    const std::string devices = devicesSection(paths);
    std::filesystem::remove(dir.file("Vorlinex.ini"));
    ASSERT_TRUE(saveDevicePaths(paths).saved);
    EXPECT_EQ(dir.read("Vorlinex.ini"), defaults + devices);

    const std::string file =
        "[DATA1]\r\nCOM=5\r\nBPS=2147483647\r\nBIT=255\r\nPARI=2\r\nSTOP=1\r\nFLOW=-2147483648\r\n"
        "[DATA2]\r\nCOM=0\r\nBPS=2000\r\nBIT=6\r\nPARI=128\r\nSTOP=2\r\nFLOW=4\r\n"
        "[DATA]\r\nRATE=60\r\nDMODE=1\r\nCRLF=-2\r\nDATETIME=1\r\nDATETIMEVAL=3600";
    dir.write("Vorlinex.ini", file);
    ASSERT_TRUE(saveConfig(loadConfig()).saved);
    EXPECT_EQ(dir.read("Vorlinex.ini"), file);
    ASSERT_TRUE(saveDevicePaths(paths).saved);
    EXPECT_EQ(dir.read("Vorlinex.ini"), file + "\r\n" + devices);

    const std::string foreign = "; by hand\n[Other Program]\nWindow=10,20\nBig=" + std::string(1 << 20, 'Z') +
                                "\n" + std::string("\0\xFF\x01\xFE", 4) + "\n\n";
    const std::string old = foreign + "[data1]\n  com = 4   \nBIT=264\nPARI=-1\n  ; keep me\n\n" + devices + "[DATA]\nRATE=9";
    dir.write("Vorlinex.ini", old);
    config = loadConfig();
    EXPECT_TRUE(config.comDevicePaths == paths && config.port1.comIndex == 4);
    config.port1.comIndex = 2;
    const auto handler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small = {64 * 1024, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    reportConfigSave(record, saveConfig(config));
    ::setrlimit(RLIMIT_FSIZE, &saved), ::signal(SIGXFSZ, handler);
    EXPECT_TRUE(dir.read("Vorlinex.ini") == old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "a temporary file was left";

    reportConfigSave(record, saveConfig(config));
    EXPECT_EQ(dir.read("Vorlinex.ini"),
              foreign + "[data1]\n  com = 2\nBIT=8\nPARI=255\n  ; keep me\nBPS=0\nSTOP=0\nFLOW=0\n\n" + devices +
                  "[DATA]\nRATE=9\nDMODE=0\nCRLF=0\nDATETIME=0\nDATETIMEVAL=0\n"
                  "[DATA2]\nCOM=0\nBPS=0\nBIT=0\nPARI=0\nSTOP=0\nFLOW=0\n");
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_TRUE(boxes[0].text == "Configuration Data Saved" && boxes[0].icon == BoxIcon::Information && boxes[0].owner == BoxOwner::MainWindow);
    EXPECT_EQ(boxes[1].text, "Configuration Data Save Error: " + dir.file("Vorlinex.ini") + ": " + std::strerror(EFBIG));
    EXPECT_TRUE(boxes[1].icon == BoxIcon::Error && boxes[1].owner == BoxOwner::MainWindow);
}

}  // namespace

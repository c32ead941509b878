// loadConfig and saveConfig on real Vorlinex.ini files in a scratch current directory.
#include "settings/config.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>
#include <filesystem>
#include <vector>

#include "relay/serial_port.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace {

struct BoxRecorder {
    std::vector<BoxRequest> boxes;
    BoxRecorder() {
        setBoxFunction([this](const BoxRequest& r) { boxes.push_back(r); });
    }
    ~BoxRecorder() { setBoxFunction(nullptr); }
};

const char* kDefaultFile =
    "[DATA1]\r\nCOM=0\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
    "[DATA2]\r\nCOM=1\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
    "[DATA]\r\nRATE=5\r\nDMODE=0\r\nCRLF=0\r\nDATETIME=0\r\nDATETIMEVAL=60\r\n";

// The seventeen stored values, in the order of the file: DATA1, DATA2, DATA.
using Snapshot = std::array<int64_t, 17>;

Snapshot snapshot() {
    Snapshot v{};
    size_t i = 0;
    for (const SerialPort* port : {&serialPort1, &serialPort2}) {
        const PortSettings& s = port->settings;
        for (int64_t x : {int64_t{s.comIndex}, int64_t{s.baudRate}, int64_t{s.dataBits},
                          int64_t{s.parity}, int64_t{s.stopBits}, int64_t{s.flowControl}}) {
            v[i++] = x;
        }
    }
    for (auto* option : {&appOptions.RATE, &appOptions.DMODE, &appOptions.CRLF,
                         &appOptions.DATETIME, &appOptions.DATETIMEVAL}) {
        v[i++] = option->load();
    }
    return v;
}

void restore(const Snapshot& v) {
    size_t i = 0;
    for (SerialPort* port : {&serialPort1, &serialPort2}) {
        PortSettings& s = port->settings;
        s.comIndex = static_cast<int32_t>(v[i++]);
        s.baudRate = static_cast<int32_t>(v[i++]);
        s.dataBits = static_cast<uint8_t>(v[i++]);
        s.parity = static_cast<uint8_t>(v[i++]);
        s.stopBits = static_cast<uint8_t>(v[i++]);
        s.flowControl = static_cast<int32_t>(v[i++]);
    }
    for (auto* option : {&appOptions.RATE, &appOptions.DMODE, &appOptions.CRLF,
                         &appOptions.DATETIME, &appOptions.DATETIMEVAL}) {
        option->store(static_cast<int32_t>(v[i++]));
    }
}

// Something other than the defaults, so that a load that did nothing shows.
const Snapshot kScribble{{3, 1, 2, 3, 4, 5, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}};

TEST(LoadConfig, MissingFileGivesTheDefaultsAndCreatesNothing) {
    ScratchDir dir;
    restore(kScribble);
    comDevicePaths[0] = "/somewhere/else";
    loadConfig();
    EXPECT_EQ(snapshot(), (Snapshot{{0, 9600, 8, 0, 0, 0, 1, 9600, 8, 0, 0, 0, 5, 0, 0, 0, 60}}));
    EXPECT_EQ(comDevicePaths[0], "/dev/ttyS0");
    EXPECT_FALSE(std::filesystem::exists(dir.file("Vorlinex.ini")));
    EXPECT_EQ(configPath(), dir.file("Vorlinex.ini"));
}

TEST(LoadConfig, OnlyTheCurrentDirectoryIsLookedIn) {
    ScratchDir other;
    other.write("Vorlinex.ini", "[DATA]\nRATE=33\n");
    ScratchDir dir;  // now the current directory
    loadConfig();
    EXPECT_EQ(appOptions.RATE.load(), 5);
}

TEST(LoadConfig, MissingKeysAndSectionsReadAsZero) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", "[DATA1]\nCOM=2\nBPS=115200\nBIT=264\nPARI=-1\nSTOP=513\n");
    restore(kScribble);
    loadConfig();
    EXPECT_EQ(snapshot(), (Snapshot{{2, 115200, 8, 255, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}));
}

TEST(LoadConfig, ValuesAreTakenAsReadWithoutRangeChecks) {
    ScratchDir dir;
    dir.write("Vorlinex.ini",
              "[data]\r\nrate=500\r\nDMode=7\r\nCRLF= 2x\r\nDATETIME=abc\r\nDATETIMEVAL=-30\r\n"
              "[DATA2]\r\nCOM=99\r\nBPS=4294967297\r\nFLOW=-4\r\n");
    loadConfig();
    EXPECT_EQ(appOptions.RATE.load(), 500);
    EXPECT_EQ(appOptions.DMODE.load(), 7);
    EXPECT_EQ(appOptions.CRLF.load(), 2);
    EXPECT_EQ(appOptions.DATETIME.load(), 0);
    EXPECT_EQ(appOptions.DATETIMEVAL.load(), -30);
    EXPECT_EQ(serialPort2.settings.comIndex, 99);
    EXPECT_EQ(serialPort2.settings.baudRate, 1);
    EXPECT_EQ(serialPort2.settings.flowControl, -4);
}

TEST(LoadConfig, DevicesSectionMapsPortsAndTheRestKeepTheirTtys) {
    ScratchDir dir;
    dir.write("Vorlinex.ini",
              "[DATA1]\r\nCOM=0\r\n[devices]\r\ncom2 = /dev/pts/77 \r\n"
              "COM5=\"/tmp/with space\"\r\nCOM6=\r\n");
    loadConfig();
    EXPECT_EQ(comDevicePaths[0], "/dev/ttyS0");
    EXPECT_EQ(comDevicePaths[1], "/dev/pts/77");
    EXPECT_EQ(comDevicePaths[4], "/tmp/with space");
    EXPECT_EQ(comDevicePaths[5], "/dev/ttyS5");
}

TEST(SaveConfig, FreshFileHoldsTheSeventeenKeysInOrder) {
    ScratchDir dir;
    BoxRecorder boxes;
    loadConfig();
    saveConfig();
    EXPECT_EQ(dir.read("Vorlinex.ini"), kDefaultFile);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "Configuration Data Saved");
    EXPECT_EQ(boxes.boxes[0].icon, BoxIcon::Information);
    EXPECT_EQ(boxes.boxes[0].owner, BoxOwner::MainWindow);
}

class RoundTrip : public ::testing::TestWithParam<Snapshot> {};

TEST_P(RoundTrip, LoadingGivesBackWhatWasSaved) {
    ScratchDir dir;
    BoxRecorder boxes;
    restore(GetParam());
    saveConfig();
    restore(kScribble);
    loadConfig();
    EXPECT_EQ(snapshot(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Values, RoundTrip,
    ::testing::Values(Snapshot{{0, 9600, 8, 0, 0, 0, 1, 9600, 8, 0, 0, 0, 5, 0, 0, 0, 60}},
                      Snapshot{{5, 460800, 5, 2, 2, 4, 4, 2000, 6, 1, 1, 3, 60, 1, 2, 1, 3600}},
                      Snapshot{{2, 50, 7, 0, 1, 1, 3, 3600, 8, 2, 0, 2, 1, 0, 1, 0, 1}},
                      // Extremes: negatives, the 32-bit limits and the full 8-bit range.
                      Snapshot{{-1, INT_MAX, 255, 255, 255, INT_MIN, INT_MIN, -9600, 0, 128, 1, -1,
                                -5, INT_MAX, -2, INT_MIN, -3600}}));

TEST(SaveConfig, EightBitFieldsWrapAsStored) {
    ScratchDir dir;
    BoxRecorder boxes;
    dir.write("Vorlinex.ini", "[DATA1]\r\nBIT=264\r\nPARI=-2\r\n");
    loadConfig();
    saveConfig();
    std::string text = dir.read("Vorlinex.ini");
    EXPECT_NE(text.find("BIT=8\r\nPARI=254\r\n"), std::string::npos) << text;
}

TEST(SaveConfig, ForeignLinesSurviveByteForByte) {
    ScratchDir dir;
    BoxRecorder boxes;
    std::string binary("\0\xFF\x01\xFE", 4);
    std::string before =
        "; written by hand\n"
        "[Other Program]\n"
        "Window=10,20\n" +
        binary +
        "\n"
        "\n"
        "[data1]\n"
        "  com = 4   \n"
        "  ; keep me\n"
        "Extra=yes\n"
        "\n" +
        devicesSection({"/dev/pts/9", "", "", "", "", ""}) +
        "[DATA]\n"
        "RATE=9";  // no final newline
    dir.write("Vorlinex.ini", before);
    loadConfig();
    EXPECT_EQ(serialPort1.settings.comIndex, 4);
    serialPort1.settings.comIndex = 2;
    saveConfig();
    std::string expected =
        "; written by hand\n"
        "[Other Program]\n"
        "Window=10,20\n" +
        binary +
        "\n"
        "\n"
        "[data1]\n"
        "  com = 2\n"
        "  ; keep me\n"
        "Extra=yes\n"
        "BPS=0\nBIT=0\nPARI=0\nSTOP=0\nFLOW=0\n"
        "\n" +
        devicesSection({"/dev/pts/9", "", "", "", "", ""}) +
        "[DATA]\n"
        "RATE=9\nDMODE=0\nCRLF=0\nDATETIME=0\nDATETIMEVAL=0\n"
        "[DATA2]\nCOM=0\nBPS=0\nBIT=0\nPARI=0\nSTOP=0\nFLOW=0\n";
    EXPECT_EQ(dir.read("Vorlinex.ini"), expected);
    EXPECT_EQ(boxes.boxes.at(0).text, "Configuration Data Saved");
}

TEST(SaveConfig, CrLfFileStaysCrLfAndMegabyteLinesSurvive) {
    ScratchDir dir;
    BoxRecorder boxes;
    std::string huge = "[BLOB]\r\nDATA=" + randomBytes(1 << 20, 3) + "\r\n";
    // Random bytes may hold line ends of their own; what matters is that all of them stay.
    dir.write("Vorlinex.ini", huge + "[DATA]\r\nRATE=2\r\n");
    loadConfig();
    saveConfig();
    std::string after = dir.read("Vorlinex.ini");
    ASSERT_GT(after.size(), huge.size());
    EXPECT_TRUE(after.compare(0, huge.size(), huge) == 0);
    EXPECT_NE(after.find("[DATA]\r\nRATE=2\r\nDMODE=0\r\n"), std::string::npos);
    EXPECT_NE(after.find("[DATA1]\r\nCOM=0\r\n"), std::string::npos);
}

TEST(SaveConfig, LongCurrentDirectoryWorks) {
    ScratchDir dir;
    std::string deep = dir.path();
    while (deep.size() < 600) deep += "/a-rather-long-folder-name-for-the-test";
    std::filesystem::create_directories(deep);
    std::filesystem::current_path(deep);
    BoxRecorder boxes;
    EXPECT_EQ(configPath(), deep + "/Vorlinex.ini");
    loadConfig();
    appOptions.RATE = 42;
    saveConfig();
    appOptions.RATE = 0;
    loadConfig();
    EXPECT_EQ(appOptions.RATE.load(), 42);
    std::filesystem::current_path(dir.path());
}

// A save that cannot write says why, in an error box naming the file, and never in the
// "Saved" box.
void expectErrorBox(const BoxRecorder& boxes, const std::string& path, int err) {
    ASSERT_EQ(boxes.boxes.size(), 1u);
    const BoxRequest& box = boxes.boxes[0];
    EXPECT_EQ(box.icon, BoxIcon::Error);
    EXPECT_EQ(box.owner, BoxOwner::MainWindow);
    EXPECT_EQ(box.text, "Configuration Data Save Error: " + path + ": " + std::strerror(err));
}

TEST(SaveConfigFailure, PathTakenByAFolder) {
    ScratchDir dir;
    BoxRecorder boxes;
    std::filesystem::create_directory(dir.file("Vorlinex.ini"));
    dir.write("Vorlinex.ini/inside", "keep");
    loadConfig();  // a folder is no file: the defaults apply
    EXPECT_EQ(appOptions.RATE.load(), 5);
    saveConfig();
    expectErrorBox(boxes, dir.file("Vorlinex.ini"), EISDIR);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("Vorlinex.ini")));
    EXPECT_EQ(dir.read("Vorlinex.ini/inside"), "keep");
}

TEST(SaveConfigFailure, CurrentDirectoryRemoved) {
    ScratchDir dir;
    BoxRecorder boxes;
    std::filesystem::create_directory(dir.file("gone"));
    std::filesystem::current_path(dir.file("gone"));
    std::filesystem::remove(dir.file("gone"));
    loadConfig();
    saveConfig();
    expectErrorBox(boxes, configPath(), ENOENT);
    std::filesystem::current_path(dir.path());
    EXPECT_FALSE(std::filesystem::exists(dir.file("Vorlinex.ini")));
}

TEST(SaveConfigFailure, DiskFullLeavesTheOldFileWhole) {
    ScratchDir dir;
    BoxRecorder boxes;
    // An old file larger than the process may now write: the new one cannot be written whole,
    // as on a full disk.
    std::string old = "[KEEP]\r\nX=" + std::string(256 * 1024, 'k') + "\r\n[DATA]\r\nRATE=7\r\n";
    dir.write("Vorlinex.ini", old);
    loadConfig();
    appOptions.RATE = 9;
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    saveConfig();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    expectErrorBox(boxes, dir.file("Vorlinex.ini"), EFBIG);
    EXPECT_TRUE(dir.read("Vorlinex.ini") == old);
    int files = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
    EXPECT_EQ(files, 1) << "a temporary file was left behind";
}

}  // namespace

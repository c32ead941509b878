// loadConfig and saveConfig on real Vorlinex.ini files in a scratch current directory.
#include "settings/config.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <array>
#include <climits>
#include <cstring>
#include <filesystem>
#include <vector>

#include "relay/serial_port.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace {

// The seventeen stored values, in the order of the file: DATA1, DATA2, DATA.
using Snapshot = std::array<int64_t, 17>;

Snapshot snapshot() {
    Snapshot v{};
    size_t i = 0;
    for (const SerialPort* port : {&serialPort1, &serialPort2}) {
        const PortSettings& s = port->settings;
        for (int64_t x : {int64_t{s.comIndex}, int64_t{s.baudRate}, int64_t{s.dataBits}, int64_t{s.parity},
                          int64_t{s.stopBits}, int64_t{s.flowControl}})
            v[i++] = x;
    }
    for (auto* o : {&appOptions.RATE, &appOptions.DMODE, &appOptions.CRLF, &appOptions.DATETIME, &appOptions.DATETIMEVAL})
        v[i++] = o->load();
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
    for (auto* o : {&appOptions.RATE, &appOptions.DMODE, &appOptions.CRLF, &appOptions.DATETIME, &appOptions.DATETIMEVAL})
        o->store(static_cast<int32_t>(v[i++]));
}

// Something other than the defaults, so that a load that did nothing shows.
const Snapshot kScribble{{3, 1, 2, 3, 4, 5, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}};

class Config : public ::testing::Test {
protected:
    void SetUp() override {
        setBoxFunction([this](const BoxRequest& r) { boxes.push_back(r); });
        restore(kScribble);
    }
    void TearDown() override { setBoxFunction(nullptr); }
    void expectOneBox(BoxIcon icon, const std::string& text) {
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].icon, icon);
        EXPECT_EQ(boxes[0].owner, BoxOwner::MainWindow);
        EXPECT_EQ(boxes[0].text, text);
    }
    ScratchDir dir;
    std::vector<BoxRequest> boxes;
};

TEST_F(Config, MissingFileGivesTheDefaultsCreatesNothingAndSavesInKeyOrder) {
    comDevicePaths[0] = "/somewhere/else";
    loadConfig();
    EXPECT_EQ(snapshot(), (Snapshot{{0, 9600, 8, 0, 0, 0, 1, 9600, 8, 0, 0, 0, 5, 0, 0, 0, 60}}));
    EXPECT_EQ(comDevicePaths[0], "/dev/ttyS0");
    EXPECT_FALSE(std::filesystem::exists(dir.file("Vorlinex.ini")));
    saveConfig();
    EXPECT_EQ(dir.read("Vorlinex.ini"),
              "[DATA1]\r\nCOM=0\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
              "[DATA2]\r\nCOM=1\r\nBPS=9600\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n"
              "[DATA]\r\nRATE=5\r\nDMODE=0\r\nCRLF=0\r\nDATETIME=0\r\nDATETIMEVAL=60\r\n");
    expectOneBox(BoxIcon::Information, "Configuration Data Saved");
}

TEST_F(Config, MissingKeysReadAsZeroAndEightBitFieldsKeepTheLowBits) {
    dir.write("Vorlinex.ini", "[DATA1]\nCOM=2\nBPS=115200\nBIT=264\nPARI=-1\nSTOP=513\n"
                              "[devices]\ncom2 = /dev/pts/77 \nCOM5=\"/tmp/with space\"\nCOM6=\n");
    loadConfig();
    EXPECT_EQ(snapshot(), (Snapshot{{2, 115200, 8, 255, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(comDevicePaths[1], "/dev/pts/77");
    EXPECT_EQ(comDevicePaths[4], "/tmp/with space");
    EXPECT_EQ(comDevicePaths[5], "/dev/ttyS5");
}

TEST_F(Config, LoadingGivesBackWhatWasSaved) {
    const Snapshot cases[] = {
        {{5, 460800, 5, 2, 2, 4, 4, 2000, 6, 1, 1, 3, 60, 1, 2, 1, 3600}},
        {{-1, INT_MAX, 255, 255, 255, INT_MIN, INT_MIN, -9600, 0, 128, 1, -1, -5, INT_MAX, -2, INT_MIN, -3600}},
    };
    for (const Snapshot& c : cases) {
        restore(c);
        saveConfig();
        restore(kScribble);
        loadConfig();
        EXPECT_EQ(snapshot(), c);
    }
}

TEST_F(Config, ForeignLinesSurviveByteForByte) {
    const std::string foreign = "; by hand\n[Other Program]\nWindow=10,20\n" + std::string("\0\xFF\x01\xFE", 4) + "\n\n";
    const std::string devices = devicesSection({"/dev/pts/9", "", "", "", "", ""});
    dir.write("Vorlinex.ini", foreign + "[data1]\n  com = 4   \n  ; keep me\nExtra=yes\n\n" + devices + "[DATA]\nRATE=9");
    loadConfig();
    EXPECT_EQ(serialPort1.settings.comIndex, 4);
    serialPort1.settings.comIndex = 2;
    saveConfig();
    EXPECT_EQ(dir.read("Vorlinex.ini"),
              foreign + "[data1]\n  com = 2\n  ; keep me\nExtra=yes\nBPS=0\nBIT=0\nPARI=0\nSTOP=0\nFLOW=0\n\n" + devices +
                  "[DATA]\nRATE=9\nDMODE=0\nCRLF=0\nDATETIME=0\nDATETIMEVAL=0\n"
                  "[DATA2]\nCOM=0\nBPS=0\nBIT=0\nPARI=0\nSTOP=0\nFLOW=0\n");
    expectOneBox(BoxIcon::Information, "Configuration Data Saved");
}

// A save that cannot write names the file and the reason, and leaves what was there.
TEST_F(Config, SaveIntoAFolderSaysWhy) {
    std::filesystem::create_directory(dir.file("Vorlinex.ini"));
    dir.write("Vorlinex.ini/inside", "keep");
    loadConfig();  // a folder is no file: the defaults apply
    EXPECT_EQ(appOptions.RATE.load(), 5);
    saveConfig();
    expectOneBox(BoxIcon::Error, "Configuration Data Save Error: " + dir.file("Vorlinex.ini") + ": " + std::strerror(EISDIR));
    EXPECT_EQ(dir.read("Vorlinex.ini/inside"), "keep");
}

TEST_F(Config, SaveOnAFullDiskLeavesTheOldFileWhole) {
    // An old file larger than the process may now write: as on a full disk.
    const std::string old = "[KEEP]\r\nX=" + std::string(256 * 1024, 'k') + "\r\n[DATA]\r\nRATE=7\r\n";
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
    expectOneBox(BoxIcon::Error, "Configuration Data Save Error: " + dir.file("Vorlinex.ini") + ": " + std::strerror(EFBIG));
    EXPECT_TRUE(dir.read("Vorlinex.ini") == old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "a temporary file was left";
}

}  // namespace

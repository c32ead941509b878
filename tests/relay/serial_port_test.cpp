// Opening and setting up serial devices, through real pseudo-terminals and the INI mapping.
// Reads the line settings back with the kernel's termios2, so glibc's <termios.h> stays out.
#include <asm/termbits.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "relay/serial_port.h"
#include "relay/serial_termios_linux.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace {

int openDescriptorCount() {
    int count = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++count;
    }
    closedir(d);
    return count - 1;  // the directory's own descriptor
}

struct termios2 readBack(int fd) {
    struct termios2 t {};
    EXPECT_EQ(ioctl(fd, TCGETS2, &t), 0);
    return t;
}

uint32_t baudOf(const struct termios2& t) {
    if ((t.c_cflag & CBAUD) == BOTHER) return t.c_ospeed;
    switch (t.c_cflag & CBAUD) {
        case B9600: return 9600;
        case B38400: return 38400;
        case B115200: return 115200;
        case B460800: return 460800;
        default: return t.c_ospeed;
    }
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        setBoxFunction([this](const BoxRequest& box) { boxes.push_back(box); });
        mapDevices({cable1.slavePath(), cable2.slavePath(), "", "", "", ""});
    }
    void TearDown() override {
        closePort(port1);
        closePort(port2);
        setBoxFunction(nullptr);
    }

    // The DEVICES section reaches the serial layer the way it does in the program: loadConfig.
    void mapDevices(const std::array<std::string, 6>& paths) {
        dir.write("Vorlinex.ini", devicesSection(paths));
        loadConfig();
    }

    int open(int comIndex, SerialPort& port) {
        return openPort(portDeviceNameAt(comIndex), comIndex + 1, port);
    }

    std::vector<std::string> boxTexts() const {
        std::vector<std::string> texts;
        for (const auto& b : boxes) texts.push_back(b.text);
        return texts;
    }

    ScratchDir dir;
    PtyCable cable1, cable2;
    SerialPort port1, port2;
    std::vector<BoxRequest> boxes;
};

TEST_F(SerialPortTest, OpensTheMappedDeviceNonBlockingAndCloseOnExec) {
    ASSERT_EQ(open(0, port1), 0);
    ASSERT_TRUE(port1.isOpen());
    EXPECT_TRUE(boxes.empty());
    const int fd = port1.handle.load();
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);

    // It is the cable's device: what the far end sends arrives here.
    cable1.send("ping");
    std::string got;
    for (int i = 0; i < 300 && got.size() < 4; ++i) {
        char buf[8];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(got, "ping");
}

TEST_F(SerialPortTest, SecondOpenOfAnOpenDeviceFailsWithItsPortMessage) {
    // Both ports on COM1, as an INI file can ask for.
    ASSERT_EQ(open(0, port1), 0);
    const int fdsBefore = openDescriptorCount();
    EXPECT_EQ(openPort("com1", 1, port2), 1);
    EXPECT_FALSE(port2.isOpen());
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"Com1 Open Error"});
    EXPECT_EQ(boxes.at(0).icon, BoxIcon::Error);
    EXPECT_EQ(openDescriptorCount(), fdsBefore);

    // Released again, the device opens for the other port.
    closePort(port1);
    EXPECT_EQ(openPort("com1", 1, port2), 0);
}

TEST_F(SerialPortTest, CloseAndReopenTheSameDevice) {
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(open(1, port2), 0) << round;
        closePort(port2);
        EXPECT_FALSE(port2.isOpen());
    }
    EXPECT_TRUE(boxes.empty());
}

struct FailedOpenCase {
    const char* name;
    std::string path;  // "<dir>" for the scratch folder, "<file>" for a plain file in it
    std::string message;
};

class SerialOpenFailureTest : public SerialPortTest,
                              public ::testing::WithParamInterface<FailedOpenCase> {};

TEST_P(SerialOpenFailureTest, ShowsItsMessageLeavesThePortClosedAndLeaksNothing) {
    std::string path = GetParam().path;
    if (path == "<dir>") path = dir.path();
    if (path == "<file>") {
        dir.write("plain.bin", "not a device");
        path = dir.file("plain.bin");
    }
    mapDevices({"", "", path, "", "", ""});

    const int fdsBefore = openDescriptorCount();
    EXPECT_EQ(open(2, port1), 1);
    EXPECT_FALSE(port1.isOpen());
    EXPECT_EQ(boxTexts(), std::vector<std::string>{GetParam().message});
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].icon, BoxIcon::Error);
    EXPECT_EQ(openDescriptorCount(), fdsBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, SerialOpenFailureTest,
    ::testing::Values(FailedOpenCase{"Missing", "/nonexistent/vorlinex-tty", "Com3 Open Error"},
                      FailedOpenCase{"Directory", "<dir>", "Com3 Open Error"},
                      FailedOpenCase{"DevNull", "/dev/null", "EVMASK Error"},
                      FailedOpenCase{"PlainFile", "<file>", "EVMASK Error"},
                      FailedOpenCase{"VeryLongPath", "/" + std::string(5000, 'x'),
                                     "Com3 Open Error"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(SerialPortTest, ComIndexOutsideTheTablesGivesAClearMessageAndStaysClosed) {
    for (int32_t comIndex : {6, 9, -1, -7, 2147483647 - 1}) {
        boxes.clear();
        EXPECT_STREQ(portDeviceNameAt(comIndex), "");
        EXPECT_STREQ(portDisplayNameAt(comIndex), "COM");
        EXPECT_EQ(open(comIndex, port1), 1) << comIndex;
        EXPECT_FALSE(port1.isOpen());
        ASSERT_EQ(boxes.size(), 1u) << comIndex;
        EXPECT_EQ(boxes[0].text, "Com" + std::to_string(comIndex + 1) + " Open Error");
        EXPECT_EQ(boxes[0].icon, BoxIcon::Error);
    }
    // A null name is no device either.
    boxes.clear();
    EXPECT_EQ(openPort(nullptr, 1, port1), 1);
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"Com1 Open Error"});
}

// ---- line settings -------------------------------------------------------------------------

struct LineCase {
    const char* name;
    PortSettings settings;
    uint32_t baud;
    tcflag_t size;
    bool parityOn, parityOdd, twoStop, rtsCts, xonXoff;
    uint8_t xoff;
};

class LineSettingsTest : public SerialPortTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineSettingsTest, ReadsBackFromTheDeviceAsMapped) {
    const LineCase& c = GetParam();
    ASSERT_EQ(open(0, port1), 0);
    port1.settings = c.settings;
    configurePort(port1);

    const struct termios2 t = readBack(port1.handle.load());
    EXPECT_EQ(baudOf(t), c.baud);
    EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parityOdd);
    // A pseudo-terminal forces 8 data bits and no parity whatever it is given, so those two
    // are checked in the settings the layer hands to the kernel.
    struct termios2 handed = t;
    composeLineTermios(handed, lineSettingsFor(c.settings));
    EXPECT_EQ(handed.c_cflag & CSIZE, c.size);
    EXPECT_EQ((handed.c_cflag & PARENB) != 0, c.parityOn);
    EXPECT_EQ((handed.c_cflag & PARODD) != 0, c.parityOdd);
    EXPECT_EQ(handed.c_cflag & ~(CSIZE | PARENB), t.c_cflag & ~(CSIZE | PARENB));
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop);
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.rtsCts);
    EXPECT_EQ((t.c_iflag & IXON) != 0, c.xonXoff);
    EXPECT_EQ((t.c_iflag & IXOFF) != 0, c.xonXoff);
    if (c.xonXoff) {
        EXPECT_EQ(t.c_cc[VSTART], 0x11);
        EXPECT_EQ(t.c_cc[VSTOP], c.xoff);
    }
    // Parity checking stays on whatever the parity; the line is raw and receives.
    EXPECT_TRUE(t.c_iflag & INPCK);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXANY));
}

PortSettings ps(int32_t baud, uint8_t bits, uint8_t parity, uint8_t stop, int32_t flow) {
    return PortSettings{0, baud, bits, parity, stop, flow};
}

INSTANTIATE_TEST_SUITE_P(
    Choices, LineSettingsTest,
    ::testing::Values(
        LineCase{"Plain9600", ps(9600, 8, 0, 0, FlowNone), 9600, CS8, false, false, false, false,
                 false, 0},
        LineCase{"Odd2000RtsCts", ps(2000, 7, 1, 1, FlowHardwareRts), 2000, CS7, true, true, true,
                 true, false, 0},
        LineCase{"Even3600Dtr", ps(3600, 6, 2, 2, FlowHardwareDtr), 3600, CS6, true, false, true,
                 false, false, 0},
        LineCase{"Xon13At7200", ps(7200, 5, 0, 0, FlowXonXoff13), 7200, CS5, false, false, false,
                 false, true, 0x13},
        LineCase{"Xon93At460800", ps(460800, 8, 2, 0, FlowXonXoff93), 460800, CS8, true, false,
                 false, false, true, 0x93},
        LineCase{"Fast115200", ps(115200, 8, 0, 2, FlowNone), 115200, CS8, false, false, true,
                 false, false, 0},
        // Values only an edited INI file can hold: no table is indexed with them.
        LineCase{"OutOfTableValues", ps(7200, 9, 7, 9, 99), 7200, CS8, false, false, false, false,
                 false, 0},
        LineCase{"NegativeFlow", ps(9600, 4, 255, 255, -1), 9600, CS8, false, false, false, false,
                 false, 0}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(SerialPortTest, ARateOfZeroOrLessKeepsTheDevicesRateInsteadOfHangingUp) {
    ASSERT_EQ(open(0, port1), 0);
    port1.settings = ps(3600, 8, 0, 0, FlowNone);
    configurePort(port1);
    for (int32_t baud : {0, -9600}) {
        port1.settings = ps(baud, 8, 0, 2, FlowXonXoff13);
        configurePort(port1);
        const struct termios2 t = readBack(port1.handle.load());
        EXPECT_EQ(baudOf(t), 3600u);
        // The other settings still apply.
        EXPECT_TRUE(t.c_cflag & CSTOPB);
        EXPECT_TRUE(t.c_iflag & IXON);
    }
}

TEST_F(SerialPortTest, ConfigureDiscardsWhatWasQueuedBefore) {
    ASSERT_EQ(open(0, port1), 0);
    const int fd = port1.handle.load();
    cable1.send("stale bytes");
    int queued = 0;
    for (int i = 0; i < 300 && queued < 11; ++i) {
        ioctl(fd, FIONREAD, &queued);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(queued, 11);
    port1.settings = ps(9600, 8, 0, 0, FlowNone);
    configurePort(port1);
    ioctl(fd, FIONREAD, &queued);
    EXPECT_EQ(queued, 0);

    cable1.send("fresh");
    std::string got;
    for (int i = 0; i < 300 && got.size() < 5; ++i) {
        char buf[16];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(got, "fresh");
}

TEST_F(SerialPortTest, ConfigureAndCloseOnAClosedPortDoNothing) {
    configurePort(port1);
    closePort(port1);
    EXPECT_FALSE(port1.isOpen());
    EXPECT_TRUE(boxes.empty());
}

}  // namespace

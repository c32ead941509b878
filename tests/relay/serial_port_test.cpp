// Opening and setting up serial devices, on the fixture's ports as the program opened them.
// Reads the line settings back with the kernel's termios2, so glibc's <termios.h> stays out.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>

#include <filesystem>

#include "relay/serial_termios_linux.h"
#include "shell/message_catalogue.h"
#include "tests/relay/relay_fixture.h"

namespace {

// The listing's own descriptor is counted each time alike.
auto openDescriptorCount() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

class SerialPortTest : public RelayTest {};

// Each refused open (the first: port 1's own device, which it holds) shows its message, leaves
// the port closed and leaks no descriptor; released, port 1's device opens again.
TEST_F(SerialPortTest, OpensTheMappedDeviceExclusivelyAndReportsEachRefusal) {
    EXPECT_TRUE(fcntl(relay.serialPort1.handle.load(), F_GETFL) & O_NONBLOCK);
    std::vector<std::string> boxes;
    SerialPort other;
    const struct { std::string path; const char* message; int32_t comIndex; } refused[] = {
        {adapter1.path(), "Com1 Open Error", 0}, {"/nonexistent/vorlinex-tty", "Com1 Open Error", 0},
        {dir.path(), "Com1 Open Error", 0}, {"/dev/null", "EVMASK Error", 0}, {"/dev/null", "Com7 Open Error", 6}};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.path + " " + r.message);
        relay.comDevicePaths[0] = r.path;
        const auto fdsBefore = openDescriptorCount();
        boxes.clear();
        const int result = relay.openPort(portDeviceNameAt(r.comIndex), other);  // then its message, as the shell does
        reportPortOpen([&](const BoxRequest& box) { boxes.push_back(box.text); }, result, r.comIndex + 1);
        EXPECT_NE(result, PortOpened);
        EXPECT_FALSE(other.isOpen());
        EXPECT_EQ(boxes, std::vector<std::string>{r.message});
        EXPECT_EQ(openDescriptorCount(), fdsBefore);
    }
    relay.comDevicePaths[0] = adapter1.path();
    closePort(relay.serialPort1);
    EXPECT_EQ(relay.openPort("com1", other), 0);
    closePort(other);
}

// Each choice read back from the device; baud 0: the device keeps the rate it had before.
TEST_F(SerialPortTest, LineSettingsReadBackFromTheDeviceAsMapped) {
    constexpr tcflag_t on = CREAD | CLOCAL;
    const struct {
        PortSettings settings;
        uint32_t baud;
        tcflag_t size, parity, cflags, iflags;
        uint8_t xoff;
    } cases[] = {
        {{0, 2000, 7, 1, 1, FlowHardwareRts}, 2000, CS7, PARENB, on | PARODD | CSTOPB | CRTSCTS, INPCK, 0},
        {{0, 3600, 6, 2, 2, FlowHardwareDtr}, 3600, CS6, PARENB, on | CSTOPB, INPCK, 0},
        {{0, 7200, 5, 0, 0, FlowXonXoff13}, 7200, CS5, 0, on, INPCK | IXON | IXOFF, 0x13},
        {{0, 460800, 8, 2, 0, FlowXonXoff93}, 460800, CS8, PARENB, on, INPCK | IXON | IXOFF, 0x93},
        // Values only an edited INI file can hold: no table is indexed with them.
        {{0, 7200, 9, 7, 9, 99}, 7200, CS8, 0, on, INPCK, 0},
        // A rate of 0 or less would hang the line up.
        {{0, -9600, 8, 0, 2, FlowNone}, 0, CS8, 0, on | CSTOPB, INPCK, 0}};
    SerialPort& port1 = relay.serialPort1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.baudRate);
        struct termios2 t {};
        ASSERT_EQ(ioctl(port1.handle.load(), TCGETS2, &t), 0);
        const uint32_t rateBefore = t.c_ospeed;
        port1.settings = c.settings;
        configurePort(port1);
        ASSERT_EQ(ioctl(port1.handle.load(), TCGETS2, &t), 0);
        EXPECT_EQ(t.c_ospeed, c.baud ? c.baud : rateBefore);
        EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS | PARODD | CREAD | CLOCAL), c.cflags);
        EXPECT_EQ(t.c_iflag, c.iflags);
        EXPECT_EQ(t.c_lflag | (t.c_oflag & OPOST), 0u);  // raw
        if (c.iflags & IXON) {
            EXPECT_TRUE(t.c_cc[VSTART] == 0x11 && t.c_cc[VSTOP] == c.xoff) << int(t.c_cc[VSTOP]);
        }
        // A pseudo-terminal forces 8 bits and no parity, so those two are checked as handed over.
        composeLineTermios(t, lineSettingsFor(c.settings));
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), c.size | c.parity);
    }
}

}  // namespace

// A tty on Linux, on real pseudo-terminal cables behind symbolic links (adapters a test can unplug): line settings
// read back (termios2, without glibc's <termios.h>), the exclusive open and every refusal, an adapter unplugged.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include "relay/port_reconnect.h"
#include "relay/serial_termios_linux.h"
#include "shell/session.h"
#include "settings/port_restart.h"
#include "shell/message_catalogue.h"
#include "tests/support/device_holder.h"
#include "tests/support/pty_cable.h"

namespace {

using namespace std::chrono_literals;

// An application's relay with its ports opened and set up as the INI file maps them; the test holds the far ends.
class RelayTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("Vorlinex.ini", "[DATA1]\nCOM=0\nBPS=115200\nBIT=8\n[DATA2]\nCOM=1\nBPS=115200\nBIT=8\n" +
                                      devicesSection({adapter1.path(), adapter2.path(), "", "", "", ""}));
        applyConfig(relay, loadConfig());
        for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2})
            if (relay.openPort(portDeviceNameAt(channel->source.settings.comIndex), channel->source) == PortOpened)
                configurePort(channel->source);
    }
    // Port `n` stays closed, the status bar telling why, through reconnect steps hours apart.
    void expectClosed(int n, const std::string& status) {
        for (int hour = 0; hour < 3; ++hour) EXPECT_FALSE(reconnectPorts(relay, std::chrono::steady_clock::now() + hour * 1h));
        EXPECT_FALSE(relay.serialPort(n).isOpen());
        EXPECT_EQ(portStatusText(relay), status);
    }
    PtyCable& cable(int number) { return (number == 1 ? adapter1 : adapter2).device(); }
    // What the shell does at start-up, on OK and in its reconnect step alike: the open, then its boxes.
    std::string openWithBox(SerialPort& port, int32_t comIndex = 0) {
        std::string text;
        const int result = relay.openPort(portDeviceNameAt(comIndex), port);
        reportPortOpen([&](const BoxRequest& box) { text += box.text; }, result, comIndex + 1, port.openFailure);
        return text;
    }

    ScratchDir dir;
    PluggableCable adapter1{dir.file("ttyUSB0")}, adapter2{dir.file("ttyUSB1")};
    Session app;
    Relay& relay = app.relay;
    SerialPort& port1 = relay.serialPort1;
};

// An adapter unplugged and plugged back, each in turn: the other direction goes on, the bytes for the gone one
// are counted, and it comes back by itself. After the shutdown's refusal no worker starts, nor a port opens.
TEST_F(RelayTest, AnUnpluggedAdapterIsWaitedForWhileTheOtherDirectionGoesOnAndComesBack) {
    startRelayWorker(relay.relayChannel1);
    startRelayWorker(relay.relayChannel2);
    startRelayWorker(relay.relayChannel1);  // again without a stop: replaces, never adds
    EXPECT_TRUE(eventuallyWorkers(1, 1));
    const auto reconnecting = [&] { reconnectPorts(relay); };  // the program's steps, taken meanwhile
    // Each port twice in a row: a replug that cleared the other channel's count would leave this
    // one's from the first unplug to be added to.
    for (int gone : {1, 1, 2, 2, 1}) {
        SCOPED_TRACE(gone);
        const int stays = 3 - gone;
        PluggableCable& lost = gone == 1 ? adapter1 : adapter2;
        RelayChannel& onward = relay.relayChannel(stays);  // its destination is gone
        SerialPort& port = relay.serialPort(gone);
        lost.unplug();
        cable(stays).send(randomBytes(12345, 10 + gone));  // on after the first failed write
        ASSERT_TRUE(eventually([&] { return onward.undeliveredBytes.load() == 12345; })) << onward.undeliveredBytes.load();
        ASSERT_TRUE(eventually([&] { return !port.isOpen() && port.presence.load() == PortAway; }, reconnecting));
        EXPECT_TRUE(eventuallyWorkers(gone == 1 ? 0 : 1, gone == 1 ? 1 : 0));
        const std::string name = "COM" + std::to_string(gone);
        EXPECT_EQ(portStatusText(relay),
                  name + ": " + lost.path() + " unplugged, waiting; 12,345 bytes not delivered to " + name);
        lost.plug();
        ASSERT_TRUE(eventually([&] { return port.isOpen() && port.presence.load() == PortPresent; }, reconnecting));
        EXPECT_TRUE(eventuallyWorkers(1, 1));
        expectRelaysBothWays(cable(1), cable(2), 20 + gone);
    }
    adapter1.unplug();
    ASSERT_TRUE(eventually([&] { return relay.serialPort1.presence.load() == PortLost; }));
    relay.refusePortOpens();
    relay.stopRelayWorkers();
    startRelayWorker(relay.relayChannel2);  // its port is still open
    EXPECT_FALSE(relay.relayChannel2.worker.joinable());
    relay.stopRelayAndClosePorts();
    adapter1.plug();
    EXPECT_FALSE(reconnectPorts(relay) || (relay.serialPort1.isOpen() || relay.serialPort2.isOpen()));
    EXPECT_TRUE(eventuallyWorkers(0, 0));
}

TEST_F(RelayTest, LineSettingsReadBackAsMappedAndTheDeviceOpensExclusivelyReportingEachRefusal) {
    constexpr tcflag_t on = CREAD | CLOCAL;
    // refused: what the status bar says of the settings the pseudo-terminal would not take.
    const struct {
        PortSettings settings;
        uint32_t baud;
        tcflag_t sizeParity, cflags, iflags;
        uint8_t xoff;
        const char* refused;
    } cases[] = {
        {{0, 2000, 7, 1, 1, FlowHardwareRts}, 2000, CS7 | PARENB, on | PARODD | CSTOPB | CRTSCTS, INPCK, 0,
         "8 data bits, no parity instead of 7, odd parity"},
        {{0, 3600, 6, 2, 2, FlowHardwareDtr}, 3600, CS6 | PARENB, on | CSTOPB, INPCK, 0,
         "8 data bits, no parity instead of 6, even parity"},
        {{0, 7200, 5, 0, 0, FlowXonXoff13}, 7200, CS5, on, INPCK | IXON | IXOFF, 0x13, "8 data bits instead of 5"},
        {{0, 460800, 8, 2, 0, FlowXonXoff93}, 460800, CS8 | PARENB, on, INPCK | IXON | IXOFF, 0x93,
         "no parity instead of even parity"},
        // Values only an edited INI file can hold: no table is indexed with them.
        {{0, 7200, 9, 7, 9, 99}, 7200, CS8, on, INPCK, 0, nullptr},
        // A rate of 0 or less would hang the line up: the one set before stays.
        {{0, -9600, 8, 0, 2, FlowNone}, 7200, CS8, on | CSTOPB, INPCK, 0, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.baudRate);
        port1.settings = c.settings;
        configurePort(port1);
        termios2 t{};
        ASSERT_EQ(ioctl(port1.handle.load(), TCGETS2, &t), 0);
        EXPECT_EQ(t.c_ospeed, c.baud);
        EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS | PARODD | CREAD | CLOCAL), c.cflags);
        EXPECT_EQ(t.c_iflag, c.iflags);
        EXPECT_TRUE(!(c.iflags & IXON) || (t.c_cc[VSTART] == 0x11 && t.c_cc[VSTOP] == c.xoff)) << int(t.c_cc[VSTOP]);
        // A pseudo-terminal forces 8 bits and no parity, so those two are checked as handed over.
        composeLineTermios(t, lineSettingsFor(c.settings));
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), c.sizeParity);
        EXPECT_EQ(portStatusText(relay), c.refused == nullptr ? "" : std::string("COM1: the device set ") + c.refused);
    }

    // The listing's own descriptor is counted each time alike.
    const auto openDescriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    SerialPort other;
    const struct { std::string path; std::string message; int32_t comIndex; } refused[] = {
        {"/nonexistent/vorlinex-tty",
         "Com1 Open Error\n/nonexistent/vorlinex-tty: No such file or directory (it opens by itself once it is there)",
         0},
        {dir.path(), "Com1 Open Error\n" + dir.path() + ": Is a directory", 0},
        {"/dev/pts/999999", "Com1 Open Error\n/dev/pts/999999 is gone (a pseudo-terminal does not come back)", 0},
        {"/dev/null", "EVMASK Error\nCOM1: /dev/null is not a serial line (Inappropriate ioctl for device)", 0},
        {"/dev/null", "Com7 Open Error", 6}};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.path + " " + r.message);
        relay.comDevicePaths[0] = r.path;
        const auto fdsBefore = openDescriptors();
        EXPECT_EQ(openWithBox(other, r.comIndex), r.message);
        EXPECT_TRUE(!other.isOpen() && openDescriptors() == fdsBefore) << "nothing opened, nothing left open";
    }
    relay.comDevicePaths[0] = adapter1.path();
    closePort(port1);
    EXPECT_EQ(relay.openPort("com1", other), PortOpened) << "port 1's own device, released, opens again";
    closePort(other);
}

// A device that is there but held by another program is not "unplugged": the user is told who
// has it, and it is asked again only once a second. (Held by the other port: port_restart_test.)
TEST_F(RelayTest, ADeviceHeldElsewhereSaysByWhomAndIsTriedAgainOnlyOnceASecond) {
    using Clock = std::chrono::steady_clock;
    closePort(port1);
    // Started first, so that a search that took the same number in a container's devpts instance
    // for this terminal would meet it first, and blame it, or take it for a login's terminal.
    std::optional<DeviceHolder> twin;
    if (::geteuid() == 0) twin.emplace(adapter1.path(), DeviceHolder::SameNumberInAnotherInstance, "vorlinex");
    DeviceHolder minicom(adapter1.path(), DeviceHolder::Locked, "minicom");
    const std::string why =
        adapter1.path() + " is in use by another program (minicom, pid " + std::to_string(minicom.pid()) + ")";
    EXPECT_EQ(openWithBox(port1), "Com1 Open Error\n" + why);
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(reconnectPorts(relay, start));
    minicom.release();
    EXPECT_FALSE(reconnectPorts(relay, start + 500ms));  // a missing path would be looked for again here
    EXPECT_TRUE(!port1.isOpen() && portStatusText(relay) == "COM1: " + why) << portStatusText(relay);
    EXPECT_TRUE(reconnectPorts(relay, start + 1s));
    EXPECT_TRUE(port1.isOpen() && port1.presence.load() == PortPresent && portStatusText(relay) == "");
    EXPECT_TRUE(eventuallyWorkers(1, 1));
}

TEST_F(RelayTest, PermissionDeniedNamesTheGroupToJoin) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the device to a group and become a plain user";
    const group* dialout = ::getgrnam("dialout");
    if (dialout == nullptr) GTEST_SKIP() << "no dialout group";
    const std::string device = cable(1).slavePath();
    ASSERT_TRUE(::chown(device.c_str(), 0, dialout->gr_gid) == 0 && ::chmod(device.c_str(), 0660) == 0);
    relay.stopRelayAndClosePorts();
    relay.comDevicePaths[0] = device;
    int answer[2];
    ASSERT_EQ(::pipe(answer), 0);
    const pid_t child = ::fork();
    if (child == 0) {  // as nobody, the open and its words go back through the pipe
        std::string told = "could not become nobody";
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
            told = openWithBox(port1);
            told += "|" + portStatusText(relay);
        }
        ::_exit(::write(answer[1], told.data(), told.size()) == static_cast<ssize_t>(told.size()) ? 0 : 1);
    }
    ::close(answer[1]);
    std::string told;
    char buffer[512];
    for (ssize_t n; (n = ::read(answer[0], buffer, sizeof buffer)) > 0;) told.append(buffer, static_cast<size_t>(n));
    ::close(answer[0]);
    ::waitpid(child, nullptr, 0);
    const std::string why = device + ": permission denied (join the dialout group)";
    EXPECT_EQ(told, "Com1 Open Error\n" + why + "|COM1: " + why);
}

// A pseudo-terminal never comes back: its number soon belongs to another terminal, which must not
// be taken over. The user's OK opens the path again.
TEST_F(RelayTest, APseudoTerminalWhoseOtherEndClosedIsNotReopenedWhenItsNumberComesBack) {
    auto farEnd = std::make_unique<PtyCable>();
    const std::string path = relay.comDevicePaths[0] = farEnd->slavePath();
    closePort(port1);
    ASSERT_EQ(relay.openPort("com1", port1), PortOpened);
    startRelayWorker(relay.relayChannel1);  // its reads find the hang-up
    farEnd.reset();
    ASSERT_TRUE(eventually([&] { return port1.presence.load() == PortHalted; }, [&] { reconnectPorts(relay); }));
    // Someone else's terminal gets the number (the lowest free one is handed out).
    std::vector<std::unique_ptr<PtyCable>> others;
    while (others.size() < 32 && (others.empty() || others.back()->slavePath() != path))
        others.push_back(std::make_unique<PtyCable>());
    expectClosed(1, "COM1: " + path + " was closed by its other end");

    restartPorts(relay, choiceFromSettings(port1.settings), choiceFromSettings(relay.serialPort2.settings), {});
    EXPECT_TRUE(port1.isOpen() && port1.presence.load() == PortPresent && portStatusText(relay) == "");
}

// A terminal that a session has as its own (a login's, a shell's) is never opened, also not by
// the reconnect step; once the session has ended it is a device like any other.
TEST_F(RelayTest, TheControllingTerminalOfASessionIsNeverOpened) {
    closePort(port1);
    PtyCable terminal;
    DeviceHolder shell(terminal.slavePath(), DeviceHolder::ControllingTerminal, "bash");
    const std::string link = dir.file("ttyS0");
    std::filesystem::create_symlink(terminal.slavePath(), link);
    for (const std::string& path : {terminal.slavePath(), link}) {
        SCOPED_TRACE(path);
        relay.comDevicePaths[0] = path;
        EXPECT_EQ(openWithBox(port1), "Com1 Open Error\n" + path + " is the terminal of a login session");
        expectClosed(1, "COM1: " + path + " is the terminal of a login session");
    }
    shell.release();
    EXPECT_TRUE(reconnectPorts(relay, std::chrono::steady_clock::now() + 4h) && port1.isOpen());
}

// Without its wake-up descriptor a worker could never be stopped: none starts, and the user is told.
TEST_F(RelayTest, AWorkerWhoseWakeUpCannotBeMadeDoesNotStart) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    const int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<int> taken{spare};  // every descriptor below the lowered limit
    rlimit lowered{200, before.rlim_max};
    ASSERT_TRUE(spare >= 0 && ::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
    for (int fd; (fd = ::dup(spare)) >= 0;) taken.push_back(fd);
    const int started = startRelayWorker(relay.relayChannel1);
    for (int fd : taken) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
    EXPECT_EQ(started, EMFILE);
    if (relay.relayChannel1.worker.joinable()) {  // such a worker hears no stop request: a byte wakes it to find it
        ADD_FAILURE() << "a worker started without its wake-up";
        requestWorkerStop(relay.relayChannel1);
        cable(1).send("x");
        joinRelayWorker(relay.relayChannel1);
    }
    EXPECT_EQ(portStatusText(relay), "Com1 -> Com2 is not relayed: Too many open files");
    EXPECT_TRUE(startRelayWorker(relay.relayChannel1) == 0 && portStatusText(relay) == "") << portStatusText(relay);
    EXPECT_EQ(startRelayWorker(relay.relayChannel2), 0);
    expectRelaysBothWays(cable(1), cable(2), 31);
}

}  // namespace

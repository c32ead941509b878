// The relay on two real pseudo-terminal cables behind symbolic links (adapters a test can unplug);
// termios2 reads line settings back without glibc's <termios.h>.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <optional>

#include "display/traffic_text_control.h"
#include "relay/port_reconnect.h"
#include "relay/serial_termios_linux.h"
#include "shell/application.h"
#include "settings/port_restart.h"
#include "shell/message_catalogue.h"
#include "tests/support/combined_records.h"
#include "tests/support/device_holder.h"
#include "tests/support/pty_cable.h"

namespace {

using namespace std::chrono_literals;

// An application's relay with its ports opened and set up as the program does; the test holds the far ends.
class RelayTest : public ::testing::Test {
protected:
    // Opens and sets up the ports as the INI file maps them; a missing adapter's port stays away.
    void SetUp() override {
        dir.write("Vorlinex.ini", "[DATA1]\nCOM=0\nBPS=115200\nBIT=8\n[DATA2]\nCOM=1\nBPS=115200\nBIT=8\n" +
                                      devicesSection({adapter1.path(), adapter2.path(), "", "", "", ""}));
        applyConfig(relay, loadConfig());
        for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
            if (relay.openPort(portDeviceNameAt(channel->source.settings.comIndex), channel->source) == PortOpened)
                configurePort(channel->source);
            // Each worker fills its own record; the test reads them after the join.
            channel->chunkObserver = [this, n = channel->number](const uint8_t* bytes, int32_t length, const ChunkStamp* stamp) {
                chunks[n - 1].emplace_back(reinterpret_cast<const char*>(bytes), length);
                stamps[n - 1].push_back(stamp == nullptr ? 0 : stamp->afterText ? 22 : 20);
            };
        }
    }
    void startBoth() {
        for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2})
            if (channel->source.isOpen()) startRelayWorker(*channel);
    }
    PtyCable& cable(int number) { return (number == 1 ? adapter1 : adapter2).device(); }

    ScratchDir dir;
    PluggableCable adapter1{dir.file("ttyUSB0")}, adapter2{dir.file("ttyUSB1")};
    std::vector<std::string> chunks[2];
    std::vector<int32_t> stamps[2];
    Application app;  // its end stops the workers before the records above go
    Relay& relay = app.relay;
};

// A megabyte each way while port 2's side is unread for 3 s: a worker waits for room, never drops.
// After the shutdown's refusal no worker starts, and a device that comes back stays closed.
TEST_F(RelayTest, ChunksQueuedInputCapturesBothWaysInOrderAndOneDirectionGoesOnWhileTheOtherIsUnplugged) {
    const std::string toPort2 = randomBytes(300, 1), toPort1 = randomBytes(300, 2);
    cable(1).send(toPort2), cable(2).send(toPort1);
    ASSERT_TRUE(eventually([&] {  // both queued whole before the workers start
        int queued[2] = {};
        for (int i : {0, 1}) ioctl(relay.serialPort(i + 1).handle.load(), FIONREAD, &queued[i]);
        return queued[0] == 300 && queued[1] == 300;
    }));
    relay.relayChannel2.rateByteCount = INT32_MAX - 100;  // as after hours with RATE 0: no wrap
    startBoth();
    EXPECT_EQ(cable(2).receive(300), toPort2);
    EXPECT_EQ(cable(1).receive(300), toPort1);
    relay.stopRelayWorkers();
    EXPECT_EQ(chunks[0], (std::vector<std::string>{toPort2.substr(0, 256), toPort2.substr(256)}));
    EXPECT_EQ(chunks[1], std::vector<std::string>{toPort1});
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load(), 300);
    EXPECT_EQ(relay.relayChannel2.rateByteCount.load(), INT32_MAX);

    ASSERT_EQ(app.captures.openCombinedCapture(dir.file("both.log")), 1);
    startBoth();
    std::vector<std::pair<int, std::string>> expected, runs;  // runs of one direction, joined
    size_t turnBytes = 0;
    for (uint32_t round = 0; round < 12; ++round) {
        const std::string request = randomBytes(1 + round * 53 % 600, 100 + round);
        const std::string answer = randomBytes(1 + round * 211 % 2500, 200 + round);
        cable(1).send(request);
        ASSERT_EQ(cable(2).receive(request.size()), request);
        cable(2).send(answer);
        ASSERT_EQ(cable(1).receive(answer.size()), answer);
        expected.insert(expected.end(), {{1, request}, {2, answer}});
        turnBytes += request.size() + answer.size();
    }
    const std::string forward = randomBytes(1 << 20, 11), backward = randomBytes(1 << 20, 12);
    std::string gotBackward;
    std::thread send1([&] { cable(1).send(forward); }), send2([&] { cable(2).send(backward); });
    std::thread receive1([&] { gotBackward = cable(1).receive(backward.size(), 10000); });
    std::this_thread::sleep_for(3s);
    const std::string gotForward = cable(2).receive(forward.size(), 10000);
    for (std::thread* t : {&send1, &send2, &receive1}) t->join();
    EXPECT_TRUE(gotForward == forward) << gotForward.size() << " bytes on channel 1";
    EXPECT_TRUE(gotBackward == backward) << gotBackward.size() << " bytes on channel 2";
    relay.stopRelayWorkers();
    ASSERT_TRUE(app.captures.combinedCapture.close());
    std::string error, bulk[2];
    const auto records = parseCombinedRecords(dir.read("both.log"), error);
    ASSERT_EQ(error, "");
    int64_t gaps = 0;
    for (const CombinedRecord& r : records) {
        gaps += r.gapMicros;
        if (turnBytes == 0) bulk[r.channel - 1] += r.bytes;
        else if (runs.empty() || runs.back().first != r.channel) runs.emplace_back(r.channel, r.bytes);
        else runs.back().second += r.bytes;
        turnBytes -= std::min(turnBytes, r.bytes.size());
    }
    ASSERT_TRUE(runs == expected);  // and so records.front() is there
    EXPECT_TRUE(bulk[0] == forward && bulk[1] == backward);
    // Wall time and gaps come from two clocks read together: a microsecond of rounding at either end.
    EXPECT_NEAR(gaps, records.back().wallMicros - records.front().wallMicros, 3);

    startBoth();
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
        ASSERT_TRUE(eventually([&] { return onward.undeliveredBytes.load() == 12345; }))
            << onward.undeliveredBytes.load();
        // After a stray wake-up no worker spins: CPU time while the test sleeps, no speed (a spinner burns most).
        const uint64_t one = 1;
        ASSERT_EQ(::write(onward.wake, &one, sizeof one), 8);
        const std::clock_t cpuBefore = std::clock();
        std::this_thread::sleep_for(1s);
        EXPECT_LT(static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.25);
        ASSERT_TRUE(eventually([&] { return !port.isOpen() && port.presence.load() == PortAway; }, reconnecting));
        EXPECT_TRUE(eventuallyWorkers(gone == 1 ? 0 : 1, gone == 1 ? 1 : 0));
        const std::string name = "COM" + std::to_string(gone);
        EXPECT_EQ(portStatusText(relay), name + ": " + lost.path() + " unplugged, waiting; 12,345 bytes not delivered to " + name);
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
    EXPECT_FALSE(reconnectPorts(relay));
    EXPECT_FALSE(relay.serialPort1.isOpen() || relay.serialPort2.isOpen());
    EXPECT_TRUE(eventuallyWorkers(0, 0));
}

// By hand, then from the tick thread; the listener stands in for the main window.
TEST_F(RelayTest, TicksCarryTheClockCountDownAndTurnBytesIntoFiguresEveryRateSeconds) {
    std::vector<std::string> statuses;
    std::vector<std::pair<int, std::string>> figures;
    relay.rateMeter.showElapsed = [&](const std::string& text) { statuses.push_back(text); };
    relay.rateMeter.showRate = [&](int id, const std::string& text) { figures.emplace_back(id, text); };
    relay.rateMeter.timerToken = 4711;
    const auto tick = [&](int times) { while (times-- > 0) relay.onRateTimer(4711); };
    relay.appOptions.RATE = 0;
    relay.relayChannel1.stampCountdown = 30;
    relay.relayChannel2.stampCountdown = 1;
    relay.rateMeter.elapsedHours = 99, relay.rateMeter.elapsedMinutes = 59, relay.rateMeter.elapsedSeconds = 59;
    tick(1);
    EXPECT_EQ(statuses, std::vector<std::string>{"100：00：00"});  // each unit carries; hours past two digits
    relay.onRateTimer(4712);  // not the running timer's: ignored

    relay.relayChannel1.rateByteCount = 40;
    tick(12);
    relay.appOptions.RATE = -1;
    tick(12);
    EXPECT_TRUE(figures.empty());
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load(), 40);
    EXPECT_EQ(statuses.size(), 25u);  // the clock runs on
    EXPECT_EQ(relay.relayChannel1.stampCountdown.load(), 5);
    EXPECT_EQ(relay.relayChannel2.stampCountdown.load(), 0);

    // A new RATE takes effect at the next tick: 8 seconds into the period is over for 5.
    relay.rateMeter.rateTick = 0;
    relay.relayChannel2.rateByteCount = 37038;
    relay.appOptions.RATE = 10;
    tick(7);
    relay.appOptions.RATE = 5;
    tick(1);
    EXPECT_EQ(figures, (decltype(figures){{1, "   8 byte/s"}, {2, "  7407 byte/s"}}));
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load() + relay.relayChannel2.rateByteCount.load(), 0);
    tick(4);
    EXPECT_EQ(figures.size(), 2u);
    tick(1);
    EXPECT_EQ(figures.size(), 4u);  // then every 5 seconds

    std::atomic<int> ticks = 0;
    relay.rateMeter.showElapsed = [&](const std::string&) { ++ticks; };
    EXPECT_EQ(relay.startRateTimer(), 1);
    EXPECT_EQ(relay.startRateTimer(), 1);
    EXPECT_TRUE(eventually([&] { return ticks >= 2; }));
    relay.relayChannel1.rateByteCount = 77;
    relay.stopRateTimer();
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load(), 0);
}

// Each row starts the workers afresh; firstStamp, secondStamp: stamp lengths of two chunks, 0: none.
TEST_F(RelayTest, StampsTheFirstChunkAfterQuietAndReloadsTheCountdown) {
    const struct {
        int32_t dateTime, quietSeconds, countdown, displayOpen, displayMode, log, firstStamp, secondStamp;
    } rows[] = {
        {1, 60, 0, 1, 0, 1, 20, 0},   // text display and log
        {1, 60, 0, 1, 1, 1, 20, 0},   // hexadecimal display and log
        {1, 0, 0, 1, 0, 0, 20, 22},   // quiet 0 stamps every chunk
        {1, 45, 0, 0, 0, 0, 0, 0},    // neither display nor log
        {2, 45, 0, 1, 0, 0, 0, 0},    // the switch counts only when 1
        {1, 45, 7, 1, 0, 0, 0, 0},    // quiet not over yet
        {1, 45, 1, 1, 0, 0, 0, 0}};   // nor with its last second still to tick
    const std::string first("0123\0\0" "6789", 10), second = "later";
    for (const auto& c : rows) {
        SCOPED_TRACE("row " + std::to_string(&c - rows));
        const auto control = std::make_shared<TrafficTextControl>();
        const std::string logName = "capture" + std::to_string(&c - rows);
        relay.appOptions.DATETIME = c.dateTime;
        relay.appOptions.DATETIMEVAL = c.quietSeconds;
        app.trafficDisplay1.displayWindow = control;
        app.trafficDisplay1.displayOpen = c.displayOpen;
        app.trafficDisplay1.displayMode = c.displayMode;
        relay.relayChannel1.stampCountdown = c.countdown;
        stamps[0].clear();
        ASSERT_TRUE(!c.log || app.captures.openCaptureLog(1, dir.file(logName)) == 1);
        const std::time_t before = std::time(nullptr);
        startBoth();
        for (const std::string& bytes : {first, second}) {  // the line never gets a stamp
            cable(1).send(bytes);
            EXPECT_EQ(cable(2).receive(bytes.size()), bytes);
        }
        relay.stopRelayWorkers();
        EXPECT_EQ(stamps[0], (std::vector<int32_t>{c.firstStamp, c.secondStamp}));
        EXPECT_EQ(relay.relayChannel1.stampCountdown.load(), c.quietSeconds);
        if (!c.log) continue;
        app.captures.closeCaptureLog(1);  // the log gets the stamp, the local time when the chunk came, in front
        const std::string log = dir.read(logName);
        ASSERT_EQ(log.size(), c.firstStamp + first.size() + c.secondStamp + second.size());
        std::tm stamp{};
        ASSERT_EQ(strptime(log.c_str(), "%Y/%m/%d %H:%M:%S\n", &stamp), log.c_str() + 20) << log;
        stamp.tm_isdst = -1;  // local time, summer or not
        const std::time_t stampTime = std::mktime(&stamp);
        EXPECT_TRUE(before <= stampTime && stampTime <= std::time(nullptr)) << log;
        EXPECT_EQ(log.substr(c.firstStamp, first.size()), first);
        EXPECT_EQ(control->text().substr(0, 17), c.displayMode ? "30 31 32 33 00 00" : log.substr(0, 17));
    }
}

// The first refused open is port 1's own device, which it holds; released, it opens again.
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
    SerialPort& port1 = relay.serialPort1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.baudRate);
        port1.settings = c.settings;
        configurePort(port1);
        struct termios2 t {};
        ASSERT_EQ(ioctl(port1.handle.load(), TCGETS2, &t), 0);
        EXPECT_EQ(t.c_ospeed, c.baud);
        EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS | PARODD | CREAD | CLOCAL), c.cflags);
        EXPECT_EQ(t.c_iflag, c.iflags);
        if (c.iflags & IXON) {
            EXPECT_TRUE(t.c_cc[VSTART] == 0x11 && t.c_cc[VSTOP] == c.xoff) << int(t.c_cc[VSTOP]);
        }
        // A pseudo-terminal forces 8 bits and no parity, so those two are checked as handed over.
        composeLineTermios(t, lineSettingsFor(c.settings));
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), c.sizeParity);
        EXPECT_EQ(portStatusText(relay), c.refused == nullptr ? "" : std::string("COM1: the device set ") + c.refused);
    }

    // The listing's own descriptor is counted each time alike.
    const auto openDescriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    SerialPort other;
    const struct { std::string path; std::string message; int32_t comIndex; } refused[] = {
        {adapter1.path(), "Com1 Open Error\n" + adapter1.path() + " is already open as COM1", 0},
        {"/nonexistent/vorlinex-tty", "Com1 Open Error\n/nonexistent/vorlinex-tty: No such file or directory (it opens by itself once it is there)", 0},
        {dir.path(), "Com1 Open Error\n" + dir.path() + ": Is a directory", 0},
        {"/dev/pts/999999", "Com1 Open Error\n/dev/pts/999999 is gone (a pseudo-terminal does not come back)", 0},
        {"/dev/null", "EVMASK Error\nCOM1: /dev/null is not a serial line (Inappropriate ioctl for device)", 0}, {"/dev/null", "Com7 Open Error", 6}};
    for (const auto& r : refused) {
        SCOPED_TRACE(r.path + " " + r.message);
        relay.comDevicePaths[0] = r.path;
        const auto fdsBefore = openDescriptors();
        std::string boxes;
        const int result = relay.openPort(portDeviceNameAt(r.comIndex), other);  // then its message, as the shell does
        reportPortOpen([&](const BoxRequest& box) { boxes += box.text; }, result, r.comIndex + 1, other.openFailure);
        EXPECT_FALSE(other.isOpen());
        EXPECT_EQ(boxes, r.message);
        EXPECT_EQ(openDescriptors(), fdsBefore);
    }
    relay.comDevicePaths[0] = adapter1.path();
    closePort(port1);
    EXPECT_EQ(relay.openPort("com1", other), 0);
    closePort(other);
}

// What the shell does at start-up, on OK and in its reconnect step alike: the open, then its box.
std::string openWithBox(Relay& relay, SerialPort& port, const char* name) {
    std::string text;
    reportPortOpen([&](const BoxRequest& box) { text = box.text; }, relay.openPort(name, port), 1, port.openFailure);
    return text;
}

// A device that is there but held by another program, or by the other port, is not "unplugged":
// the user is told who has it, and it is asked again only once a second (or not at all).
TEST_F(RelayTest, ADeviceHeldElsewhereSaysByWhomAndIsTriedAgainOnlyOnceASecond) {
    using Clock = std::chrono::steady_clock;
    SerialPort& port1 = relay.serialPort1;
    closePort(port1);
    // Started first, so that a search that took the same number in a container's devpts instance
    // for this terminal would meet it first, and blame it, or take it for a login's terminal.
    std::optional<DeviceHolder> twin;
    if (::geteuid() == 0) twin.emplace(adapter1.path(), DeviceHolder::SameNumberInAnotherInstance, "vorlinex");
    DeviceHolder minicom(adapter1.path(), DeviceHolder::Locked, "minicom");
    const std::string why = adapter1.path() + " is in use by another program (minicom, pid " + std::to_string(minicom.pid()) + ")";
    EXPECT_EQ(openWithBox(relay, port1, "com1"), "Com1 Open Error\n" + why);
    EXPECT_EQ(portStatusText(relay), "COM1: " + why);
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(reconnectPorts(relay, start));
    minicom.release();
    EXPECT_FALSE(reconnectPorts(relay, start + 500ms));  // a missing path would be looked for again here
    EXPECT_FALSE(port1.isOpen());
    EXPECT_EQ(portStatusText(relay), "COM1: " + why);
    EXPECT_TRUE(reconnectPorts(relay, start + 1s));
    EXPECT_TRUE(port1.isOpen() && port1.presence.load() == PortPresent);
    EXPECT_EQ(portStatusText(relay), "");
    EXPECT_TRUE(eventuallyWorkers(1, 1));

    // COM2 led to COM1's device once its own adapter went: refused for good, naming COM1.
    SerialPort& port2 = relay.serialPort2;
    adapter2.unplug();
    ASSERT_TRUE(eventually([&] { return port2.presence.load() == PortAway; }, [&] { reconnectPorts(relay); }));
    relay.comDevicePaths[1] = adapter1.path();
    for (int second = 0; second < 3; ++second) EXPECT_FALSE(reconnectPorts(relay, Clock::now() + second * 1s));
    EXPECT_TRUE(!port2.isOpen() && port2.presence.load() == PortHalted);
    EXPECT_EQ(portStatusText(relay), "COM2: " + adapter1.path() + " is already open as COM1");
}

// A plain user (nobody) outside the device's group is told which group to join.
TEST_F(RelayTest, PermissionDeniedNamesTheGroupToJoin) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the device to a group and become a plain user";
    const group* dialout = ::getgrnam("dialout");
    if (dialout == nullptr) GTEST_SKIP() << "no dialout group";
    const std::string device = cable(1).slavePath();
    ASSERT_EQ(::chown(device.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(device.c_str(), 0660), 0);
    relay.stopRelayAndClosePorts();
    relay.comDevicePaths[0] = device;
    int answer[2];
    ASSERT_EQ(::pipe(answer), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(answer[0]);
        std::string told = "could not become nobody";
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
            told = openWithBox(relay, relay.serialPort1, "com1");
            told += "|" + portStatusText(relay);
        }
        const bool written = ::write(answer[1], told.data(), told.size()) == static_cast<ssize_t>(told.size());
        ::_exit(written ? 0 : 1);
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
    SerialPort& port1 = relay.serialPort1;
    auto farEnd = std::make_unique<PtyCable>();
    const std::string path = farEnd->slavePath();
    closePort(port1);
    relay.comDevicePaths[0] = path;
    ASSERT_EQ(relay.openPort("com1", port1), PortOpened);
    startBoth();
    farEnd.reset();
    ASSERT_TRUE(eventually([&] { return port1.presence.load() == PortHalted; }, [&] { reconnectPorts(relay); }));
    EXPECT_FALSE(port1.isOpen());
    EXPECT_EQ(portStatusText(relay), "COM1: " + path + " was closed by its other end");
    // Someone else's terminal gets the number (the lowest free one is handed out).
    std::vector<std::unique_ptr<PtyCable>> others;
    while (others.size() < 32 && (others.empty() || others.back()->slavePath() != path)) others.push_back(std::make_unique<PtyCable>());
    for (int second = 0; second < 3; ++second) EXPECT_FALSE(reconnectPorts(relay, std::chrono::steady_clock::now() + second * 1s));
    EXPECT_FALSE(port1.isOpen());
    EXPECT_EQ(portStatusText(relay), "COM1: " + path + " was closed by its other end");

    restartPorts(relay, choiceFromSettings(port1.settings), choiceFromSettings(relay.serialPort2.settings), {});
    EXPECT_TRUE(port1.isOpen() && port1.presence.load() == PortPresent);
    EXPECT_EQ(portStatusText(relay), "");
}

// A terminal that a session has as its own (a login's, a shell's) is never opened, also not by
// the reconnect step; once the session has ended it is a device like any other.
TEST_F(RelayTest, TheControllingTerminalOfASessionIsNeverOpened) {
    SerialPort& port1 = relay.serialPort1;
    closePort(port1);
    PtyCable terminal;
    DeviceHolder shell(terminal.slavePath(), DeviceHolder::ControllingTerminal, "bash");
    const std::string link = dir.file("ttyS0");
    std::filesystem::create_symlink(terminal.slavePath(), link);
    for (const std::string& path : {terminal.slavePath(), link}) {
        SCOPED_TRACE(path);
        relay.comDevicePaths[0] = path;
        EXPECT_EQ(openWithBox(relay, port1, "com1"), "Com1 Open Error\n" + path + " is the terminal of a login session");
        EXPECT_FALSE(port1.isOpen());
        EXPECT_EQ(portStatusText(relay), "COM1: " + path + " is the terminal of a login session");
        EXPECT_FALSE(reconnectPorts(relay, std::chrono::steady_clock::now() + 1h));
        EXPECT_FALSE(port1.isOpen());
    }
    shell.release();
    EXPECT_TRUE(reconnectPorts(relay, std::chrono::steady_clock::now() + 2h));
    EXPECT_TRUE(port1.isOpen());
}

// Without its wake-up descriptor a worker could never be stopped: none starts, and the user is told.
TEST_F(RelayTest, AWorkerWhoseWakeUpCannotBeMadeDoesNotStart) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    std::vector<int> taken;  // every descriptor below the lowered limit
    const int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(spare, 0);
    rlimit lowered = before;
    lowered.rlim_cur = 200;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int fd; (fd = ::dup(spare)) >= 0;) taken.push_back(fd);
    taken.push_back(spare);
    const int started = startRelayWorker(relay.relayChannel1);
    for (int fd : taken) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
    EXPECT_EQ(started, EMFILE);
    const bool running = relay.relayChannel1.worker.joinable();
    EXPECT_FALSE(running);
    if (running) {  // such a worker hears no stop request: a byte wakes it to find it
        requestWorkerStop(relay.relayChannel1);
        cable(1).send("x");
        joinRelayWorker(relay.relayChannel1);
    }
    EXPECT_EQ(portStatusText(relay), "Com1 -> Com2 is not relayed: Too many open files");
    EXPECT_EQ(startRelayWorker(relay.relayChannel1), 0);
    EXPECT_EQ(portStatusText(relay), "");
    EXPECT_EQ(startRelayWorker(relay.relayChannel2), 0);
    expectRelaysBothWays(cable(1), cable(2), 31);
}

}  // namespace

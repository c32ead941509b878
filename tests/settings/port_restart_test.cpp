// Reopening both ports while the relay runs, on real pseudo-terminals.
#include "settings/port_restart.h"

#include <dirent.h>
#include <poll.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "relay/relay_channel.h"
#include "relay/serial_termios_linux.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace {

// The relay workers alive in this process, counted by their thread names per channel.
int workerCount(const char* name) {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string line;
            if (std::getline(comm, line) && line == name) ++count;
        }
        closedir(tasks);
    }
    return count;
}

// Waits, generously, until channel 1 and channel 2 run the given numbers of workers; true when
// they do. A thread that has ended lingers in /proc for a moment after its join.
bool workersSettleAt(int channel1, int channel2) {
    for (int i = 0; i < 500; ++i) {
        if (workerCount("vx-relay1") == channel1 && workerCount("vx-relay2") == channel2) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string section(const char* name, int com, int bps) {
    return std::string("[") + name + "]\r\nCOM=" + std::to_string(com) + "\r\nBPS=" + std::to_string(bps) +
           "\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n";
}

// Byte strings compared without printing kilobytes of binary on a mismatch.
void expectSameBytes(const std::string& got, const std::string& sent) {
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "the bytes differ in content or order";
}

// Two (or three) cables on COM1..COM3, the ports opened and the workers started as at start-up.
class RunningRelay : public ::testing::Test {
protected:
    void SetUp() override {
        setBoxFunction([this](const BoxRequest& r) { boxes.push_back(r); });
    }

    void start(int bps1 = 9600, int com1 = 0, int com2 = 1) {
        dir.write("Vorlinex.ini", section("DATA1", com1, bps1) + section("DATA2", com2, 9600) +
                                      "[DATA]\r\nRATE=5\r\nDMODE=0\r\nCRLF=0\r\nDATETIME=0\r\nDATETIMEVAL=60\r\n" +
                                      devicesSection({cable1.slavePath(), cable2.slavePath(), cable3.slavePath(), "", "", ""}));
        loadConfig();
        for (auto [port, channel] : {std::pair{&serialPort1, &relayChannel1}, std::pair{&serialPort2, &relayChannel2}}) {
            const int com = port->settings.comIndex;
            ASSERT_EQ(openPort(portDeviceNameAt(com), com + 1, *port), 0);
            configurePort(*port);
            startRelayWorker(*channel);
        }
        ASSERT_TRUE(workersSettleAt(1, 1));
    }

    void TearDown() override {
        for (RelayChannel* channel : {&relayChannel1, &relayChannel2}) {
            requestWorkerStop(*channel);
            joinRelayWorker(*channel);
        }
        closePort(serialPort1);
        closePort(serialPort2);
        setBoxFunction(nullptr);
    }

    // Both directions carry bytes end to end, in order.
    void expectBothDirectionsRelay(PtyCable& end1, PtyCable& end2, uint32_t seed) {
        const std::string a = randomBytes(700, seed), b = randomBytes(1500, seed + 1);
        end1.send(a);
        end2.send(b);
        expectSameBytes(end2.receive(a.size(), 5000), a);
        expectSameBytes(end1.receive(b.size(), 5000), b);
    }

    ScratchDir dir;
    PtyCable cable1, cable2, cable3;
    std::vector<BoxRequest> boxes;
};

TEST_F(RunningRelay, OkWithoutChangeRestartsBothWorkersOneWorkerPerChannel) {
    start();
    expectBothDirectionsRelay(cable1, cable2, 1);
    for (int round = 0; round < 3; ++round) {
        restartPorts(choiceFromSettings(serialPort1.settings), choiceFromSettings(serialPort2.settings));
        ASSERT_TRUE(serialPort1.isOpen());
        ASSERT_TRUE(serialPort2.isOpen());
        EXPECT_EQ(relayChannel1.stopRequested.load(), 0);
        EXPECT_EQ(relayChannel2.stopRequested.load(), 0);
        // The old workers have ended: one worker per channel, not two.
        EXPECT_TRUE(workersSettleAt(1, 1));
        expectBothDirectionsRelay(cable1, cable2, 10 + round);
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(RunningRelay, BytesQueuedBeforeTheRestartAllArrive) {
    start();
    // A mouse hold in the display keeps channel 1 from reading, so the burst waits in port 1's
    // input queue; the hold ends just before OK, as it does when the user goes for the button.
    relayChannel1.displayMouseHeld = 1;
    leftMouseButtonDown = 1;
    const std::string burst = randomBytes(3000, 7);
    cable1.send(burst);
    EXPECT_EQ(cable2.receive(1, 300), "");
    leftMouseButtonDown = 0;
    restartPorts(choiceFromSettings(serialPort1.settings), choiceFromSettings(serialPort2.settings));
    relayChannel1.displayMouseHeld = 0;
    expectSameBytes(cable2.receive(burst.size(), 5000), burst);
    expectBothDirectionsRelay(cable1, cable2, 8);
}

TEST_F(RunningRelay, RestartEndsAWorkerThatIsStuckOnAFullDestination) {
    start();
    // Nobody reads port 2's far end: fill the line until port 1 takes no more, so that
    // channel 1 waits for room to write.
    const std::string block = randomBytes(4096, 3);
    for (;;) {
        if (::write(cable1.master(), block.data(), block.size()) > 0) continue;
        ASSERT_EQ(errno, EAGAIN);
        pollfd room{cable1.master(), POLLOUT, 0};
        if (::poll(&room, 1, 500) == 0) break;
    }
    restartPorts(choiceFromSettings(serialPort1.settings), choiceFromSettings(serialPort2.settings));
    ASSERT_TRUE(serialPort1.isOpen());
    ASSERT_TRUE(serialPort2.isOpen());
    EXPECT_TRUE(workersSettleAt(1, 1));
    cable2.receiveUntilQuiet(300);
    cable1.receiveUntilQuiet(100);
    expectBothDirectionsRelay(cable1, cable2, 9);
}

TEST_F(RunningRelay, NewSettingsReachTheDeviceAndTheRecord) {
    start();
    PortChoice c1 = choiceFromSettings(serialPort1.settings);
    c1.bps = 15;   // 19200
    c1.bits = 2;   // 7
    c1.pari = 2;   // even
    c1.stop = 2;   // two
    c1.flow = 4;   // Xon/Xoff(x93)
    restartPorts(c1, choiceFromSettings(serialPort2.settings));
    ASSERT_TRUE(serialPort1.isOpen());
    EXPECT_EQ(serialPort1.settings.baudRate, 19200);
    EXPECT_EQ(serialPort1.settings.dataBits, 7);
    EXPECT_EQ(serialPort1.settings.parity, 2);
    EXPECT_EQ(serialPort1.settings.stopBits, 2);
    EXPECT_EQ(serialPort1.settings.flowControl, 4);
    EXPECT_EQ(currentBaudRate(serialPort1.handle.load()), 19200u);
    EXPECT_EQ(displayTitleText(1), "Com1 -> Com2");
    EXPECT_EQ(displayTitleText(2), "Com2 -> Com1");
    EXPECT_EQ(portLabelText(serialPort1), "COM1");
}

TEST_F(RunningRelay, ComPortsCanBeSwappedAndMovedToAnotherDevice) {
    start();
    PortChoice c1 = choiceFromSettings(serialPort1.settings), c2 = choiceFromSettings(serialPort2.settings);
    c1.com = 2;  // cable 3
    c2.com = 0;  // cable 1
    restartPorts(c1, c2);
    ASSERT_TRUE(serialPort1.isOpen());
    ASSERT_TRUE(serialPort2.isOpen());
    EXPECT_EQ(portLabelText(serialPort1), "COM3");
    EXPECT_EQ(portLabelText(serialPort2), "COM1");
    EXPECT_EQ(displayTitleText(1), "Com3 -> Com1");
    EXPECT_EQ(displayTitleText(2), "Com1 -> Com3");
    expectBothDirectionsRelay(cable3, cable1, 4);
}

TEST_F(RunningRelay, APortOnAMissingDeviceIsReportedClosedAndTheOtherChannelWorksOn) {
    start();
    PortChoice c1 = choiceFromSettings(serialPort1.settings);
    c1.com = 4;   // COM5: no such device
    c1.bps = 18;  // 115200, not applied: the port did not open
    restartPorts(c1, choiceFromSettings(serialPort2.settings));

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Com5 Open Error");
    EXPECT_EQ(boxes[0].owner, BoxOwner::MainWindow);
    EXPECT_FALSE(serialPort1.isOpen());
    EXPECT_EQ(serialPort1.settings.comIndex, 4);
    EXPECT_EQ(serialPort1.settings.baudRate, 9600);
    EXPECT_FALSE(relayChannel1.worker.joinable());
    EXPECT_EQ(relayChannel1.stopRequested.load(), 1);

    // Channel 2 still reads its port: the bytes are taken and counted.
    ASSERT_TRUE(serialPort2.isOpen());
    relayChannel2.rateByteCount.exchange(0);
    cable2.send(randomBytes(100, 5));
    int32_t counted = 0;
    for (int i = 0; i < 500 && counted < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        counted += relayChannel2.rateByteCount.exchange(0);
    }
    EXPECT_EQ(counted, 100);
    EXPECT_TRUE(workersSettleAt(0, 1));
}

TEST_F(RunningRelay, ABaudRateOutsideTheListIsKeptWhenItsListHasNoSelection) {
    start(1234);
    const PortChoice c1 = choiceFromSettings(serialPort1.settings);
    EXPECT_EQ(c1.bps, -1);
    EXPECT_EQ(c1.com, 0);
    restartPorts(c1, choiceFromSettings(serialPort2.settings));
    ASSERT_TRUE(serialPort1.isOpen());
    EXPECT_EQ(serialPort1.settings.baudRate, 1234);
    EXPECT_EQ(currentBaudRate(serialPort1.handle.load()), 1234u);
    expectBothDirectionsRelay(cable1, cable2, 6);
}

TEST(PortChoice, StoredValuesMapToListPositionsAndBack) {
    struct Case {
        PortSettings stored;
        PortChoice shown;
    };
    const Case cases[] = {
        {{0, 9600, 8, 0, 0, 0}, {0, 14, 3, 0, 0, 0}},
        {{5, 460800, 5, 2, 2, 4}, {5, 20, 0, 2, 2, 4}},
        {{1, 50, 6, 1, 1, 3}, {1, 0, 1, 1, 1, 3}},
        {{6, 1234, 9, 3, 3, 5}, {-1, -1, -1, -1, -1, -1}},
        {{-1, 0, 0, 255, 255, -7}, {-1, -1, -1, -1, -1, -1}},
    };
    for (const Case& c : cases) {
        const PortChoice shown = choiceFromSettings(c.stored);
        EXPECT_EQ(shown.com, c.shown.com);
        EXPECT_EQ(shown.bps, c.shown.bps);
        EXPECT_EQ(shown.bits, c.shown.bits);
        EXPECT_EQ(shown.pari, c.shown.pari);
        EXPECT_EQ(shown.stop, c.shown.stop);
        EXPECT_EQ(shown.flow, c.shown.flow);
        // Taking the shown lists back changes nothing, also where a list shows nothing.
        const PortSettings back = settingsFromChoice(shown, c.stored);
        EXPECT_EQ(back.baudRate, c.stored.baudRate);
        EXPECT_EQ(back.dataBits, c.stored.dataBits);
        EXPECT_EQ(back.parity, c.stored.parity);
        EXPECT_EQ(back.stopBits, c.stored.stopBits);
        EXPECT_EQ(back.flowControl, c.stored.flowControl);
        EXPECT_EQ(chosenComIndex(shown, c.stored), c.stored.comIndex);
    }
}

TEST(PortChoice, SameComIsJudgedOnWhatEachPortWouldUse) {
    serialPort1.settings.comIndex = 7;
    serialPort2.settings.comIndex = 7;
    EXPECT_TRUE(sameComChoice(PortChoice{}, PortChoice{}));
    EXPECT_FALSE(sameComChoice(PortChoice{.com = 1}, PortChoice{}));
    EXPECT_TRUE(sameComChoice(PortChoice{.com = 1}, PortChoice{.com = 1}));
    serialPort2.settings.comIndex = 8;
    EXPECT_FALSE(sameComChoice(PortChoice{}, PortChoice{}));
}

}  // namespace

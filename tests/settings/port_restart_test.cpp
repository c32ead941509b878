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
#include <array>

#include "relay/relay_channel.h"
#include "relay/serial_termios_linux.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace {

// The relay workers alive in this process, counted by their thread names.
int workerCount(const char* name) {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks)) {
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string line;
            count += entry->d_name[0] != '.' && std::getline(comm, line) && line == name;
        }
        closedir(tasks);
    }
    return count;
}

// True once each channel runs exactly one worker; an ended thread lingers in /proc a moment.
bool oneWorkerPerChannel() {
    for (int i = 0; i < 500; ++i) {
        if (workerCount("vx-relay1") == 1 && workerCount("vx-relay2") == 1) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Three cables on COM1..COM3, ports 1 and 2 open on the first two, workers running.
class RunningRelay : public ::testing::Test {
protected:
    void SetUp() override {
        setBoxFunction([this](const BoxRequest& r) { boxes.push_back(r); });
        dir.write("Vorlinex.ini", "[DATA1]\nCOM=0\nBPS=9600\nBIT=8\n[DATA2]\nCOM=1\nBPS=9600\nBIT=8\n" +
                                      devicesSection({cable1.slavePath(), cable2.slavePath(), cable3.slavePath(), "", "", ""}));
        loadConfig();
        for (auto [port, channel] : {std::pair{&serialPort1, &relayChannel1}, std::pair{&serialPort2, &relayChannel2}}) {
            ASSERT_EQ(openPort(portDeviceNameAt(port->settings.comIndex), port->settings.comIndex + 1, *port), 0);
            configurePort(*port);
            startRelayWorker(*channel);
        }
        ASSERT_TRUE(oneWorkerPerChannel());
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
    static void restartUnchanged() {
        restartPorts(choiceFromSettings(serialPort1.settings), choiceFromSettings(serialPort2.settings));
    }
    // Both directions carry bytes end to end, whole and in order.
    static void expectBothDirectionsRelay(PtyCable& end1, PtyCable& end2, uint32_t seed) {
        const std::string a = randomBytes(700, seed), b = randomBytes(1500, seed + 1);
        end1.send(a);
        end2.send(b);
        EXPECT_TRUE(end2.receive(a.size(), 5000) == a);
        EXPECT_TRUE(end1.receive(b.size(), 5000) == b);
    }

    ScratchDir dir;
    PtyCable cable1, cable2, cable3;
    std::vector<BoxRequest> boxes;
};

TEST_F(RunningRelay, OkWithoutChangeRestartsBothWorkersAndLosesNoQueuedByte) {
    for (int round = 0; round < 3; ++round) {
        // A mouse hold keeps channel 1 from reading, so a burst waits in port 1's input queue
        // across the restart; the hold ends as the user goes for the button.
        relayChannel1.displayMouseHeld = 1;
        leftMouseButtonDown = 1;
        const std::string burst = randomBytes(3000, round);
        cable1.send(burst);
        EXPECT_EQ(cable2.receive(1, 300), "");
        leftMouseButtonDown = 0;
        restartUnchanged();
        relayChannel1.displayMouseHeld = 0;
        ASSERT_TRUE(serialPort1.isOpen() && serialPort2.isOpen());
        EXPECT_TRUE(cable2.receive(burst.size(), 5000) == burst);
        EXPECT_TRUE(oneWorkerPerChannel());
        expectBothDirectionsRelay(cable1, cable2, 10 + round);
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(RunningRelay, RestartEndsAWorkerStuckOnAFullDestination) {
    // Nobody reads port 2's far end: fill the line until channel 1 waits for room to write.
    const std::string block = randomBytes(4096, 3);
    for (;;) {
        if (::write(cable1.master(), block.data(), block.size()) > 0) continue;
        ASSERT_EQ(errno, EAGAIN);
        pollfd room{cable1.master(), POLLOUT, 0};
        if (::poll(&room, 1, 500) == 0) break;
    }
    restartUnchanged();
    ASSERT_TRUE(serialPort1.isOpen() && serialPort2.isOpen());
    EXPECT_TRUE(oneWorkerPerChannel());
    cable2.receiveUntilQuiet(300);
    cable1.receiveUntilQuiet(100);
    expectBothDirectionsRelay(cable1, cable2, 9);
}

TEST_F(RunningRelay, NewSettingsAndSwappedPortsReachTheDevicesAndTheTexts) {
    PortChoice c2 = choiceFromSettings(serialPort2.settings);
    PortChoice c1 = {.com = 2, .bps = 15, .bits = 2, .pari = 2, .stop = 2, .flow = 4};  // COM3 19200 7 even two Xon/Xoff
    c2.com = 0;
    restartPorts(c1, c2);
    ASSERT_TRUE(serialPort1.isOpen() && serialPort2.isOpen());
    const PortSettings& s = serialPort1.settings;
    EXPECT_EQ((std::array{s.comIndex, s.baudRate, int{s.dataBits}, int{s.parity}, int{s.stopBits}, s.flowControl}),
              (std::array{2, 19200, 7, 2, 2, 4}));
    EXPECT_EQ(currentBaudRate(serialPort1.handle.load()), 19200u);
    EXPECT_EQ(portLabelText(serialPort1), "COM3");
    EXPECT_EQ(portLabelText(serialPort2), "COM1");
    EXPECT_EQ(displayTitleText(1), "Com3 -> Com1");
    EXPECT_EQ(displayTitleText(2), "Com1 -> Com3");
    c1 = {.com = 2, .bps = 14, .bits = 3, .pari = 0, .stop = 0, .flow = 0};  // 8 bits, no Xon/Xoff, for raw bytes
    restartPorts(c1, c2);
    expectBothDirectionsRelay(cable3, cable1, 4);
    EXPECT_TRUE(boxes.empty());
}

}  // namespace

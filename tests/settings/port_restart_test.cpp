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

#include "tests/settings/running_relay.h"

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

void restartUnchanged() {
    restartPorts(choiceFromSettings(serialPort1.settings), choiceFromSettings(serialPort2.settings));
}

TEST_F(RunningRelay, OkWithoutChangeRestartsBothWorkersAndLosesNoQueuedByte) {
    startRelay();
    ASSERT_TRUE(oneWorkerPerChannel());
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
    startRelay();
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

}  // namespace

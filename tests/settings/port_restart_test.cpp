// Reopening both ports while the relay runs, on real pseudo-terminals.
#include "settings/port_restart.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tests/settings/running_relay.h"

namespace {

// True once each channel runs exactly one worker (counted by thread name; an ended thread
// lingers in /proc a moment).
bool oneWorkerPerChannel() {
    for (int i = 0; i < 500; ++i) {
        int n1 = 0, n2 = 0;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            std::string name;
            std::getline(std::ifstream(task.path() / "comm"), name);
            n1 += name == "vx-relay1";
            n2 += name == "vx-relay2";
        }
        if (n1 == 1 && n2 == 1) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(RunningRelay, OkWithoutChangeRestartsBothWorkersAndLosesNoQueuedByte) {
    startRelay();
    ASSERT_TRUE(oneWorkerPerChannel());
    for (int round = 0; round < 2; ++round) {
        // A mouse hold keeps channel 1 from reading, so a burst waits in port 1's input queue
        // across the restart; the hold ends as the user goes for the button.
        relayChannel1.displayMouseHeld = 1;
        leftMouseButtonDown = 1;
        const std::string burst = randomBytes(3000, round);
        cable1.send(burst);
        EXPECT_EQ(cable2.receive(1, 300), "");
        leftMouseButtonDown = 0;
        restartPorts(choiceFromSettings(serialPort1.settings), choiceFromSettings(serialPort2.settings));
        relayChannel1.displayMouseHeld = 0;
        ASSERT_TRUE(serialPort1.isOpen() && serialPort2.isOpen());
        EXPECT_TRUE(cable2.receive(burst.size(), 5000) == burst);
        EXPECT_TRUE(oneWorkerPerChannel());
        expectBothDirectionsRelay(cable1, cable2, 10 + round);
    }
    EXPECT_TRUE(boxes.empty());
}

}  // namespace

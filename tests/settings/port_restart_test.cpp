// Reopening both ports while the relay runs, on real pseudo-terminals.
#include "settings/port_restart.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "shell/message_catalogue.h"
#include "tests/settings/running_relay.h"

namespace {

TEST_F(RunningRelay, OkWithoutChangeRestartsBothWorkersAndLosesNoQueuedByte) {
    startRelay();
    ASSERT_TRUE(eventuallyWorkers(1, 1));
    for (int round = 0; round < 2; ++round) {
        // A mouse hold keeps channel 1 from reading, so a burst waits in port 1's input queue
        // across the restart; the hold ends as the user goes for the button.
        relay.relayChannel1.displayMouseHeld = 1;
        relay.leftMouseButtonDown = 1;
        const std::string burst = randomBytes(3000, round);
        cable1.send(burst);
        EXPECT_EQ(cable2.receive(1, 300), "");
        relay.leftMouseButtonDown = 0;
        restartPorts(relay, choiceFromSettings(relay.serialPort1.settings), choiceFromSettings(relay.serialPort2.settings), report);
        relay.relayChannel1.displayMouseHeld = 0;
        ASSERT_TRUE(relay.serialPort1.isOpen() && relay.serialPort2.isOpen());
        EXPECT_TRUE(cable2.receive(burst.size(), 5000) == burst);
        EXPECT_TRUE(eventuallyWorkers(1, 1));
        expectBothDirectionsRelay(cable1, cable2, 10 + round);
    }
    EXPECT_TRUE(boxes.empty());
}

// Writes random bytes into a cable's device end until the relay takes nothing more for a while:
// the far end of the other port does not read, so the worker is stuck inside a chunk and every
// queue on the way is full. Returns what went in.
std::string sendUntilStalled(PtyCable& cable) {
    const std::string pool = randomBytes(1 << 20, 77);
    size_t sent = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - lastProgress < std::chrono::milliseconds(1000) && sent < pool.size()) {
        const ssize_t n = ::write(cable.master(), pool.data() + sent, std::min<size_t>(4096, pool.size() - sent));
        if (n > 0) {
            sent += static_cast<size_t>(n);
            lastProgress = std::chrono::steady_clock::now();
        } else {
            pollfd p{cable.master(), POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
    }
    return pool.substr(0, sent);
}

// What the device end still holds after the program closed the other end of the cable.
std::string drainClosedCable(PtyCable& cable) {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(cable.master(), buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
    return out;
}

// OK while port 2's far end does not read: port 2 kept (COM2) or moved to COM3. Then the far
// ends read: every byte that reached port 1 arrives once, in order, none lost in the restart.
class RestartWithAStalledDestination : public RunningRelay, public ::testing::WithParamInterface<int> {};

TEST_P(RestartWithAStalledDestination, LosesNoByteAndLeavesOneWorkerPerChannel) {
    const int port2Com = GetParam();
    startRelay();
    const std::string sent = sendUntilStalled(cable1);
    ASSERT_GT(sent.size(), 8192u);
    PortChoice choice2 = choiceFromSettings(relay.serialPort2.settings);
    choice2.com = port2Com;
    restartPorts(relay, choiceFromSettings(relay.serialPort1.settings), choice2, report);
    ASSERT_TRUE(relay.serialPort1.isOpen() && relay.serialPort2.isOpen());
    EXPECT_TRUE(eventuallyWorkers(1, 1));

    PtyCable& destination = port2Com == 1 ? cable2 : cable3;
    std::string got = port2Com == 1 ? "" : drainClosedCable(cable2);
    got += destination.receive(sent.size() - std::min(sent.size(), got.size()), 5000);
    const size_t same = static_cast<size_t>(std::mismatch(got.begin(), got.end(), sent.begin(), sent.end()).first - got.begin());
    EXPECT_TRUE(got.size() == sent.size() && same == sent.size())
        << sent.size() << " bytes sent, " << got.size() << " arrived, the first " << same << " in order";
    expectBothDirectionsRelay(cable1, destination, 20);
    EXPECT_TRUE(boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(PortTwoKeptOrMoved, RestartWithAStalledDestination, ::testing::Values(1, 2),
                         [](const auto& c) { return c.param == 1 ? std::string("Kept") : std::string("Moved"); });

}  // namespace

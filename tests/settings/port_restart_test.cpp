// Reopening both ports while the relay runs, on real pseudo-terminals.
#include "settings/port_restart.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "relay/relay.h"
#include "shell/message_catalogue.h"
#include "tests/relay/relay_fixture.h"

namespace {

// Writes random bytes into a cable's device end until the relay takes nothing more for a while:
// the far end of the other port does not read, so the worker is stuck inside a chunk and every
// queue on the way is full. Returns what went in.
std::string sendUntilStalled(PtyCable& cable) {
    const std::string pool = randomBytes(1 << 20, 77);
    size_t sent = 0;
    for (auto last = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - last < std::chrono::seconds(1) && sent < pool.size();) {
        pollfd p{cable.master(), POLLOUT, 0};
        const ssize_t n = ::poll(&p, 1, 50) > 0 ? ::write(cable.master(), pool.data() + sent, std::min<size_t>(4096, pool.size() - sent)) : 0;
        if (n > 0) sent += static_cast<size_t>(n), last = std::chrono::steady_clock::now();
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

// Three cables on COM1..COM3; ports 1 and 2 relay on the first two. OK while port 2's far end
// does not read: port 2 kept (COM2) or moved to COM3. Then the far ends read: every byte that
// reached port 1 arrives once, in order, none lost or purged in the restart. A second restart,
// unchanged and idle, relays as well.
class RestartWithAStalledDestination : public ::testing::TestWithParam<int> {
protected:
    void restart(int port2Com) {
        PortChoice choice2 = choiceFromSettings(relay.serialPort2.settings);
        choice2.com = port2Com;
        restartPorts(relay, choiceFromSettings(relay.serialPort1.settings), choice2, report);
        ASSERT_TRUE(relay.serialPort1.isOpen() && relay.serialPort2.isOpen());
        EXPECT_TRUE(eventuallyWorkers(1, 1));
    }
    PtyCable cable1, cable2, cable3;
    Relay relay;
    std::vector<BoxRequest> boxes;
    PortOpenReport report = [this](int result, int64_t port) { reportPortOpen([this](const BoxRequest& r) { boxes.push_back(r); }, result, port); };
};

TEST_P(RestartWithAStalledDestination, LosesNoByteAndLeavesOneWorkerPerChannel) {
    const int port2Com = GetParam();
    relay.serialPort1.settings = {0, 9600, 8};
    relay.serialPort2.settings = {1, 9600, 8};
    restartPortsOnDevices(relay, {cable1.slavePath(), cable2.slavePath(), cable3.slavePath(), "", "", ""}, report);
    const std::string sent = sendUntilStalled(cable1);
    ASSERT_GT(sent.size(), 8192u);
    restart(port2Com);

    PtyCable& destination = port2Com == 1 ? cable2 : cable3;
    std::string got = port2Com == 1 ? "" : drainClosedCable(cable2);
    got += destination.receive(sent.size() - std::min(sent.size(), got.size()), 5000);
    const size_t same = static_cast<size_t>(std::mismatch(got.begin(), got.end(), sent.begin(), sent.end()).first - got.begin());
    EXPECT_TRUE(got.size() == sent.size() && same == sent.size())
        << sent.size() << " bytes sent, " << got.size() << " arrived, the first " << same << " in order";
    expectRelaysBothWays(cable1, destination, 20);
    restart(port2Com);
    expectRelaysBothWays(cable1, destination, 30);
    EXPECT_TRUE(boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(PortTwoKeptOrMoved, RestartWithAStalledDestination, ::testing::Values(1, 2),
                         [](const auto& c) { return c.param == 1 ? std::string("Kept") : std::string("Moved"); });

}  // namespace

// OK of the serial settings dialog on real cables, on every platform: the ports are set up
// again or moved to another COM name, and the relay goes on both ways afterwards.
#include "settings/port_restart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "relay/relay.h"
#include "tests/support/pty_cable.h"

namespace {

// New line settings on the same names, then port 2 moved to a third cable and back: each time
// both directions relay every byte, and the ports hold the names and settings chosen.
TEST(RestartPortsOnCables, NewSettingsAndAMovedPortRelayBothWaysAfterwards) {
    PtyCable cable1, cable2, cable3;
    Relay relay;
    relay.serialPort1.settings = {0, 9600, 8};
    relay.serialPort2.settings = {1, 9600, 8};
    const PortOpenReport report = [](int result, int64_t, const PortOpenFailure&) { EXPECT_EQ(result, PortOpened); };
    restartPortsOnDevices(relay, {cable1.slavePath(), cable2.slavePath(), cable3.slavePath(), "", "", ""}, report);
    ASSERT_TRUE(relay.serialPort1.isOpen() && relay.serialPort2.isOpen());
    expectRelaysBothWays(cable1, cable2, 1);

    PortChoice choice1 = choiceFromSettings(relay.serialPort1.settings);
    PortChoice choice2 = choiceFromSettings(relay.serialPort2.settings);
    const auto fast = std::find(baudRateChoices.begin(), baudRateChoices.end(), std::string_view("115200"));
    ASSERT_NE(fast, baudRateChoices.end());
    choice1.bps = choice2.bps = static_cast<int>(fast - baudRateChoices.begin());
    restartPorts(relay, choice1, choice2, report);
    EXPECT_EQ(relay.serialPort1.settings.baudRate, 115200);
    EXPECT_EQ(relay.serialPort2.settings.baudRate, 115200);
    expectRelaysBothWays(cable1, cable2, 2);

    choice2 = choiceFromSettings(relay.serialPort2.settings);
    choice2.com = 2;
    restartPorts(relay, choiceFromSettings(relay.serialPort1.settings), choice2, report);
    EXPECT_EQ(relay.serialPort2.settings.comIndex, 2);
    expectRelaysBothWays(cable1, cable3, 3);

    choice2.com = 1;
    restartPorts(relay, choiceFromSettings(relay.serialPort1.settings), choice2, report);
    EXPECT_EQ(relay.serialPort2.settings.comIndex, 1);
    expectRelaysBothWays(cable1, cable2, 4);
    relay.stopRelayAndClosePorts();
}

}  // namespace

// OK of the serial settings dialog on real cables, on every platform: the ports are set up
// again or moved to another COM name, and the relay goes on both ways afterwards; a port that
// does not open says why and is not tried again and again.
#include "settings/port_restart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "shell/message_catalogue.h"
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

// OK with COM1 and COM2 led to one device: the second is refused naming the first, and waits for
// the user rather than being tried again and again; each refusal's box says why.
TEST(RestartPortsOnCables, TellsWhyAPortDoesNotOpenAndRefusesTheOtherPortsDevice) {
    PtyCable cable1, cable2;
    Relay relay;
    relay.serialPort1.settings = {0, 9600, 8};
    relay.serialPort2.settings = {1, 9600, 8};
    std::vector<std::string> boxes;
    const PortOpenReport report = [&](int result, int64_t portNumber, const PortOpenFailure& failure) {
        std::string text;
        reportPortOpen([&](const BoxRequest& box) { text = box.text; }, result, portNumber, failure);
        boxes.push_back(text);
    };
    const std::string shared = cable1.slavePath();
    restartPortsOnDevices(relay, {shared, shared, "", "", "", ""}, report);
    EXPECT_EQ(boxes, (std::vector<std::string>{"", "Com2 Open Error\n" + shared + " is already open as COM1"}));
    for (int second = 0; second < 3; ++second)
        EXPECT_FALSE(reconnectPorts(relay, std::chrono::steady_clock::now() + std::chrono::seconds(second)));
    EXPECT_TRUE(relay.serialPort1.isOpen() && !relay.serialPort2.isOpen());
    EXPECT_EQ(portStatusText(relay), "COM2: " + shared + " is already open as COM1");

    boxes.clear();
    restartPortsOnDevices(relay, {shared, cable2.slavePath(), "/nonexistent/vorlinex-tty", "", "", ""}, report);
    EXPECT_EQ(boxes, std::vector<std::string>{""});  // port 1 keeps its device
    EXPECT_TRUE(relay.serialPort2.isOpen());
    EXPECT_EQ(portStatusText(relay), "");

    PortChoice moved = choiceFromSettings(relay.serialPort2.settings);
    moved.com = 2;
    boxes.clear();
    restartPorts(relay, choiceFromSettings(relay.serialPort1.settings), moved, report);
    // Why it is missing is the system's word (and the program tests'): the port and its path.
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].starts_with("Com3 Open Error\n/nonexistent/vorlinex-tty")) << boxes[0];
    EXPECT_TRUE(portStatusText(relay).starts_with("COM3: /nonexistent/vorlinex-tty")) << portStatusText(relay);
    EXPECT_FALSE(relay.serialPort2.isOpen());
    relay.stopRelayAndClosePorts();
}

}  // namespace

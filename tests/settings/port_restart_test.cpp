// OK of the serial settings dialog on real cables: the ports set up again or moved, relaying after.
#include "settings/port_restart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace {

// [Linux, which refuses what Windows does not check] COM1 and COM2 led to one device: the second
// is refused naming the first, and waits for the user rather than being tried again and again.
// Then new line settings, port 2 moved to a third cable and to a missing device: both ways relay.
TEST(RestartPorts, NewSettingsAndMovedPortsRelayBothWaysAndAPortThatDoesNotOpenSaysWhy) {
    PtyCable cable1, cable2, cable3;
    Relay relay;
    relay.serialPort1.settings = {0, 9600, 8};
    relay.serialPort2.settings = {1, 9600, 8};
    std::vector<std::string> boxes;
    const PortOpenReport report = [&](int result, int64_t portNumber, const PortOpenFailure& failure) {
        std::string text;
        reportPortOpen([&](const BoxRequest& box) { text = box.text; }, result, portNumber, failure);
        EXPECT_TRUE(result == PortOpened || !text.empty()) << result;
        boxes.push_back(text);
    };
    const std::string shared = cable1.slavePath(), missing = "/nonexistent/vorlinex-tty";
#ifndef _WIN32
    restartPortsOnDevices(relay, {shared, shared, "", "", "", ""}, report);
    EXPECT_EQ(boxes, (std::vector<std::string>{"", "Com2 Open Error\n" + shared + " is already open as COM1"}));
    for (int second = 0; second < 3; ++second)
        EXPECT_FALSE(reconnectPorts(relay, std::chrono::steady_clock::now() + std::chrono::seconds(second)));
    EXPECT_TRUE(relay.serialPort1.isOpen() && !relay.serialPort2.isOpen() && relay.serialPort2.presence.load() == PortHalted);
    EXPECT_EQ(portStatusText(relay), "COM2: " + shared + " is already open as COM1");
    boxes.clear();
#endif
    restartPortsOnDevices(relay, {shared, cable2.slavePath(), cable3.slavePath(), missing, "", ""}, report);
    EXPECT_TRUE(relay.serialPort1.isOpen() && relay.serialPort2.isOpen());
    EXPECT_EQ(portStatusText(relay), "");
#ifndef _WIN32
    EXPECT_EQ(boxes, std::vector<std::string>{""});  // port 1 keeps its device
#endif
    expectRelaysBothWays(cable1, cable2, 1);

    PortChoice choice1 = choiceFromSettings(relay.serialPort1.settings), choice2 = choiceFromSettings(relay.serialPort2.settings);
    const auto fast = std::find(baudRateChoices.begin(), baudRateChoices.end(), std::string_view("115200"));
    choice1.bps = choice2.bps = static_cast<int>(fast - baudRateChoices.begin());
    restartPorts(relay, choice1, choice2, report);
    EXPECT_TRUE(relay.serialPort1.settings.baudRate == 115200 && relay.serialPort2.settings.baudRate == 115200);
    expectRelaysBothWays(cable1, cable2, 2);
    choice2.com = 2;
    restartPorts(relay, choice1, choice2, report);
    EXPECT_EQ(relay.serialPort2.settings.comIndex, 2);
    expectRelaysBothWays(cable1, cable3, 3);
    EXPECT_EQ(static_cast<size_t>(std::count(boxes.begin(), boxes.end(), "")), boxes.size());

    choice2.com = 3;
    boxes.clear();
    restartPorts(relay, choice1, choice2, report);
    EXPECT_TRUE(boxes.back().starts_with("Com4 Open Error\n")) << boxes.back();
#ifndef _WIN32
    EXPECT_EQ(boxes.back(), "Com4 Open Error\n" + missing + ": No such file or directory (it opens by itself once it is there)");
    EXPECT_EQ(portStatusText(relay), "COM4: " + missing + " unplugged, waiting");
#endif
    cable1.send("for COM4");  // port 2 is away: counted, not sent anywhere
    EXPECT_TRUE(eventually([&] { return relay.relayChannel1.undeliveredBytes.load() == 8; }));
    relay.stopRelayAndClosePorts();
}

}  // namespace

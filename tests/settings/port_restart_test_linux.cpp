// OK of the serial settings dialog where Linux refuses what Windows does not check: COM1 and COM2
// led to one device.
#include <gtest/gtest.h>

#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "settings/port_restart.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

namespace {

// OK with COM1 and COM2 led to one device: the second is refused naming the first, and waits for
// the user rather than being tried again and again; each refusal's box says why.
TEST(RestartPorts, TellsWhyAPortDoesNotOpenAndRefusesTheOtherPortsDevice) {
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
    EXPECT_TRUE(relay.serialPort1.isOpen() && !relay.serialPort2.isOpen() && relay.serialPort2.presence.load() == PortHalted);
    EXPECT_EQ(portStatusText(relay), "COM2: " + shared + " is already open as COM1");

    boxes.clear();
    restartPortsOnDevices(relay, {shared, cable2.slavePath(), "/nonexistent/vorlinex-tty", "", "", ""}, report);
    EXPECT_EQ(boxes, std::vector<std::string>{""});  // port 1 keeps its device
    EXPECT_TRUE(relay.serialPort2.isOpen());
    EXPECT_EQ(portStatusText(relay), "");
    expectRelaysBothWays(cable1, cable2, 1);

    PortChoice moved = choiceFromSettings(relay.serialPort2.settings);
    moved.com = 2;
    boxes.clear();
    restartPorts(relay, choiceFromSettings(relay.serialPort1.settings), moved, report);
    EXPECT_EQ(boxes, std::vector<std::string>{"Com3 Open Error\n/nonexistent/vorlinex-tty: No such file or directory (it opens by itself once it is there)"});
    EXPECT_EQ(portStatusText(relay), "COM3: /nonexistent/vorlinex-tty unplugged, waiting");
    cable1.send("for COM3");  // port 2 is away: counted, not sent anywhere
    EXPECT_TRUE(eventually([&] { return relay.relayChannel1.undeliveredBytes.load() == 8; }));
    relay.stopRelayAndClosePorts();
}

}  // namespace

// Reopening the ports while both workers relay, without windows, so that the thread sanitizer sees
// it (what a restart keeps, moves and delivers is the serial and devices dialogs' case).
#include "settings/port_restart.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

#include "relay/relay.h"
#include "tests/support/pty_cable.h"

TEST(RestartPorts, MovesAndKeepsAPortUnderTrafficBothWays) {
    PtyCable cable1, cable2, cable3;
    Relay relay;
    relay.serialPort1.settings = {0, 9600, 8};
    relay.serialPort2.settings = {1, 9600, 8};
    const PortOpenReport report = [](int result, int64_t, const PortOpenFailure&) { EXPECT_EQ(result, PortOpened); };
    restartPortsOnDevices(relay, {cable1.slavePath(), cable2.slavePath(), cable3.slavePath(), "", "", ""}, report);
    for (int port2Com : {2, 1, 1}) {
        PortChoice choice2 = choiceFromSettings(relay.serialPort2.settings);
        choice2.com = port2Com;
        // Bytes both ways, as much as the lines take, while the restart stops, reopens and restarts.
        std::jthread traffic([&](std::stop_token stop) {
            const std::string bytes = randomBytes(512, port2Com);
            for (char sink[4096]; !stop.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
                for (PtyCable* end : {&cable1, &cable2, &cable3}) {
                    if (::write(end->master(), bytes.data(), bytes.size()) < 0) {}
                    while (::read(end->master(), sink, sizeof sink) > 0) {}
                }
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        restartPorts(relay, choiceFromSettings(relay.serialPort1.settings), choice2, report);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    relay.stopRelayAndClosePorts();
}

// A relay running on pseudo-terminals for the tests that reopen its ports.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/relay.h"
#include "relay/serial_port.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

// Three cables on COM1..COM3; ports 1 and 2 open on the first two, their workers running.
class RunningRelay : public ::testing::Test {
protected:
    RunningRelay() : RunningRelay(ownRelay) {}
    // Runs the given relay (an application's) instead of one of its own.
    explicit RunningRelay(Relay& running) : relay(running) {}
    void startRelay(int baud1 = 9600) {
        dir.write("Vorlinex.ini", "[DATA1]\nCOM=0\nBPS=" + std::to_string(baud1) + "\nBIT=8\n[DATA2]\nCOM=1\nBPS=9600\nBIT=8\n" +
                                      devicesSection({cable1.slavePath(), cable2.slavePath(), cable3.slavePath(), "", "", ""}));
        applyConfig(relay, loadConfig());
        for (auto [port, channel] : {std::pair{&relay.serialPort1, &relay.relayChannel1}, std::pair{&relay.serialPort2, &relay.relayChannel2}}) {
            ASSERT_EQ(relay.openPort(portDeviceNameAt(port->settings.comIndex), *port), 0);
            configurePort(*port);
            startRelayWorker(*channel);
        }
    }
    void TearDown() override {
        for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) requestWorkerStop(*channel), joinRelayWorker(*channel);
        closePort(relay.serialPort1);
        closePort(relay.serialPort2);
    }
    // Both directions carry bytes end to end, whole and in order.
    static void expectBothDirectionsRelay(PtyCable& end1, PtyCable& end2, uint32_t seed) {
        const std::string a = randomBytes(700, seed), b = randomBytes(1500, seed + 1);
        end1.send(a);
        end2.send(b);
        EXPECT_TRUE(end2.receive(a.size(), 5000) == a && end1.receive(b.size(), 5000) == b);
    }

    ScratchDir dir;
    Relay ownRelay;
    Relay& relay;
    PtyCable cable1, cable2, cable3;
    std::vector<BoxRequest> boxes;
    // Records the boxes; the outcome of each reopening worded as the shell words it.
    BoxFunction record = [this](const BoxRequest& r) { boxes.push_back(r); };
    PortOpenReport report = [this](int result, int64_t portNumber) { reportPortOpen(record, result, portNumber); };
};

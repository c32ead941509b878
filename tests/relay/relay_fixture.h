// An application's relay on two real pseudo-terminal cables behind symbolic links (adapters the
// test can unplug), its ports opened and set up as the program does; the test holds the far ends.
#pragma once

#include <gtest/gtest.h>

#include "relay/port_reconnect.h"
#include "shell/application.h"
#include "tests/support/pty_cable.h"

class RelayTest : public ::testing::Test {
protected:
    // Opens and sets up the ports as the INI file maps them; a missing adapter's port stays away.
    void SetUp() override {
        dir.write("Vorlinex.ini", "[DATA1]\nCOM=0\nBPS=115200\nBIT=8\n[DATA2]\nCOM=1\nBPS=115200\nBIT=8\n" +
                                      devicesSection({adapter1.path(), adapter2.path(), "", "", "", ""}));
        applyConfig(relay, loadConfig());
        for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
            if (relay.openPort(portDeviceNameAt(channel->source.settings.comIndex), channel->source) == PortOpened)
                configurePort(channel->source);
            // Each worker fills its own record; the test reads them after the join.
            channel->chunkObserver = [this, n = channel->number](const uint8_t* bytes, int32_t length, int32_t stamp) {
                chunks[n - 1].emplace_back(reinterpret_cast<const char*>(bytes), length);
                stamps[n - 1].push_back(stamp);
            };
        }
    }
    void startBoth() {
        for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2})
            if (channel->source.isOpen()) startRelayWorker(*channel);
    }
    PtyCable& cable(int number) { return (number == 1 ? adapter1 : adapter2).device(); }

    ScratchDir dir;
    PluggableCable adapter1{dir.file("ttyUSB0")}, adapter2{dir.file("ttyUSB1")};
    std::vector<std::string> chunks[2];
    std::vector<int32_t> stamps[2];
    Application app;  // its end stops the workers before the records above go
    Relay& relay = app.relay;
};

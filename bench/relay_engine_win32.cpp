// The relay engine alone on Windows: the engine's start-up steps between the COM ports of the
// Vorlinex.ini in the current directory, relaying until its standard input ends. It holds no
// cable and measures nothing itself: the Linux bench_relay_engine --wine runs it under Wine
// between COM ports it maps onto its own pty cables, and measures it there beside socat.
#include <cstdio>

#include "relay/relay.h"
#include "relay/serial_port.h"
#include "settings/config.h"

int main() {
    Relay relay;
    applyConfig(relay, loadConfig());
    int opened = 0;
    if (relay.openPort(portDeviceNameAt(relay.serialPort1.settings.comIndex), relay.serialPort1) == 0) {
        configurePort(relay.serialPort1);
        startRelayWorker(relay.relayChannel1);
        ++opened;
    }
    if (relay.openPort(portDeviceNameAt(relay.serialPort2.settings.comIndex), relay.serialPort2) == 0) {
        configurePort(relay.serialPort2);
        startRelayWorker(relay.relayChannel2);
        ++opened;
    }
    std::fprintf(stderr, "bench_relay_engine: %d of 2 ports open, relaying until standard input ends\n",
                 opened);
    while (std::fgetc(stdin) != EOF) {
    }
    relay.stopRelayAndClosePorts();
    return opened == 2 ? 0 : 1;
}

// Port restart as OK of the serial settings dialog does it: the time from the start of
// restartPorts to both workers relaying again (a byte sent each way after the call arrives),
// repeated, over two pty cables.
//
//   bench_restart [--rounds N]
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/relay_measure.h"
#include "relay/relay.h"
#include "relay/serial_port.h"
#include "settings/config.h"
#include "settings/port_restart.h"
#include "shell/message_catalogue.h"

namespace {

// Waits for `byte` to arrive on fd; false after timeoutMs.
bool arrives(int fd, char byte, int timeoutMs) {
    bench::StreamCheck c = bench::readAndCompare(fd, std::string(1, byte), timeoutMs);
    return c.received == 1 && c.wrong == 0;
}

// Opens both ports of the INI in the current folder and starts both workers; true once bytes
// go both ways.
bool startRelaying(Relay& relay, PtyCable& port1, PtyCable& port2) {
    applyConfig(relay, loadConfig());
    if (relay.openPort(portDeviceNameAt(relay.serialPort1.settings.comIndex), relay.serialPort1) != 0 ||
        relay.openPort(portDeviceNameAt(relay.serialPort2.settings.comIndex), relay.serialPort2) != 0) {
        std::printf("bench_restart: the ports did not open\n");
        return false;
    }
    configurePort(relay.serialPort1);
    startRelayWorker(relay.relayChannel1);
    configurePort(relay.serialPort2);
    startRelayWorker(relay.relayChannel2);
    if (!bench::waitRelaying(port1, port2, 10) || !bench::waitRelaying(port2, port1, 10)) {
        std::printf("bench_restart: the relay does not run before the restart\n");
        return false;
    }
    return true;
}

// Restarts the ports `rounds` times, each followed by a byte each way; prints the times.
void restartRounds(Relay& relay, PtyCable& port1, PtyCable& port2, int rounds) {
    std::vector<double> callMs;
    std::vector<double> relayingMs;
    int failed = 0;
    for (int r = 0; r < rounds; ++r) {
        PortChoice c1 = choiceFromSettings(relay.serialPort1.settings);
        PortChoice c2 = choiceFromSettings(relay.serialPort2.settings);
        auto t0 = bench::Clock::now();
        restartPorts(relay, c1, c2, [](int result, int64_t port, const PortOpenFailure& failure) { reportPortOpen({}, result, port, failure); });
        double call = bench::secondsSince(t0) * 1000;
        char a = static_cast<char>('a' + r % 26);
        char b = static_cast<char>('A' + r % 26);
        bench::writeAll(port1.master(), std::string(1, a));
        bench::writeAll(port2.master(), std::string(1, b));
        bool ok = arrives(port2.master(), a, 5000);
        ok = arrives(port1.master(), b, 5000) && ok;
        double relaying = bench::secondsSince(t0) * 1000;
        if (!ok) {
            ++failed;
            bench::drain(port1.master(), 300);
            bench::drain(port2.master(), 300);
            continue;
        }
        callMs.push_back(call);
        relayingMs.push_back(relaying);
    }
    bench::printSpread("restartPorts call itself", callMs, "ms");
    bench::printSpread("OK to both directions relaying again", relayingMs, "ms");
    std::printf("  rounds where a byte did not arrive within 5 s: %d of %d\n", failed, rounds);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const int rounds = std::max(1, static_cast<int>(bench::numberOption(argc, argv, "--rounds", 20)));
    ScratchDir dir;
    PtyCable port1;
    PtyCable port2;
    dir.write("Vorlinex.ini", bench::relayIni(port1.slavePath(), port2.slavePath(), 115200));
    Relay relay;
    if (!startRelaying(relay, port1, port2)) return 1;
    std::printf("bench_restart: restartPorts (same settings, both ports) until a byte sent each "
                "way after it arrives; %d rounds over pty cables\n", rounds);
    restartRounds(relay, port1, port2, rounds);
    relay.stopRelayAndClosePorts();
    return 0;
}

// The relay engine alone (two workers, no windows, no display, no log) against socat, both
// between two pty cables in the same run. The engine runs in a child process of its own so
// that its CPU time is measured apart from the harness that feeds and reads the cables.
//
//   bench_relay_engine [--mb N] [--messages N] [--idle S] [--rounds N]
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "bench/relay_measure.h"
#include "relay/relay.h"
#include "relay/serial_port.h"
#include "settings/config.h"

namespace {

// The child: the start-up steps of the relay engine, then wait for SIGTERM and stop soundly.
[[noreturn]] void runEngine() {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    // Blocked before any thread starts, so the workers inherit the mask and sigwait gets it.
    sigprocmask(SIG_BLOCK, &term, nullptr);

    Relay relay;
    applyConfig(relay, loadConfig());
    if (relay.openPort(portDeviceNameAt(relay.serialPort1.settings.comIndex), relay.serialPort1) == 0) {
        configurePort(relay.serialPort1);
        startRelayWorker(relay.relayChannel1);
    }
    if (relay.openPort(portDeviceNameAt(relay.serialPort2.settings.comIndex), relay.serialPort2) == 0) {
        configurePort(relay.serialPort2);
        startRelayWorker(relay.relayChannel2);
    }
    int sig = 0;
    sigwait(&term, &sig);
    relay.stopRelayAndClosePorts();
    std::fflush(nullptr);
    ::_exit(0);  // not exit(): the parent's objects (cables, scratch folder) are not ours
}

ScratchDir* scratch = nullptr;  // the current directory of the engine's child

pid_t startEngine(const std::string& slave1, const std::string& slave2) {
    scratch->write("Vorlinex.ini", bench::relayIni(slave1, slave2, 115200));
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) runEngine();
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    bench::Options opt = bench::parseOptions(argc, argv);
    ScratchDir dir;
    scratch = &dir;
    std::printf("bench_relay_engine: the relay engine (child process, 2 workers, no display, no log) "
                "against socat -b 65536, both between two pty cables\n");
    bench::printSetting(opt);
    std::fflush(stdout);

    bench::Subject ref({"socat", bench::startSocat});
    bench::Subject engine({"engine", startEngine});
    bench::measurePair(ref, engine, opt);
    if (!ref.f.relaying) std::printf("socat did not relay (is it installed?)\n");
    int missed = bench::printComparison(ref.f, engine.f, "engine", opt);
    std::printf("\n%d target(s) missed\n", missed);
    return 0;
}

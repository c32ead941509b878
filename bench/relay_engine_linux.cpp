// The relay engine alone (two workers, no windows, no display, no log) against socat, both
// between two pty cables in the same run. The engine runs in a child process of its own so
// that its CPU time is measured apart from the harness that feeds and reads the cables.
//
//   bench_relay_engine [--mb N] [--messages N] [--idle S] [--rounds N] [--wine ENGINE.exe]
//
// With --wine, the Windows build of the engine is measured too, under Wine (the WINEPREFIX the
// caller set), against socat in a second pair: Wine's registry maps its COM1 and COM2 onto the
// slaves of its cables.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

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
    return bench::forkInto(runEngine);
}

// The Windows engine under Wine: COM1 and COM2 are the two slaves in Wine's port map (read when
// Wine's server starts, so the server is restarted, here, so that what it prints when it ends
// does not run into the figures), the settings name the ports themselves.
std::string wineEngine;

pid_t startWineEngine(const std::string& slave1, const std::string& slave2) {
    scratch->write("ports.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n"
                                "\"COM1\"=\"" + slave1 + "\"\r\n\"COM2\"=\"" + slave2 + "\"\r\n");
    std::string windowsPath = "Z:" + scratch->file("ports.reg");
    for (char& c : windowsPath) {
        if (c == '/') c = '\\';
    }
    const std::string mapPorts = "export WINEDEBUG=-all; wine regedit /S '" + windowsPath +
                                 "' && { wineserver -k; wineserver -w; wineserver -p5; } >/dev/null 2>&1; true";
    if (std::system(mapPorts.c_str()) != 0) {
        std::printf("could not write Wine's port map (is wine installed, WINEPREFIX set?)\n");
        return -1;
    }
    std::string ini = bench::relayIni(slave1, slave2, 115200);
    ini.erase(ini.find("[DEVICES]"));
    scratch->write("Vorlinex.ini", ini);
    int input[2];
    if (::pipe(input) != 0) return -1;
    const pid_t pid = bench::launch(bench::Launch({"wine", wineEngine}).env("WINEDEBUG", "-all").beforeExec([&] {
        ::dup2(input[0], 0);
        ::close(input[0]);
        ::close(input[1]);
    }));
    ::close(input[0]);  // the write end stays open: the engine relays until it is stopped
    return pid;
}

// The engine against socat, judged against the targets; returns the number missed.
int measureEngine(const bench::Options& opt) {
    std::printf("bench_relay_engine: the relay engine (child process, 2 workers, no display, no log) "
                "against socat -b 65536, both between two pty cables\n");
    bench::printSetting(opt);
    std::fflush(stdout);
    const int missed = bench::measureAgainstSocat({"engine", startEngine}, opt);
    std::printf("\n%d target(s) missed\n", missed);
    return missed;
}

// The Windows build under Wine against socat, figures only.
void measureWineEngine(const bench::Options& opt) {
    std::printf("\nthe Windows build of the engine under Wine (%s) against socat; its CPU is the "
                "engine's process alone, not Wine's server; the targets above are the Linux "
                "engine's, these figures are reported only\n", wineEngine.c_str());
    std::fflush(stdout);
    bench::measureAgainstSocat({"wine", startWineEngine}, opt, false);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    bench::Options opt = bench::parseOptions(argc, argv);
    // Taken before the scratch folder becomes the current one, so that a relative path still
    // finds the program.
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--wine") wineEngine = std::filesystem::absolute(argv[i + 1]).string();
    }
    ScratchDir dir;
    scratch = &dir;
    measureEngine(opt);
    if (!wineEngine.empty()) measureWineEngine(opt);
    return 0;
}

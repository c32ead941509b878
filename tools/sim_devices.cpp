// sim_devices: the demo's two serial devices and the virtual cables to the program.
//
//   sim_devices DEMO_FOLDER [--until-pid PID] [--seconds N] [--baud N]
//
// Makes one pseudo-terminal per port, writes DEMO_FOLDER/Vorlinex.ini pointing COM1 and COM2 at
// their slave sides (COM3..COM6 at paths that do not exist, so the machine's own serial devices
// are never touched), writes DEMO_FOLDER/devices.txt once everything is ready, and then runs
// device A (a host) on port 1 and device B (an instrument) on port 2 until SIGTERM/SIGINT, until
// process PID has ended, or for N seconds. --baud sets both ports' rate in the INI (9600 unless
// given), which also paces the devices' Modbus RTU. At the end it prints what went each way, the
// Modbus transactions, and whether every byte arrived in order.
#include "tools/sim_devices.h"

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

namespace {

std::atomic<bool> stopSignal{false};

void onStopSignal(int) { stopSignal.store(true); }

bool writeFileAtomically(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream f(temporary, std::ios::binary | std::ios::trunc);
        if (!(f << content) || !f.flush()) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string demoIni(const std::string& com1, const std::string& com2, long baud) {
    const std::string b = std::to_string(baud);
    std::string ini;
    ini += "[DATA1]\nCOM=0\nBPS=" + b + "\nBIT=8\nPARI=0\nSTOP=0\nFLOW=0\n";
    ini += "[DATA2]\nCOM=1\nBPS=" + b + "\nBIT=8\nPARI=0\nSTOP=0\nFLOW=0\n";
    // Figures refresh every second; a date-time line marks traffic after 3 quiet seconds.
    ini += "[DATA]\nRATE=1\nDMODE=0\nCRLF=0\nDATETIME=1\nDATETIMEVAL=3\n";
    // The timeline opens on its records; its Frames view reads the devices' Modbus RTU, the master
    // found from who answers whom, a quiet gap of 3.5 characters, a second for an answer.
    ini += "[DECODE]\nView=Records\nProtocol=modbus-rtu\nGap=0\nMaster=0\nTimeout=1000\nErrorsOnly=0\n";
    ini += "[DEVICES]\nCOM1=" + com1 + "\nCOM2=" + com2 + "\n";
    for (int i = 3; i <= 6; ++i) {
        ini += "COM" + std::to_string(i) + "=/nonexistent/vorlinex-demo-com" + std::to_string(i) + "\n";
    }
    return ini;
}

int usage() {
    std::cerr << "usage: sim_devices DEMO_FOLDER [--until-pid PID] [--seconds N] [--baud N]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string folder = argv[1];
    long untilPid = 0;
    long seconds = 0;
    long baud = 9600;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        char* end = nullptr;
        const long value = std::strtol(argv[++i], &end, 10);
        if (*end != '\0' || value <= 0) return usage();
        if (arg == "--until-pid") {
            untilPid = value;
        } else if (arg == "--seconds") {
            seconds = value;
        } else if (arg == "--baud") {
            baud = value;
        } else {
            return usage();
        }
    }

    struct stat st{};
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::cerr << "sim_devices: " << folder << " is not a folder\n";
        return 1;
    }

    struct sigaction sa{};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    SimPty portA;
    SimPty portB;
    if (!writeFileAtomically(folder + "/Vorlinex.ini", demoIni(portA.slavePath(), portB.slavePath(), baud))) {
        std::cerr << "sim_devices: cannot write " << folder << "/Vorlinex.ini\n";
        return 1;
    }
    // devices.txt comes last: whoever waits for it finds the INI complete.
    if (!writeFileAtomically(folder + "/devices.txt",
                             "COM1=" + portA.slavePath() + "\nCOM2=" + portB.slavePath() + "\n")) {
        std::cerr << "sim_devices: cannot write " << folder << "/devices.txt\n";
        return 1;
    }
    std::cout << "device A (host)       on COM1 = " << portA.slavePath() << "\n"
              << "device B (instrument) on COM2 = " << portB.slavePath() << std::endl;

    const auto started = std::chrono::steady_clock::now();
    auto stop = [&] {
        if (stopSignal.load()) return true;
        if (untilPid > 0 && kill(static_cast<pid_t>(untilPid), 0) != 0 && errno == ESRCH) return true;
        return seconds > 0 && std::chrono::steady_clock::now() - started >= std::chrono::seconds(seconds);
    };
    HostPace pace;
    pace.baud = static_cast<uint32_t>(baud);
    const DeviceTraffic t = runDevices(portA.master(), portB.master(), stop, pace);

    std::cout << "device A sent " << t.hostSent.size() << " bytes and received "
              << t.hostReceived.size() << "; device B received " << t.instrumentReceived.size()
              << " bytes, answered " << t.commandsAnswered << " commands and "
              << t.framesReceived << " binary frames, sent " << t.instrumentSent.size() << "\n";
    std::cout << "modbus: device A asked " << t.modbusAsked << " requests, got " << t.modbusAnswered
              << " answers (" << t.modbusBadAnswers << " with a bad CRC), " << t.modbusUnanswered
              << " unanswered; device B received " << t.modbusRequestsReceived << " requests, ignored "
              << t.modbusRequestsIgnored << "; " << t.modbusFrames << " frames on the line, "
              << t.modbusBadFrames << " sent with a bad CRC\n";
    const bool forward = receivedInOrder(t.hostSent, t.instrumentReceived);
    const bool back = receivedInOrder(t.instrumentSent, t.hostReceived);
    std::cout << "relay check: A->B " << (forward ? "in order, unchanged" : "BROKEN")
              << "; B->A " << (back ? "in order, unchanged" : "BROKEN") << std::endl;
    return forward && back ? 0 : 3;
}

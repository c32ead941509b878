// The real program with two adapters (pty cables behind symbolic links): CPU while both are
// there and idle, CPU while port 1's adapter is unplugged and the program waits for it, and how
// long after the re-plug bytes flow again, each round.
//
//   bench_reconnect [path/to/vorlinex] [--idle S] [--rounds N]
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/relay_measure.h"
#include "tests/support/pty_cable.h"

namespace {

double cpuPercentOver(pid_t pid, double seconds) {
    const double before = bench::processCpuSeconds(pid);
    ::usleep(static_cast<useconds_t>(seconds * 1e6));
    return (bench::processCpuSeconds(pid) - before) / seconds * 100;
}

// Each round: idle CPU with both adapters, idle CPU while port 1's is away, and how long after
// the re-plug bytes flow again; then the worst CPU while away against its target.
void unplugRounds(pid_t pid, PluggableCable& adapter1, PluggableCable& adapter2, int rounds, double idleSeconds) {
    std::vector<double> present, away, resumeMs;
    for (int round = 0; round < rounds; ++round) {
        present.push_back(cpuPercentOver(pid, idleSeconds));
        adapter1.unplug();
        ::usleep(1000000);  // closed within a second; then only waiting
        away.push_back(cpuPercentOver(pid, idleSeconds));
        const auto plugged = bench::Clock::now();
        adapter1.plug();
        if (!bench::waitRelaying(adapter1.device(), adapter2.device(), 30)) {
            std::printf("round %d: the relay did not resume\n", round);
            break;
        }
        resumeMs.push_back(bench::secondsSince(plugged) * 1000);
        std::printf("round %d: idle CPU %.3f %% of a core with both adapters, %.3f %% while port 1 is away; "
                    "relaying again %.0f ms after the re-plug\n",
                    round, present.back(), away.back(), resumeMs.back());
        std::fflush(stdout);
    }
    std::printf("CPU while away: max %.3f %% of a core (target < 0.5 %%: %s)\n",
                away.empty() ? NAN : *std::max_element(away.begin(), away.end()),
                !away.empty() && *std::max_element(away.begin(), away.end()) < 0.5 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    std::string program = bench::programBesideThis();
    double idleSeconds = 10;
    int rounds = 3;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--idle") == 0 && i + 1 < argc) idleSeconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::atoi(argv[++i]);
        else program = argv[i];
    }
    // The program runs in a scratch folder: a path given relative to here must still find it.
    program = std::filesystem::absolute(program).string();
    ScratchDir dir;
    PluggableCable adapter1(dir.file("ttyUSB0")), adapter2(dir.file("ttyUSB1"));
    dir.write("Vorlinex.ini", bench::relayIni(adapter1.path(), adapter2.path(), 115200));
    const pid_t pid = bench::launch(bench::Launch({program}).env("QT_QPA_PLATFORM", "offscreen"));
    std::printf("bench_reconnect: %s, port 1's adapter unplugged and plugged back %d times, %.0f s each way\n",
                program.c_str(), rounds, idleSeconds);
    if (!bench::waitRelaying(adapter1.device(), adapter2.device(), 30)) {
        std::printf("the program never relayed\n");
        bench::stopRelay(pid);
        return 1;
    }
    unplugRounds(pid, adapter1, adapter2, rounds, idleSeconds);
    std::printf("%s\n", bench::stopRelay(pid).c_str());
    return 0;
}

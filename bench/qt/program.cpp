// The real program, offscreen:
//  - the relay figures of the `vorlinex` binary run as a child process (main window shown, no
//    display or log window open) against socat between pty cables, in the same run;
//  - start-up time to a shown main window with both ports open, and the memory (RSS) then.
//
//   bench_program [path/to/vorlinex] [--mb N] [--messages N] [--idle S] [--rounds N] [--startups N]
//                 [--skip-relay] [--skip-startup]
// Without a path, the `vorlinex` beside this benchmark is used.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/relay_measure.h"
#include "relay/serial_port.h"
#include "shell/qt/entry.h"
#include "shell/qt/main_window.h"

namespace {

int64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

using bench::selfPath;
using bench::statusKb;

std::string programPath;
ScratchDir* scratch = nullptr;
int programRuns = 0;

// The program as a child: offscreen, current directory the scratch folder that holds its INI,
// its output into a file there (Qt's offscreen notes would break up the table).
pid_t startProgram(const std::string& slave1, const std::string& slave2) {
    scratch->write("Vorlinex.ini", bench::relayIni(slave1, slave2, 115200));
    std::string out = scratch->file("vorlinex-" + std::to_string(++programRuns) + ".out");
    return bench::launch(bench::Launch({programPath}).env("QT_QPA_PLATFORM", "offscreen").output(out));
}

// In a fresh process (this benchmark again): start-up of the program's entry function up to
// the shown main window; prints one line for the parent to collect.
int startupChild(int64_t execStartNs) {
    int64_t mainStart = monotonicNs();
    char* args[] = {const_cast<char*>("vorlinex"), nullptr};
    int argc = 1;
    bool reported = false;
    int rc = vorlinexMain(argc, args, [&](QWidget* mainWindow) {
        int64_t now = monotonicNs();
        std::printf("startup %.3f %.3f %ld %ld %d %d\n", (now - execStartNs) / 1e6,
                    (now - mainStart) / 1e6, statusKb("VmRSS"), statusKb("VmHWM"),
                    vorlinexOf(mainWindow).app.relay.serialPort1.isOpen() ? 1 : 0, vorlinexOf(mainWindow).app.relay.serialPort2.isOpen() ? 1 : 0);
        std::fflush(stdout);
        reported = true;
        vorlinexOf(mainWindow).shutdownVorlinex();
    });
    if (!reported) std::printf("startup none: the main window was never shown (exit %d)\n", rc);
    std::fflush(stdout);
    return 0;
}

struct Startup {
    double fromExecMs = NAN;
    double fromEntryMs = NAN;
    long rssKb = -1;
    long hwmKb = -1;
    bool bothOpen = false;
};

// One start-up measured in a child process of this benchmark, with two pty cables as COM1/COM2.
bool measureStartup(Startup& s, std::string& problem) {
    PtyCable port1;
    PtyCable port2;
    scratch->write("Vorlinex.ini", bench::relayIni(port1.slavePath(), port2.slavePath(), 115200));
    int pipeFd[2];
    if (::pipe(pipeFd) != 0) return false;
    std::string self = selfPath();
    std::fflush(nullptr);  // before the clock starts: the child is timed from here
    const int64_t t0 = monotonicNs();
    const pid_t pid = bench::launch(bench::Launch({self, "--startup-child", std::to_string(t0)})
                                        .env("QT_QPA_PLATFORM", "offscreen")
                                        .output(scratch->file("startup.err"))
                                        .beforeExec([&] {
                                            ::dup2(pipeFd[1], 1);  // stderr stays in the file
                                            ::close(pipeFd[0]);
                                        }));
    ::close(pipeFd[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(pipeFd[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(pipeFd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    int open1 = 0;
    int open2 = 0;
    if (std::sscanf(out.c_str(), "startup %lf %lf %ld %ld %d %d", &s.fromExecMs, &s.fromEntryMs,
                    &s.rssKb, &s.hwmKb, &open1, &open2) != 6) {
        problem = out.empty() ? "no output" : out;
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        // Measured, but the process did not end cleanly: say so, with what it wrote.
        problem = "the start-up process ended with status " + std::to_string(status) + "; see " +
                  scratch->file("startup.err") + ":\n" + scratch->read("startup.err");
        return false;
    }
    s.bothOpen = open1 == 1 && open2 == 1;
    return true;
}

void runStartups(int count) {
    std::printf("\nstart-up to the shown main window, both ports open on pty cables, offscreen; "
                "%d fresh processes\n", count);
    std::vector<double> exec, entry, rss, hwm;
    int notOpen = 0;
    for (int i = 0; i < count; ++i) {
        Startup s;
        std::string problem;
        if (!measureStartup(s, problem)) {
            std::printf("  run %d: %s\n", i + 1, problem.c_str());
            continue;
        }
        if (!s.bothOpen) ++notOpen;
        exec.push_back(s.fromExecMs);
        entry.push_back(s.fromEntryMs);
        rss.push_back(static_cast<double>(s.rssKb) / 1024);
        hwm.push_back(static_cast<double>(s.hwmKb) / 1024);
    }
    bench::printSpread("from exec of the process", exec, "ms", 44, 8);
    bench::printSpread("from the call of the entry function", entry, "ms", 44, 8);
    bench::printSpread("RSS when shown (VmRSS)", rss, "MiB", 44, 8);
    bench::printSpread("peak RSS until then (VmHWM)", hwm, "MiB", 44, 8);
    std::printf("  runs with a port not open: %d of %zu\n", notOpen, exec.size());
}

// The program against socat between pty cables, with its output when it did not relay.
void measureRelay(const bench::Options& opt) {
    std::printf("bench_program: the real program %s (offscreen, no display or log window) "
                "against socat -b 65536, both between two pty cables\n", programPath.c_str());
    bench::printSetting(opt);
    std::fflush(stdout);
    const int missed = bench::measureAgainstSocat({"vorlinex", startProgram}, opt, true, [](const bench::Subject& prog) {
        if (!prog.f.relaying) {
            std::printf("vorlinex did not relay; its output:\n%s\n",
                        scratch->read("vorlinex-" + std::to_string(programRuns) + ".out").c_str());
        }
    });
    std::printf("\n%d relay target(s) missed\n", missed);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--startup-child") {
        return startupChild(std::atoll(argv[2]));
    }
    signal(SIGPIPE, SIG_IGN);
    bench::Options opt = bench::parseOptions(argc, argv);
    int startups = 5;
    bool relay = true;
    bool startup = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--startups" && i + 1 < argc) startups = std::max(1, std::atoi(argv[++i]));
        else if (a == "--skip-relay") relay = false;
        else if (a == "--skip-startup") startup = false;
        else if (a == "--mb" || a == "--messages" || a == "--idle" || a == "--rounds") ++i;
        else if (a.rfind("--", 0) != 0) programPath = a;
    }
    if (programPath.empty()) programPath = bench::programBesideThis();
    programPath = std::filesystem::absolute(programPath).string();
    ScratchDir dir;
    scratch = &dir;

    if (relay) measureRelay(opt);
    if (startup) runStartups(startups);
    return 0;
}

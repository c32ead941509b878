// Processes for the benchmarks on Linux: what /proc says about one, starting one, and socat as
// the reference relay. Header-only, because every .cpp in bench/ is a program of its own.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace bench {

// ---- /proc -------------------------------------------------------------------------------

// "/proc/<pid>/<what>", or "/proc/self/<what>" for pid 0.
inline std::string procPath(pid_t pid, const std::string& what) {
    return "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/" + what;
}

// The names in a /proc folder ("task", "fd"), without "." and ".."; none if it cannot be read.
inline std::optional<std::vector<std::string>> procEntries(pid_t pid, const std::string& folder) {
    DIR* d = ::opendir(procPath(pid, folder).c_str());
    if (d == nullptr) return std::nullopt;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    ::closedir(d);
    return names;
}

// The processes there are now.
inline std::vector<pid_t> allProcesses() {
    std::vector<pid_t> pids;
    DIR* d = ::opendir("/proc");
    if (d == nullptr) return pids;
    while (dirent* e = ::readdir(d)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid > 0) pids.push_back(pid);
    }
    ::closedir(d);
    return pids;
}

// The number after "key:" in a status file ("VmRSS", "voluntary_ctxt_switches"), -1 if none.
inline long procStatusValue(pid_t pid, const std::string& key, const std::string& file = "status") {
    std::ifstream in(procPath(pid, file));
    const std::string prefix = key + ":";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
    }
    return -1;
}

// A line of this process's /proc/self/status in kB ("VmRSS", "VmHWM").
inline long statusKb(const char* key) { return procStatusValue(0, key); }

// The resident size of this process in kB (VmRSS).
inline long residentKb() { return statusKb("VmRSS"); }

// /proc/<pid>/stat: the command name, and the fields after it ([0] the state, [1] the parent,
// [11] utime, [12] stime). Empty if the process is not there.
struct ProcStat {
    std::string comm;
    std::vector<std::string> fields;
};

inline ProcStat procStat(pid_t pid) {
    std::ifstream in(procPath(pid, "stat"));
    std::string all((std::istreambuf_iterator<char>(in)), {});
    ProcStat s;
    const size_t open = all.find('('), close = all.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return s;
    s.comm = all.substr(open + 1, close - open - 1);
    std::istringstream rest(all.substr(close + 1));
    for (std::string field; rest >> field;) s.fields.push_back(field);
    return s;
}

// The scheduler's run time of one thread (/proc/<pid>/task/<tid>/schedstat) in nanoseconds,
// counted to the nanosecond where the 10 ms ticks of /proc/<pid>/stat are too coarse.
inline std::optional<double> threadRanNs(pid_t pid, const std::string& tid) {
    std::ifstream in(procPath(pid, "task/" + tid + "/schedstat"));
    double ns = 0;
    if (!(in >> ns)) return std::nullopt;
    return ns;
}

// CPU time of a whole process, all threads, in seconds, from the threads' schedstat. Time of
// threads that already ended is not included, so the relays are measured while their threads
// run. -1 if the process is not there.
inline double processCpuSeconds(pid_t pid) {
    const auto tasks = procEntries(pid, "task");
    if (!tasks) return -1;
    double total = 0;
    for (const std::string& tid : *tasks) total += threadRanNs(pid, tid).value_or(0) / 1e9;
    return total;
}

// The machine's load averages over 1, 5 and 15 minutes, as "a b c".
inline std::string loadAverages() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// The path of this program.
inline std::string selfPath() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The vorlinex built beside the running benchmark.
inline std::string programBesideThis() {
    const std::string self = selfPath();
    return self.substr(0, self.rfind('/') + 1) + "vorlinex";
}

// ---- starting a process ------------------------------------------------------------------

// A program to start: its arguments (argv[0] found on PATH if it has no '/'), environment
// changes, where its standard streams go, and a step of the child's own before the exec.
struct Launch {
    explicit Launch(std::vector<std::string> arguments) : args(std::move(arguments)) {}
    Launch& env(const std::string& name, const std::string& value) {
        setEnv.emplace_back(name, value);
        return *this;
    }
    Launch& withoutEnv(const std::string& name) {
        unsetEnv.push_back(name);
        return *this;
    }
    // stdout and stderr into this file, started empty or appended to
    Launch& output(const std::string& file, bool append = false) {
        outputFile = file, appendOutput = append;
        return *this;
    }
    // runs in the child just before the exec
    Launch& beforeExec(std::function<void()> step) {
        inChild = std::move(step);
        return *this;
    }

    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> setEnv;
    std::vector<std::string> unsetEnv;
    std::string outputFile;
    bool appendOutput = false;
    std::function<void()> inChild;
};

// Starts it and returns its pid (-1 if it could not fork). A child that cannot exec says so on
// its stderr and ends with 127.
inline pid_t launch(const Launch& l) {
    std::vector<std::string> args = l.args;
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (!l.outputFile.empty()) {
        const int fd = ::open(l.outputFile.c_str(),
                              O_WRONLY | O_CREAT | (l.appendOutput ? O_APPEND : O_TRUNC), 0644);
        if (fd >= 0) ::dup2(fd, 1), ::dup2(fd, 2);
    }
    for (const std::string& name : l.unsetEnv) ::unsetenv(name.c_str());
    for (const auto& [name, value] : l.setEnv) ::setenv(name.c_str(), value.c_str(), 1);
    if (l.inChild) l.inChild();
    ::execvp(argv[0], argv.data());
    std::perror(("exec " + args[0]).c_str());
    ::_exit(127);
}

// Runs `body` in a child process of its own (a copy of this one, no exec); the body must end
// the child itself (_exit), not return into the parent's code.
inline pid_t forkInto(const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        body();
        ::_exit(0);
    }
    return pid;
}

// socat as the reference relay between two of its addresses, with large buffers.
inline pid_t startSocat(const std::string& address1, const std::string& address2) {
    return launch(Launch({"socat", "-b", "65536", address1, address2}));
}

// A device as socat opens it for relaying: raw, not as the controlling terminal.
inline std::string socatDevice(const std::string& path) { return "OPEN:" + path + ",rawer,noctty"; }

// A TCP client as socat connects it, without Nagle's delay.
inline std::string socatTcp(const std::string& host, int port) {
    return "TCP:" + host + ":" + std::to_string(port) + ",nodelay";
}

// socat relaying between two devices: the reference for the pty cables.
inline pid_t startSocatBetween(const std::string& slave1, const std::string& slave2) {
    return startSocat(socatDevice(slave1), socatDevice(slave2));
}

}  // namespace bench

// Measuring a relay that sits between two pty cables: throughput, latency, CPU and lost bytes.
// Shared by bench_relay_engine (the engine alone) and bench_program (the real program), which both
// measure socat in the same run as the reference.
#pragma once

#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/process.h"
#include "tests/support/pty_cable.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size()))) - 1;
    return v[std::min(i, v.size() - 1)];
}

// Byte accounting of one stream: what should have arrived against what did.
struct StreamCheck {
    uint64_t expected = 0;
    uint64_t received = 0;
    uint64_t wrong = 0;  // positions whose byte differs: reordered, repeated or corrupted
    uint64_t lost() const { return received < expected ? expected - received : 0; }
    uint64_t extra() const { return received > expected ? received - expected : 0; }
    void add(const StreamCheck& o) {
        expected += o.expected;
        received += o.received;
        wrong += o.wrong;
    }
};

// Writes all of `data` into fd, waiting while the cable is full.
inline void writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, std::min<size_t>(data.size() - done, 4096));
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return;
        }
    }
}

// Reads until `expect` is complete or the line is quiet for quietMs, comparing as it goes.
// Returns the check; `lastByteAt` is when the last byte came. `progress` counts the bytes read so
// far, and ends at the most it can hold, so that no feeder waits on a reader that has given up.
inline StreamCheck readAndCompare(int fd, const std::string& expect, int quietMs,
                                  Clock::time_point* lastByteAt = nullptr,
                                  std::atomic<uint64_t>* progress = nullptr) {
    StreamCheck c;
    c.expected = expect.size();
    std::vector<char> buf(65536);
    while (c.received < c.expected) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, quietMs);
        if (r <= 0) break;
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            ::usleep(10000);  // EIO: nobody holds the slave at the moment
            continue;
        }
        if (lastByteAt != nullptr) *lastByteAt = Clock::now();
        for (ssize_t i = 0; i < n; ++i) {
            uint64_t at = c.received + static_cast<uint64_t>(i);
            if (at >= c.expected || buf[i] != expect[at]) ++c.wrong;
        }
        c.received += static_cast<uint64_t>(n);
        if (progress != nullptr) {
            progress->store(c.received);
            progress->notify_all();
        }
    }
    if (progress != nullptr) {
        progress->store(UINT64_MAX);
        progress->notify_all();
    }
    return c;
}

// Discards whatever arrives until the line is quiet.
inline void drain(int fd, int quietMs) {
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0) return;
        if (::read(fd, buf, sizeof buf) <= 0) ::usleep(10000);
    }
}

// Whether bytes sent on `from` arrive on `to`: probes until one gets through (a relay may flush
// its queues when it opens the device, so early probes can vanish), then drains the rest.
inline bool waitRelaying(PtyCable& from, PtyCable& to, double timeoutSeconds) {
    auto t0 = Clock::now();
    while (secondsSince(t0) < timeoutSeconds) {
        writeAll(from.master(), "?");
        pollfd p{to.master(), POLLIN, 0};
        if (::poll(&p, 1, 200) > 0) {
            char c;
            if (::read(to.master(), &c, 1) == 1) {
                drain(to.master(), 300);
                return true;
            }
            ::usleep(20000);
        }
    }
    return false;
}

// A relay to measure: started as a process of its own between the two slave paths.
struct RelayUnderTest {
    std::string name;
    std::function<pid_t(const std::string& slave1, const std::string& slave2)> start;
};

// Asks the relay to end (SIGTERM) and reaps it; says how it ended.
inline std::string stopRelay(pid_t pid, double graceSeconds = 10) {
    ::kill(pid, SIGTERM);
    auto t0 = Clock::now();
    int status = 0;
    while (secondsSince(t0) < graceSeconds) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            char text[96];
            if (WIFEXITED(status)) {
                std::snprintf(text, sizeof text, "exit %d after SIGTERM in %.0f ms",
                              WEXITSTATUS(status), secondsSince(t0) * 1000);
            } else {
                std::snprintf(text, sizeof text, "killed by signal %d", WTERMSIG(status));
            }
            return text;
        }
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return "did not end within " + std::to_string(static_cast<int>(graceSeconds)) +
           " s of SIGTERM: killed";
}

// A Vorlinex.ini for the current directory: COM1 and COM2 are the two slaves, 8N1 without
// flow control at `baud`, no time stamp.
inline std::string relayIni(const std::string& slave1, const std::string& slave2, int baud,
                            int dmode = 0) {
    std::string b = std::to_string(baud);
    return "[DATA1]\r\nCOM=0\r\nBPS=" + b + "\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n" +
           "[DATA2]\r\nCOM=1\r\nBPS=" + b + "\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n" +
           "[DATA]\r\nRATE=1\r\nDMODE=" + std::to_string(dmode) +
           "\r\nCRLF=0\r\nDATETIME=0\r\nDATETIMEVAL=60\r\n" +
           devicesSection({slave1, slave2, "", "", "", ""});
}

struct Options {
    size_t oneWayBytes = 16u << 20;
    int latencyMessages = 2000;
    double idleSeconds = 5;
    int rounds = 3;
};

struct Figures {
    bool relaying = false;
    std::string ending;
    double oneWayMBps[2] = {NAN, NAN};  // [0] port 1 -> port 2, [1] port 2 -> port 1
    double bothMBps[2] = {NAN, NAN};
    double latP50us[2] = {NAN, NAN};
    double latP99us[2] = {NAN, NAN};
    double latMaxUs[2] = {NAN, NAN};
    double cpuSecondsPerMB = NAN;
    double idleCpuPercent = NAN;
    StreamCheck total;
    // The cable alone, no relay (16 bytes from master to slave), measured in the same blocks:
    // the floor that the machine's load puts under every latency figure.
    double floorP50us = NAN;
    double floorP99us = NAN;
};

// One direction blasted through: MB/s from the first byte written to the last byte read.
inline double blast(int from, int to, const std::string& data, StreamCheck& check) {
    auto t0 = Clock::now();
    Clock::time_point last = t0;
    std::thread writer([&] { writeAll(from, data); });
    check = readAndCompare(to, data, 5000, &last);
    writer.join();
    double s = std::chrono::duration<double>(last - t0).count();
    return s > 0 ? static_cast<double>(check.received) / 1e6 / s : NAN;
}

// 16-byte messages, each sent only after the previous one arrived; appends microseconds.
inline void latency(int from, int to, int count, uint32_t seed, std::vector<double>& us,
                    StreamCheck& check) {
    std::string all = randomBytes(static_cast<size_t>(count) * 16, seed);
    for (int i = 0; i < count; ++i) {
        std::string msg = all.substr(static_cast<size_t>(i) * 16, 16);
        auto t0 = Clock::now();
        writeAll(from, msg);
        StreamCheck c = readAndCompare(to, msg, 2000);
        if (c.received == 16) us.push_back(secondsSince(t0) * 1e6);
        check.add(c);
        if (c.received != 16) drain(to, 300);
    }
}

// A relay under measurement with its two cables.
struct Subject {
    explicit Subject(RelayUnderTest r) : relay(std::move(r)) {}
    RelayUnderTest relay;
    PtyCable port1;  // the device on Serial Port1
    PtyCable port2;  // the device on Serial Port2
    pid_t pid = -1;
    Figures f;
    std::vector<double> latUs[2];
    std::vector<double> oneWay[2];
    std::vector<double> both[2];
    double cpuSeconds = 0;
    double mbRelayed = 0;
    int from(int d) { return d == 0 ? port1.master() : port2.master(); }
    int to(int d) { return d == 0 ? port2.master() : port1.master(); }
};

inline double median(const std::vector<double>& v) { return percentile(v, 50); }

// The reference and the subject run side by side, each between its own cables, and are
// measured in alternation (idle over the same seconds, latency in interleaved blocks,
// throughput in alternating rounds), so that the load of a shared machine falls on both alike.
inline void measurePair(Subject& ref, Subject& sub, const Options& opt) {
    Subject* both[2] = {&ref, &sub};
    for (Subject* s : both) s->pid = s->relay.start(s->port1.slavePath(), s->port2.slavePath());
    for (Subject* s : both) {
        s->f.relaying = s->pid > 0 && waitRelaying(s->port1, s->port2, 20) &&
                        waitRelaying(s->port2, s->port1, 20);
    }
    if (ref.f.relaying && sub.f.relaying) {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // settle from start-up
        double c0[2] = {processCpuSeconds(ref.pid), processCpuSeconds(sub.pid)};
        auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(opt.idleSeconds));
        double s = secondsSince(t0);
        ref.f.idleCpuPercent = (processCpuSeconds(ref.pid) - c0[0]) / s * 100;
        sub.f.idleCpuPercent = (processCpuSeconds(sub.pid) - c0[1]) / s * 100;

        PtyCable floor;
        int floorSlave = ::open(floor.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        std::vector<double> floorUs;
        StreamCheck floorCheck;
        const int block = 10;
        for (int done = 0, b = 0; done < opt.latencyMessages; done += block, ++b) {
            int n = std::min(block, opt.latencyMessages - done);
            for (Subject* x : both) {
                for (int d = 0; d < 2; ++d) {
                    latency(x->from(d), x->to(d), n, static_cast<uint32_t>(1000 * b + d),
                            x->latUs[d], x->f.total);
                }
            }
            if (floorSlave >= 0) latency(floor.master(), floorSlave, n, 7, floorUs, floorCheck);
        }
        if (floorSlave >= 0) ::close(floorSlave);
        for (Subject* x : both) {
            x->f.floorP50us = percentile(floorUs, 50);
            x->f.floorP99us = percentile(floorUs, 99);
        }
        for (int r = 0; r < opt.rounds; ++r) {
            for (int k = 0; k < 2; ++k) {
                Subject* x = both[(r + k) % 2];
                double cpu0 = processCpuSeconds(x->pid);
                for (int d = 0; d < 2; ++d) {
                    std::string data = randomBytes(opt.oneWayBytes, static_cast<uint32_t>(200 + 2 * r + d));
                    StreamCheck c;
                    x->oneWay[d].push_back(blast(x->from(d), x->to(d), data, c));
                    x->f.total.add(c);
                    x->mbRelayed += static_cast<double>(c.received) / 1e6;
                }
                x->cpuSeconds += processCpuSeconds(x->pid) - cpu0;
                std::string data[2] = {randomBytes(opt.oneWayBytes / 2, static_cast<uint32_t>(300 + 2 * r)),
                                       randomBytes(opt.oneWayBytes / 2, static_cast<uint32_t>(301 + 2 * r))};
                StreamCheck c[2];
                double mbps[2] = {NAN, NAN};
                std::thread other([&] { mbps[1] = blast(x->from(1), x->to(1), data[1], c[1]); });
                mbps[0] = blast(x->from(0), x->to(0), data[0], c[0]);
                other.join();
                for (int d = 0; d < 2; ++d) {
                    x->both[d].push_back(mbps[d]);
                    x->f.total.add(c[d]);
                }
            }
        }
        for (Subject* x : both) {
            for (int d = 0; d < 2; ++d) {
                x->f.latP50us[d] = percentile(x->latUs[d], 50);
                x->f.latP99us[d] = percentile(x->latUs[d], 99);
                x->f.latMaxUs[d] = x->latUs[d].empty() ? NAN : *std::max_element(x->latUs[d].begin(), x->latUs[d].end());
                x->f.oneWayMBps[d] = median(x->oneWay[d]);
                x->f.bothMBps[d] = median(x->both[d]);
            }
            x->f.cpuSecondsPerMB = x->mbRelayed > 0 ? x->cpuSeconds / x->mbRelayed : NAN;
        }
    }
    for (Subject* s : both) {
        if (s->pid > 0) s->f.ending = stopRelay(s->pid);
    }
}

// "what  min X  p50 Y  max Z unit" over the values, or "-" when there are none.
inline void printSpread(const char* what, const std::vector<double>& v, const char* unit, int labelWidth = 44,
                        int numberWidth = 7) {
    if (v.empty()) {
        std::printf("  %-*s -\n", labelWidth, what);
        return;
    }
    std::printf("  %-*s min %*.1f  p50 %*.1f  max %*.1f %s\n", labelWidth, what, numberWidth,
                *std::min_element(v.begin(), v.end()), numberWidth, percentile(v, 50), numberWidth,
                *std::max_element(v.begin(), v.end()), unit);
}

inline std::string fmt(double v, int decimals = 2) {
    if (std::isnan(v)) return "-";
    char b[32];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

// Prints the figures of the reference and the subject side by side with their ratios, and
// whether each target holds (unless `judge` is false: figures only). Returns the number of
// targets missed.
inline int printComparison(const Figures& ref, const Figures& sub, const std::string& subName,
                           const Options& opt, bool judge = true) {
    auto row = [&](const char* name, double r, double s, int decimals) {
        double ratio = (r > 0 && !std::isnan(r) && !std::isnan(s)) ? s / r : NAN;
        std::printf("  %-38s %12s %12s %10s\n", name, fmt(r, decimals).c_str(),
                    fmt(s, decimals).c_str(), fmt(ratio, 2).c_str());
    };
    std::printf("\n  %-38s %12s %12s %10s\n", "figure", "socat", subName.c_str(),
                (subName + "/socat").c_str());
    row("throughput one way 1->2 (MB/s)", ref.oneWayMBps[0], sub.oneWayMBps[0], 2);
    row("throughput one way 2->1 (MB/s)", ref.oneWayMBps[1], sub.oneWayMBps[1], 2);
    row("throughput both at once 1->2 (MB/s)", ref.bothMBps[0], sub.bothMBps[0], 2);
    row("throughput both at once 2->1 (MB/s)", ref.bothMBps[1], sub.bothMBps[1], 2);
    row("latency 16 B 1->2 p50 (us)", ref.latP50us[0], sub.latP50us[0], 1);
    row("latency 16 B 1->2 p99 (us)", ref.latP99us[0], sub.latP99us[0], 1);
    row("latency 16 B 1->2 max (us)", ref.latMaxUs[0], sub.latMaxUs[0], 1);
    row("latency 16 B 2->1 p50 (us)", ref.latP50us[1], sub.latP50us[1], 1);
    row("latency 16 B 2->1 p99 (us)", ref.latP99us[1], sub.latP99us[1], 1);
    row("latency 16 B 2->1 max (us)", ref.latMaxUs[1], sub.latMaxUs[1], 1);
    std::printf("  %-38s %12s %12s\n", "cable alone, no relay, p50 / p99 (us)",
                fmt(ref.floorP50us, 1).c_str(), fmt(ref.floorP99us, 1).c_str());
    row("CPU seconds per MB relayed", ref.cpuSecondsPerMB, sub.cpuSecondsPerMB, 4);
    char idleName[48];
    std::snprintf(idleName, sizeof idleName, "idle CPU over %.0f s (%% of a core)", opt.idleSeconds);
    row(idleName, ref.idleCpuPercent, sub.idleCpuPercent, 3);
    auto counts = [&](const char* name, uint64_t r, uint64_t s) {
        std::printf("  %-38s %12llu %12llu\n", name, static_cast<unsigned long long>(r),
                    static_cast<unsigned long long>(s));
    };
    counts("bytes expected", ref.total.expected, sub.total.expected);
    counts("bytes lost", ref.total.lost(), sub.total.lost());
    counts("bytes reordered/corrupted", ref.total.wrong, sub.total.wrong);
    counts("bytes extra", ref.total.extra(), sub.total.extra());
    std::printf("  %-38s %s | %s\n", "ending", ref.ending.c_str(), sub.ending.c_str());

    if (!judge) return 0;
    int missed = 0;
    auto target = [&](const std::string& what, bool met, const std::string& detail) {
        std::printf("  target %-52s %s  (%s)\n", what.c_str(), met ? "met" : "MISSED", detail.c_str());
        if (!met) ++missed;
    };
    std::printf("\n");
    if (!sub.relaying || !ref.relaying) {
        target((sub.relaying ? std::string("socat") : subName) + " relays at all", false,
               "no probe byte got through in 20 s; nothing was measured");
        return missed;
    }
    for (int d = 0; d < 2; ++d) {
        const char* dir = d == 0 ? "1->2" : "2->1";
        target(std::string("latency p50 ") + dir + " <= socat's", sub.latP50us[d] <= ref.latP50us[d],
               fmt(sub.latP50us[d], 1) + " us vs " + fmt(ref.latP50us[d], 1) + " us");
        target(std::string("latency p99 ") + dir + " < 1 ms", sub.latP99us[d] < 1000,
               fmt(sub.latP99us[d], 1) + " us");
    }
    for (int d = 0; d < 2; ++d) {
        const char* dir = d == 0 ? "1->2" : "2->1";
        double ratio = sub.oneWayMBps[d] / ref.oneWayMBps[d];
        target(std::string("throughput one way ") + dir + " >= 0.2 x socat", ratio >= 0.2,
               "ratio " + fmt(ratio, 3));
    }
    target("idle CPU < 0.5 % of a core", sub.idleCpuPercent < 0.5, fmt(sub.idleCpuPercent, 3) + " %");
    bool clean = sub.total.lost() == 0 && sub.total.wrong == 0 && sub.total.extra() == 0 &&
                 sub.total.expected > 0;
    target("0 bytes lost or reordered", clean,
           std::to_string(sub.total.lost()) + " lost, " + std::to_string(sub.total.wrong) +
               " wrong, " + std::to_string(sub.total.extra()) + " extra of " +
               std::to_string(sub.total.expected));
    return missed;
}

// `relay` measured against socat, each between pty cables of its own, and the two printed side by
// side, judged against the targets unless `judge` is false. `onMeasured` may add its own lines
// before the table. Returns the number of targets missed.
inline int measureAgainstSocat(RelayUnderTest relay, const Options& opt, bool judge = true,
                               const std::function<void(const Subject&)>& onMeasured = nullptr) {
    const std::string name = relay.name;
    Subject ref({"socat", startSocatBetween});
    Subject sub(std::move(relay));
    measurePair(ref, sub, opt);
    if (judge && !ref.f.relaying) std::printf("socat did not relay (is it installed?)\n");
    if (onMeasured) onMeasured(sub);
    return printComparison(ref.f, sub.f, name, opt, judge);
}

// The number after `name` on the command line (the last one given), or `fallback`.
inline double numberOption(int argc, char** argv, const char* name, double fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) fallback = std::atof(argv[++i]);
    }
    return fallback;
}

// "--mb N", "--messages N", "--idle S", "--rounds N" on the command line.
inline Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; ++i) {
        std::string a = argv[i];
        if (a == "--mb") o.oneWayBytes = static_cast<size_t>(std::atof(argv[++i]) * (1 << 20));
        else if (a == "--messages") o.latencyMessages = std::atoi(argv[++i]);
        else if (a == "--idle") o.idleSeconds = std::atof(argv[++i]);
        else if (a == "--rounds") o.rounds = std::max(1, std::atoi(argv[++i]));
    }
    return o;
}

inline void printSetting(const Options& opt) {
    std::printf("both relays run side by side and are measured in alternation: one way %.1f MiB "
                "and both at once %.1f MiB each direction, %d rounds (medians shown); %d x 16 B "
                "messages each way; idle %.0f s; pty speeds are not limited by the baud rate\n",
                static_cast<double>(opt.oneWayBytes) / (1 << 20),
                static_cast<double>(opt.oneWayBytes) / 2 / (1 << 20), opt.rounds,
                opt.latencyMessages, opt.idleSeconds);
}

}  // namespace bench

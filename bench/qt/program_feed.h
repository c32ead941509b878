// What the benchmarks that run the real program in-process share: the CPU of the benchmark's
// own threads (to be taken off the process's total) and a paced feeder.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "bench/modbus_traffic.h"
#include "bench/relay_measure.h"

namespace bench {

inline double rusageSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
inline double threadCpuSeconds() { return rusageSeconds(RUSAGE_THREAD); }
inline double processCpuSeconds() { return rusageSeconds(RUSAGE_SELF); }

// CPU spent by the benchmark's own threads (feeders, readers, control).
inline std::atomic<int64_t> harnessCpuUs{0};

struct HarnessCpu {
    double start = threadCpuSeconds();
    ~HarnessCpu() { harnessCpuUs += static_cast<int64_t>((threadCpuSeconds() - start) * 1e6); }
};

// Sends `data` at `rate` bytes per second, in slices every 5 ms; returns when the last byte
// was written.
inline Clock::time_point feedPaced(int fd, const std::string& data, double rate) {
    HarnessCpu cpu;
    auto t0 = Clock::now();
    size_t sent = 0;
    for (;;) {
        size_t due = std::min(data.size(), static_cast<size_t>(secondsSince(t0) * rate));
        if (due > sent) {
            writeAll(fd, data.substr(sent, due - sent));
            sent = due;
        }
        if (sent == data.size()) return Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Modbus transactions as devices send them: each request to `requests`, then its answer to
// `answers`, one frame after the other as on a half-duplex line that runs at twice `rate`, so that
// each direction carries `rate` bytes per second. A pty takes each write at once, so the pacing is
// the feeder's: each frame is written when the frames before it have had their time on the line.
// Where a frame lasts less than a sleep's grain, frames go out late and in bursts. `written` gets
// when each direction's last byte was written.
inline void feedTransactions(int requests, int answers, const ModbusTraffic& traffic, double rate,
                             Clock::time_point (&written)[2]) {
    HarnessCpu cpu;
    const auto t0 = Clock::now();
    size_t sent[2] = {0, 0};
    const std::string* data[2] = {&traffic.requests, &traffic.answers};
    const std::vector<size_t>* ends[2] = {&traffic.requestEnds, &traffic.answerEnds};
    const int fds[2] = {requests, answers};
    for (size_t k = 0; k < traffic.transactions; ++k) {
        for (int d = 0; d < 2; ++d) {
            const double onTheLine = static_cast<double>(sent[0] + sent[1]) / (2 * rate);
            std::this_thread::sleep_until(
                t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(onTheLine)));
            const size_t end = (*ends[d])[k];
            writeAll(fds[d], data[d]->substr(sent[d], end - sent[d]));
            written[d] = Clock::now();
            sent[d] = end;
        }
    }
}

// A whole file's bytes; "" when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace bench

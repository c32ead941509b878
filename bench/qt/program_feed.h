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

// Below this rate per direction the master waits for each answer before it asks again and the
// slave for each request before it answers, as real devices do; above it that round trip would
// cap the rate, so both keep the line's pace (a master that never waited would have every request
// asked again), and on a busy machine an answer may be read before its request.
constexpr double kLockstepRate = 100000;

// Sleeps until `arrived` holds at least `count` (the reader of that direction counts up).
inline void awaitArrived(const std::atomic<uint64_t>& arrived, uint64_t count) {
    for (uint64_t seen = arrived.load(); seen < count; seen = arrived.load()) arrived.wait(seen);
}

// Modbus transactions as devices send them, with the master on `requests` and the slave on
// `answers`: up to kLockstepRate the slave answers a request only once the relay has passed it on
// (`arrived[0]` counts the requests' bytes the far end has read, `arrived[1]` the answers'), so an
// answer can never reach the program before its request. Each frame also waits for its time on a half-duplex line
// that runs at twice `rate`, so that each direction carries `rate` bytes per second; a pty takes
// each write at once, so the pacing is the feeder's. `written` gets when each direction's last
// byte was written.
inline void feedTransactions(int requests, int answers, const ModbusTraffic& traffic, double rate,
                             const std::atomic<uint64_t> (&arrived)[2], Clock::time_point (&written)[2]) {
    const auto t0 = Clock::now();
    auto lineTime = [&](size_t bytes) {
        return t0 + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(bytes) / (2 * rate)));
    };
    const bool lockstep = rate <= kLockstepRate;
    std::thread slave([&] {
        HarnessCpu cpu;
        size_t sent = 0;
        for (size_t k = 0; k < traffic.transactions; ++k) {
            if (lockstep) awaitArrived(arrived[0], traffic.requestEnds[k]);
            std::this_thread::sleep_until(lineTime(traffic.requestEnds[k] + sent));
            const size_t end = traffic.answerEnds[k];
            writeAll(answers, traffic.answers.substr(sent, end - sent));
            sent = end;
        }
        written[1] = Clock::now();
    });
    HarnessCpu cpu;
    size_t sent = 0;
    for (size_t k = 0; k < traffic.transactions; ++k) {
        const size_t answered = k == 0 ? 0 : traffic.answerEnds[k - 1];
        if (lockstep) awaitArrived(arrived[1], answered);
        std::this_thread::sleep_until(lineTime(sent + answered));
        const size_t end = traffic.requestEnds[k];
        writeAll(requests, traffic.requests.substr(sent, end - sent));
        sent = end;
    }
    written[0] = Clock::now();
    slave.join();
}

// A whole file's bytes; "" when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace bench

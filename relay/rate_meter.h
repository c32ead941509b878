// The one-second tick: elapsed-time clock, bytes-per-second figures, time-stamp countdowns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct RateMeter {
    std::atomic<int32_t> timerId{0};  // 0 while no timer runs
    int32_t timerToken = 0;
    int32_t elapsedHours = 0;
    int32_t elapsedMinutes = 0;
    int32_t elapsedSeconds = 0;
    int32_t rateTick = 0;

    std::thread tickThread;
    std::mutex stopLock;
    std::condition_variable stopSignal;
    bool stopping = false;

    // Whoever listens gets the texts, on the tick thread: the elapsed-time clock, and a
    // channel's bytes-per-second figure. Bound before the timer starts; unbound, nothing is shown.
    std::function<void(const std::string& clock)> showElapsed;
    std::function<void(int channel, const std::string& figure)> showRate;
};

// "%02d：%02d：%02d" with full-width colons.
std::string formatElapsedClock(int32_t hours, int32_t minutes, int32_t seconds);
// "  %2d byte/s".
std::string formatRate(int32_t bytesPerSecond);

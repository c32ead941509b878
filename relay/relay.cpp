#include "relay/relay.h"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <mutex>

namespace {

// A countdown that is 0 stays 0; the worker may reload it at the same moment, and its new
// value must neither be lost nor counted down from a stale one.
void countDown(std::atomic<int32_t>& countdown) {
    int32_t value = countdown.load(std::memory_order_relaxed);
    while (value != 0 &&
           !countdown.compare_exchange_weak(
               value, static_cast<int32_t>(static_cast<uint32_t>(value) - 1u),
               std::memory_order_relaxed)) {
    }
}

}  // namespace

Relay::~Relay() {
    stopRelayAndClosePorts();
    stopRateTimer();
}

int Relay::openPort(const char* deviceName, SerialPort& port, int* systemError) {
    int ignored = 0;
    int& reason = systemError != nullptr ? *systemError : ignored;
    reason = 0;
    if (portOpensRefused()) return PortOpenRefused;
    const int index = comIndexOfName(deviceName);
    if (index < 0) {
        if (!port.isOpen()) port.openFailure = PortOpenFailure{};
        return PortOpenFailed;
    }
    return openPortPath(comDevicePaths[index], port, {&serialPort1, &serialPort2}, reason);
}

void Relay::refusePortOpens() { opensRefused.store(true); }
bool Relay::portOpensRefused() const { return opensRefused.load(); }

void Relay::stopRelayWorkers() {
    requestWorkerStop(relayChannel1);
    requestWorkerStop(relayChannel2);
    joinRelayWorker(relayChannel1);
    joinRelayWorker(relayChannel2);
}

void Relay::stopRelayAndClosePorts() {
    stopRelayWorkers();
    closePort(serialPort1);
    closePort(serialPort2);
}

void Relay::updateRates(int32_t rate) {
    if (rate < 1) return;
    // Taken and cleared in one step, so bytes the workers add meanwhile count in the next period.
    const int32_t rate1 = relayChannel1.rateByteCount.exchange(0, std::memory_order_relaxed) / rate;
    const int32_t rate2 = relayChannel2.rateByteCount.exchange(0, std::memory_order_relaxed) / rate;
    if (rateMeter.showRate) {
        rateMeter.showRate(1, formatRate(rate1));
        rateMeter.showRate(2, formatRate(rate2));
    }
}

void Relay::tickThreadBody(int32_t token) {
    using clock = std::chrono::steady_clock;
    auto next = clock::now();
    std::unique_lock<std::mutex> lock(rateMeter.stopLock);
    for (;;) {
        // Against the clock, not from the end of the last tick, so ticks do not drift.
        next += std::chrono::milliseconds(1000);
        if (rateMeter.stopSignal.wait_until(lock, next, [this] { return rateMeter.stopping; })) return;
        lock.unlock();
        onRateTimer(token);
        lock.lock();
        if (rateMeter.stopping) return;
    }
}

int Relay::startRateTimer() {
    // Never two tick threads.
    if (rateMeter.tickThread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(rateMeter.stopLock);
            rateMeter.stopping = true;
        }
        rateMeter.stopSignal.notify_all();
        rateMeter.tickThread.join();
    }
    rateMeter.timerToken = std::rand();
    {
        std::lock_guard<std::mutex> lock(rateMeter.stopLock);
        rateMeter.stopping = false;
    }
    rateMeter.tickThread = std::thread(&Relay::tickThreadBody, this, rateMeter.timerToken);
    pthread_setname_np(rateMeter.tickThread.native_handle(), "vx-rate-tick");
    rateMeter.timerId.store(1, std::memory_order_release);
    return 1;
}

void Relay::onRateTimer(int32_t userValue) {
    if (userValue != rateMeter.timerToken) return;

    if (++rateMeter.elapsedSeconds >= 60) {
        rateMeter.elapsedSeconds = 0;
        if (++rateMeter.elapsedMinutes >= 60) {
            rateMeter.elapsedMinutes = 0;
            ++rateMeter.elapsedHours;
        }
    }

    // Read once: the options dialog may change it between the test and the division.
    const int32_t rate = appOptions.RATE.load(std::memory_order_relaxed);
    ++rateMeter.rateTick;
    if (rate >= 1 && rateMeter.rateTick >= rate) {
        updateRates(rate);
        rateMeter.rateTick = 0;
    }

    countDown(relayChannel1.stampCountdown);
    countDown(relayChannel2.stampCountdown);

    if (rateMeter.showElapsed) {
        rateMeter.showElapsed(formatElapsedClock(rateMeter.elapsedHours, rateMeter.elapsedMinutes,
                                                 rateMeter.elapsedSeconds));
    }
}

void Relay::stopRateTimer() {
    relayChannel1.rateByteCount.store(0, std::memory_order_relaxed);
    relayChannel2.rateByteCount.store(0, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(rateMeter.stopLock);
        rateMeter.stopping = true;
    }
    rateMeter.stopSignal.notify_all();
    if (rateMeter.tickThread.joinable()) rateMeter.tickThread.join();
    rateMeter.timerId.store(0, std::memory_order_release);
}

#include "tests/support/memory_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "relay/serial_port.h"

MemoryDevice& MemoryDevice::attach(SerialPort& port) {
    auto device = std::make_unique<MemoryDevice>();
    MemoryDevice& attached = *device;
    port.device = std::move(device);
    port.presence.store(PortPresent);
    port.handle.store(attached.handle());
    return attached;
}

void MemoryDevice::feed(const std::string& bytes) {
    std::lock_guard guard(lock_);
    input_ += bytes;
    changed_.notify_all();
}

std::string MemoryDevice::written() const {
    std::lock_guard guard(lock_);
    return written_;
}

void MemoryDevice::setStalled(bool stalled) {
    std::lock_guard guard(lock_);
    stalled_ = stalled;
    changed_.notify_all();
}

void MemoryDevice::setWriteLimit(size_t bytes) {
    std::lock_guard guard(lock_);
    writeLimit_ = bytes;
}

void MemoryDevice::unplug() {
    std::lock_guard guard(lock_);
    gone_ = true;
    changed_.notify_all();
}

size_t MemoryDevice::queuedInput() const {
    std::lock_guard guard(lock_);
    return input_.size();
}

int MemoryDevice::readyWaits() const {
    std::lock_guard guard(lock_);
    return readyWaits_;
}

ssize_t MemoryDevice::read(uint8_t* buffer, size_t capacity) {
    std::lock_guard guard(lock_);
    if (gone_) return 0;
    if (input_.empty()) {
        errno = EAGAIN;
        return -1;
    }
    const size_t n = std::min(capacity, input_.size());
    std::memcpy(buffer, input_.data(), n);
    input_.erase(0, n);
    return static_cast<ssize_t>(n);
}

// As a tty's: a hang-up read as end of file is a loss; nothing there is nothing.
ReadEnd MemoryDevice::endOfRead(ssize_t n, int error, int waitEvents) const {
    if (n == 0 && (waitEvents & WaitHangUp)) return ReadEnd::Lost;
    return n < 0 && error == EAGAIN && waitEvents == 0 ? ReadEnd::Nothing : ReadEnd::Quiet;
}

ssize_t MemoryDevice::write(const uint8_t* data, size_t n, WakeHandle) {
    std::lock_guard guard(lock_);
    if (gone_) {
        errno = ENODEV;
        return -1;
    }
    if (stalled_) {
        errno = EAGAIN;
        return -1;
    }
    const size_t taken = std::min(n, writeLimit_);
    written_.append(reinterpret_cast<const char*>(data), taken);
    changed_.notify_all();
    return static_cast<ssize_t>(taken);
}

template <typename Ready>
int MemoryDevice::waitUntil(Ready ready, WakeHandle wake, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 3600000 : timeoutMs);
    std::unique_lock guard(lock_);
    for (;;) {
        const int events = (gone_ ? WaitHangUp : 0) | (ready() ? WaitReady : 0) | (wakeRaised(wake) ? WaitWoken : 0);
        if (events != 0 || Clock::now() >= deadline) return events;
        // The wake-up cannot be waited on together with this device: looked at every millisecond.
        changed_.wait_for(guard, std::chrono::milliseconds(1));
    }
}

int MemoryDevice::waitForInput(WakeHandle wake, int timeoutMs) {
    const int events = waitUntil([this] { return !input_.empty(); }, wake, timeoutMs);
    if (events & WaitReady) {
        std::lock_guard guard(lock_);
        ++readyWaits_;
    }
    return events;
}

int MemoryDevice::waitForRoom(WakeHandle wake, int timeoutMs) {
    return waitUntil([this] { return !stalled_; }, wake, timeoutMs);
}

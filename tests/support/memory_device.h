// A port device in memory, for the relay worker's tests on every system: what the test feeds is
// read, what the worker writes is kept, and the test can stall its writes, take them a few
// bytes at a time, or unplug it.
#pragma once

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "relay/port_device.h"

struct SerialPort;

class MemoryDevice final : public PortDevice {
public:
    // Puts a new device into the closed port as an open would, and returns it (the port owns it).
    static MemoryDevice& attach(SerialPort& port);

    // The test's side.
    void feed(const std::string& bytes);
    std::string written() const;
    // While stalled, a write takes nothing (EAGAIN) and no room comes.
    void setStalled(bool stalled);
    // Each write takes at most this many bytes.
    void setWriteLimit(size_t bytes);
    // Gone: a read ends the file with a hang-up, a write fails with ENODEV.
    void unplug();
    size_t queuedInput() const;
    // How many waits for input have found it there.
    int readyWaits() const;

    // The worker's side.
    PortHandle handle() const override { return 0; }
    ssize_t read(uint8_t* buffer, size_t capacity) override;
    ReadEnd endOfRead(ssize_t n, int error, int waitEvents) const override;
    ssize_t write(const uint8_t* data, size_t n, WakeHandle wake) override;
    bool goneAfterWrite(int error) const override { return error == ENODEV; }
    int outputQueued() const override { return 0; }
    int inputQueued() const override { return static_cast<int>(queuedInput()); }
    int waitForInput(WakeHandle wake, int timeoutMs) override;
    int waitForRoom(WakeHandle wake, int timeoutMs) override;
    int configure(const PortSettings&, LineReadBack&, bool) override { return 0; }
    int close() override { return 0; }
    bool openedAs(const std::string&) const override { return false; }
    bool holdsDevice(const std::string&) const override { return false; }

private:
    // Until `ready` holds or the wake-up is raised, at most timeoutMs: the events found.
    template <typename Ready>
    int waitUntil(Ready ready, WakeHandle wake, int timeoutMs);

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::string input_, written_;
    bool stalled_ = false, gone_ = false;
    size_t writeLimit_ = SIZE_MAX;
    int readyWaits_ = 0;
};

// A serial line the system names by a path: a tty on Linux, a COM port on Windows. What the
// worker makes of its reads and writes is the same on both systems (tty_device.cpp); each
// system's file holds only the system calls.
#pragma once

#include <string>

#include "relay/port_device.h"

class TtyDevice final : public PortDevice {
public:
    // Takes the opened handle; `opened` is the name it was opened as (Windows cannot tell it
    // from the handle). `drains`: whether its driver keeps an output queue that a line sends
    // (a pseudo-terminal's hands every byte on at once and never reports one).
    TtyDevice(PortHandle handle, std::string opened, bool drains = true);
    ~TtyDevice() override;

    PortHandle handle() const override { return handle_; }
    ssize_t read(uint8_t* buffer, size_t capacity) override;
    ReadEnd endOfRead(ssize_t n, int error, int waitEvents) const override;
    ssize_t write(const uint8_t* data, size_t n, WakeHandle wake) override;
    bool goneAfterWrite(int error) const override;
    int drainWaitMs() override;
    int outputQueued() const override;
    int inputQueued() const override;
    int waitForInput(WakeHandle wake, int timeoutMs) override;
    int waitForRoom(WakeHandle wake, int timeoutMs) override;
    int configure(const PortSettings& settings, LineReadBack& readBack, bool purge) override;
    int close() override;
    bool openedAs(const std::string& path) const override;
    bool holdsDevice(const std::string& path) const override;

private:
    // The rate the line runs at now, to size the wait for its output queue; 0 when unknown.
    uint32_t systemLineRate() const;

    PortHandle handle_;
    std::string opened_;
    bool drains_;
    // The line's rate as the last configure left it (read back from the device): asked once,
    // not before every write.
    uint32_t lineRate_ = 0;
};

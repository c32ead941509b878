// What an open port is to the workers and its owner, whatever is behind it: a tty (one file per
// system, holding only the system calls) or a connection to a serial server. The open's checks
// and bookkeeping are written once (serial_port.cpp); the kind of port is chosen there, by its
// path, and nobody above asks it again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

#include "relay/port_handle.h"
#include "relay/worker_wait.h"

struct PortSettings;
struct LineReadBack;
struct PortOpenFailure;
class NetworkPort;

// How a read that gave no data ends for the reading worker.
enum class ReadEnd {
    Nothing,  // nothing there (or only a server's commands): wait for the next input
    Quiet,    // the device signalled but gave nothing: keep a quiet rhythm before the next look
    Lost,     // the device is gone: the port is lost
};

class PortDevice {
public:
    virtual ~PortDevice() = default;

    // The system's handle (a descriptor, a HANDLE's or a SOCKET's value); never negative.
    virtual PortHandle handle() const = 0;

    // Like read(2) on a non-blocking descriptor: > 0 data bytes, -1 with EAGAIN when nothing was
    // there, 0 or -1 with another errno when the device failed (errno values on every system).
    virtual ssize_t read(uint8_t* buffer, size_t capacity) = 0;
    // What a read that gave no data (`n` 0 or -1, `error` its errno) means, given the events
    // the wait before it found (0 when the worker read without waiting).
    virtual ReadEnd endOfRead(ssize_t n, int error, int waitEvents) const = 0;
    // Like write(2). Where a write waits for itself (a COM port on Windows) it waits up to a
    // second or until `wake` is raised; -1 with EAGAIN when nothing went.
    virtual ssize_t write(const uint8_t* data, size_t n, WakeHandle wake) = 0;
    // Whether a failed write (its errno) means that the device is gone.
    virtual bool goneAfterWrite(int error) const = 0;
    // How long the writer should wait before its next write because the device still holds
    // bytes of earlier ones (0: write now). A tty is never written while its driver holds
    // output; the wait is the time its line needs to send it, at most kLongestDrainMs.
    virtual int drainWaitMs() { return 0; }
    static constexpr int kLongestDrainMs = 1000;

    // Bytes written but not yet sent on; -1 when it cannot be told.
    virtual int outputQueued() const = 0;
    // Bytes received and waiting to be read; -1 when it cannot be told.
    virtual int inputQueued() const = 0;
    // Bytes the port holds that the system has not taken yet, and sending them on.
    virtual size_t heldOutput() const { return 0; }
    virtual void flushHeld() {}
    // Whether the device found itself gone outside a read or a write (while flushing).
    virtual bool lost() const { return false; }

    // How long the reading worker may wait for input alone (-1: as long as it takes).
    virtual int readWaitMs() const { return -1; }
    // Until input (or a hang-up, an error) or `wake`, at most timeoutMs (-1: no limit): the
    // WaitEvents found, 0 when the time ran out, -1 with errno when it cannot be waited on.
    virtual int waitForInput(WakeHandle wake, int timeoutMs) = 0;
    // The same for room to write; where nothing tells of room, a short look-again pause.
    virtual int waitForRoom(WakeHandle wake, int timeoutMs) = 0;

    // Applies the settings (after emptying both queues when `purge`) and reads them back into
    // `readBack`, or asks a server for them (its answers come later). 0, else the errno.
    virtual int configure(const PortSettings& settings, LineReadBack& readBack, bool purge) = 0;
    // Closes the device; output held back by flow control gets about a second. 0, else the errno.
    virtual int close() = 0;

    // Whether `path` names the very device this holds (another spelling of it counts), so that
    // the other port's open of it is refused.
    virtual bool openedAs(const std::string& path) const = 0;
    // Whether this still holds the device that `path` leads to now, so that a restart may keep
    // it open; false where the system cannot tell.
    virtual bool holdsDevice(const std::string& path) const = 0;

    // The last line and modem state the device told of; -1 where it tells none.
    virtual int lineState() const { return -1; }
    virtual int modemState() const { return -1; }
    // The connection behind a network port, for the user's reports of its server; null for a tty.
    virtual NetworkPort* connection() const { return nullptr; }
};

// Opens the tty at `path` for the port: exclusively and non-blocking, refusing a session's
// controlling terminal where the system tells it. `failure` gets the refusal's kind, errno and
// details; the result is a PortOpenResult. One definition per system.
int openTtyDevice(const std::string& path, std::unique_ptr<PortDevice>& device, PortOpenFailure& failure);

// What the workers and the owner do with a port, whatever is behind it: a tty's descriptor or
// a connection to a serial server. The workers call the I/O calls; the owner the open steps.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

#include "relay/port_handle.h"
#include "relay/worker_wait.h"

struct SerialPort;
struct PortOpenFailure;

// Like read(2) on the non-blocking port: > 0 data bytes, -1 with EAGAIN when nothing (or only a
// server's commands) was there, 0 or -1 with another errno when the port is gone (on Windows
// the system's error is told as the errno of the same meaning).
ssize_t portRead(SerialPort& port, PortHandle handle, uint8_t* buffer, size_t capacity);
// Like write(2); a network port takes what its window in flight has room for (-1 with EAGAIN
// while earlier bytes wait, the window is full or the server suspended sending). On Windows the write waits for itself, up to a second
// or until `wake` is raised, and then says how much of it went (-1 with EAGAIN for nothing).
ssize_t portWrite(SerialPort& port, PortHandle handle, const uint8_t* data, size_t n, WakeHandle wake);
// Bytes written but not yet sent on: the driver's output queue, or the socket's unsent bytes
// plus what the port holds; -1 when it cannot be told.
int portOutputQueued(const SerialPort& port, PortHandle handle);
// Bytes received and waiting to be read: the driver's input queue (FIONREAD, or cbInQue); -1
// when it cannot be told.
int portInputQueued(PortHandle handle);
// The rate the device's line runs at now, to size the wait for its output queue; 0 when unknown.
uint32_t portLineRate(const SerialPort& port, PortHandle handle);
// Bytes a network port holds that its socket has not taken yet; 0 for a tty.
size_t portHeldOutput(const SerialPort& port);
// Sends on what a network port holds, as far as its socket takes it.
void portFlushHeld(SerialPort& port);
// How long the reading worker may wait for input alone (-1: as long as it takes).
int portReadWaitMs(const SerialPort& port);
// Whether the port is a network port (reads and writes end differently from a tty's).
bool portIsNetwork(const SerialPort& port);

// Starts connecting a closed port to the network path in the background: PortOpenPending, or
// PortOpenFailed for a path that is not HOST:PORT (`reason` EINVAL). The port becomes away
// (RefusalConnecting) until stepNetworkOpen ends the connect.
int startNetworkOpen(const std::string& path, SerialPort& port, int& reason);

// What one look at a network port's connect found.
enum class NetworkOpenStep {
    Idle,       // nothing under way, or not due yet
    Pending,    // still connecting
    Connected,  // the port is open now: descriptor set, settings sent, present
    Failed,     // the connect failed: openFailure says why; retried after a back-off
};
// The back-off between two tries of a network port: 500 ms doubling up to 5 s.
std::chrono::milliseconds networkRetryDelay(int failuresInARow);
// One step for a closed network port (the owner's, every few hundred ms): ends a finished
// connect, or starts the next try once its back-off has passed.
// `quiesce` runs just before a connected port is set up (the owner stops the workers there,
// since they read what the port holds).
NetworkOpenStep stepNetworkOpen(SerialPort& port, const std::string& path,
                                std::chrono::steady_clock::time_point now,
                                const std::function<void()>& quiesce);
// Why a lost network port went, as its connection tells it (before it is closed): a reset and
// its errno, the server's own line, a flood of commands, or a plain close.
PortOpenFailure networkLossFailure(const SerialPort& port, const std::string& path);
// Why a lost network port went (before it is closed): the refusal it is away for.
void noteNetworkLoss(SerialPort& port, const std::string& path, std::chrono::steady_clock::time_point now);

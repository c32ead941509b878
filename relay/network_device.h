// A port on a serial server, as the workers see it (a PortDevice over a NetworkPort), and the
// owner's steps that connect it in the background and again after a loss.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "relay/network_port.h"
#include "relay/port_device.h"

struct SerialPort;
struct PortOpenFailure;

class NetworkDevice final : public PortDevice {
public:
    NetworkDevice(std::shared_ptr<NetworkPort> connection, std::string path)
        : port_(std::move(connection)), path_(std::move(path)) {}

    PortHandle handle() const override { return static_cast<PortHandle>(port_->fd()); }
    ssize_t read(uint8_t* buffer, size_t capacity) override { return port_->readData(buffer, capacity); }
    ReadEnd endOfRead(ssize_t n, int error, int waitEvents) const override;
    // Takes what its window in flight has room for; -1 with EAGAIN while earlier bytes wait, the
    // window is full or the server suspended sending.
    ssize_t write(const uint8_t* data, size_t n, WakeHandle) override { return port_->writeData(data, n); }
    // Any failure of a connection ends it.
    bool goneAfterWrite(int) const override { return true; }
    int outputQueued() const override { return port_->outputQueued(); }
    int inputQueued() const override { return networkInputQueued(*port_); }
    size_t heldOutput() const override { return port_->heldBytes(); }
    void flushHeld() override { port_->flush(); }
    bool lost() const override { return port_->lost(); }
    int readWaitMs() const override { return port_->readWaitMs(); }
    int waitForInput(WakeHandle wake, int timeoutMs) override { return waitForNetworkInput(*port_, wake, timeoutMs); }
    int waitForRoom(WakeHandle wake, int timeoutMs) override;
    int configure(const PortSettings& settings, LineReadBack& readBack, bool purge) override;
    // The connection closes with its last owner: a socket needs no drain of a line's.
    int close() override;
    bool openedAs(const std::string&) const override { return false; }
    // A connection is kept while its path is the same text: the server is asked for new settings over it.
    bool holdsDevice(const std::string& path) const override { return path == path_; }
    int lineState() const override { return port_->lineState(); }
    int modemState() const override { return port_->modemState(); }
    NetworkPort* connection() const override { return port_.get(); }

    const std::string& path() const { return path_; }

private:
    std::shared_ptr<NetworkPort> port_;
    std::string path_;
};

// The reconnect logic's state of one network port: a connect under way, how many tries in a row
// failed (the retries back off), the look-up an attempt gave up on, and since when the port has
// been connected. The owner's alone; no worker reads it.
struct NetworkRetry {
    std::unique_ptr<NetworkConnector> connector;
    std::string connectorPath;
    // A name's look-up that an attempt gave up on, still running or answered too late: the next
    // attempt takes it over rather than ask again.
    std::shared_ptr<NetworkLookup> lookup;
    int connectFailures = 0;
    std::chrono::steady_clock::time_point connectedAt{};
};

// Starts connecting a closed port to the network path in the background: PortOpenPending, or
// PortOpenFailed for a path that is not HOST:PORT (`reason` EINVAL). The port becomes away
// (RefusalConnecting) until stepNetworkOpen ends the connect.
int startNetworkOpen(const std::string& path, SerialPort& port, int& reason);

// What one look at a network port's connect found.
enum class NetworkOpenStep {
    Idle,       // nothing under way, or not due yet
    Pending,    // still connecting
    Connected,  // the port is open now: device set, settings sent, present
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
// Notes why a lost network port went (before it is closed) and when it is tried again.
void noteNetworkLoss(SerialPort& port, const std::string& path, std::chrono::steady_clock::time_point now);

#include "relay/network_device.h"

#include <algorithm>
#include <cerrno>

#include "relay/serial_port.h"

ReadEnd NetworkDevice::endOfRead(ssize_t n, int error, int) const {
    // A server's commands, taken in whole: nothing to wait for before the next look. Anything
    // else ends the connection.
    return n < 0 && (error == EAGAIN || error == EWOULDBLOCK) ? ReadEnd::Nothing : ReadEnd::Lost;
}

namespace {
constexpr int kSuspendLookMs = 10;
constexpr int kWindowLookMs = 1;
}  // namespace

int NetworkDevice::waitForRoom(WakeHandle wake, int timeoutMs) {
    if (port_->heldBytes() > 0) return waitForNetworkRoom(*port_, wake, timeoutMs);
    // Nothing held back, so the socket has room: the window in flight is full, and drains as the
    // peer acknowledges, which no wait is told of; or the server asked to suspend sending, and
    // its resume comes on the reading worker. Look again shortly.
    sleepUnlessWoken(wake, port_->sendingPaused() ? kSuspendLookMs : kWindowLookMs);
    return 0;
}

int NetworkDevice::configure(const PortSettings& settings, LineReadBack&, bool) {
    // The server's answers are the read-back; they come later, on the reading worker.
    return port_->sendSettings(networkSettingsFor(settings));
}

int NetworkDevice::close() {
    port_.reset();
    return 0;
}

int startNetworkOpen(const std::string& path, SerialPort& port, int& reason) {
    NetworkAddress address;
    if (!parseNetworkPath(path, address)) {
        reason = EINVAL;
        if (!port.isOpen()) {
            port.openFailure = PortOpenFailure{};
            port.openFailure.kind = lacksZone(path) ? RefusalZoneMissing : RefusalBadAddress;
            port.openFailure.path = path;
            port.openFailure.systemError = EINVAL;
            // Nothing to retry: the user has to mend the path.
            port.presence.store(PortHalted, std::memory_order_release);
        }
        return PortOpenFailed;
    }
    if (port.isOpen()) return PortOpenFailed;  // the caller closes first
    port.networkRetry.connector = std::make_unique<NetworkConnector>(address, NetworkConnector::kDefaultTimeout, nullptr,
                                                        std::move(port.networkRetry.lookup));
    port.networkRetry.connectorPath = path;
    port.networkRetry.connectFailures = 0;
    port.openFailure = PortOpenFailure{};
    port.openFailure.kind = RefusalConnecting;
    port.openFailure.path = path;
    port.presence.store(PortAway, std::memory_order_release);
    reason = 0;
    return PortOpenPending;
}

std::chrono::milliseconds networkRetryDelay(int failuresInARow) {
    int64_t ms = 500;
    for (int i = 1; i < failuresInARow && ms < 5000; ++i) ms *= 2;
    return std::chrono::milliseconds(std::min<int64_t>(ms, 5000));
}

NetworkOpenStep stepNetworkOpen(SerialPort& port, const std::string& path,
                                std::chrono::steady_clock::time_point now,
                                const std::function<void()>& quiesce) {
    if (port.isOpen()) return NetworkOpenStep::Idle;
    // The path changed under a connect (the devices window): the old one is of no use.
    if (port.networkRetry.connector && port.networkRetry.connectorPath != path) {
        port.networkRetry.connector.reset();
        port.networkRetry.connectorPath.clear();
    }
    if (!port.networkRetry.connector) {
        if (now < port.nextOpenTry) return NetworkOpenStep::Idle;
        NetworkAddress address;
        if (!parseNetworkPath(path, address)) return NetworkOpenStep::Idle;
        port.networkRetry.connector = std::make_unique<NetworkConnector>(address, NetworkConnector::kDefaultTimeout, nullptr,
                                                            std::move(port.networkRetry.lookup));
        port.networkRetry.connectorPath = path;
        return NetworkOpenStep::Pending;
    }
    const ConnectResult result = port.networkRetry.connector->result();
    if (result.state == ConnectResult::State::Pending) return NetworkOpenStep::Pending;
    if (result.state == ConnectResult::State::Connected) {
        const NetworkSocket fd = port.networkRetry.connector->take();
        port.networkRetry.connector.reset();
        port.networkRetry.connectorPath.clear();
        NetworkAddress address;
        parseNetworkPath(path, address);
        auto network = std::make_shared<NetworkPort>(fd, address.scheme);
        const int error = network->start(networkSettingsFor(port.settings));
        if (error == 0) {
            if (quiesce) quiesce();
            port.device = std::make_unique<NetworkDevice>(std::move(network), path);
            port.networkRetry.connectedAt = now;
            port.lineReadBack = LineReadBack{};
            port.openFailure = PortOpenFailure{};
            port.handle.store(static_cast<PortHandle>(fd), std::memory_order_release);
            port.presence.store(PortPresent, std::memory_order_release);
            return NetworkOpenStep::Connected;
        }
        // Accepted, then gone at the first send: as a refused connect.
        port.openFailure = PortOpenFailure{};
        port.openFailure.kind = RefusalConnectionLost;
        port.openFailure.systemError = error;
    } else {
        port.openFailure = PortOpenFailure{};
        port.openFailure.kind = RefusalUnreachable;
        port.openFailure.systemError = result.systemError;
        if (result.failure == ConnectResult::Failure::Resolve) port.openFailure.detail = result.resolverMessage;
        port.networkRetry.lookup = port.networkRetry.connector->unfinishedLookup();
        port.networkRetry.connector.reset();
        port.networkRetry.connectorPath.clear();
    }
    port.openFailure.path = path;
    port.networkRetry.connectFailures += 1;
    port.nextOpenTry = now + networkRetryDelay(port.networkRetry.connectFailures);
    port.presence.store(PortAway, std::memory_order_release);
    return NetworkOpenStep::Failed;
}

PortOpenFailure networkLossFailure(const SerialPort& port, const std::string& path) {
    PortOpenFailure failure;
    failure.path = path;
    failure.kind = RefusalConnectionLost;
    if (const NetworkPort* network = port.device ? port.device->connection() : nullptr) {
        switch (network->loss()) {
            case NetworkLoss::ServerMessage:
                failure.kind = RefusalServerMessage;
                failure.detail = network->serverMessage();
                break;
            case NetworkLoss::CommandFlood:
                failure.kind = RefusalNotServer;
                break;
            case NetworkLoss::NotReading:
                failure.kind = RefusalNotReading;
                break;
            case NetworkLoss::Failed:
                failure.systemError = network->lossError();
                break;
            default:
                break;
        }
    }
    return failure;
}

void noteNetworkLoss(SerialPort& port, const std::string& path, std::chrono::steady_clock::time_point now) {
    const PortOpenFailure failure = networkLossFailure(port, path);
    port.openFailure = failure;
    // A connection that lasted starts the back-off afresh; one that a server closes at once
    // (its device missing, its port taken) is tried less and less often.
    const bool lasted = now - port.networkRetry.connectedAt >= std::chrono::seconds(5) && failure.kind == RefusalConnectionLost;
    port.networkRetry.connectFailures = lasted ? 1 : port.networkRetry.connectFailures + 1;
    port.nextOpenTry = now + networkRetryDelay(port.networkRetry.connectFailures);
}

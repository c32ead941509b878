#include "relay/port_io.h"

#include <algorithm>
#include <cerrno>

#include "relay/network_port.h"
#include "relay/serial_port.h"

size_t portHeldOutput(const SerialPort& port) { return port.network ? port.network->heldBytes() : 0; }

void portFlushHeld(SerialPort& port) {
    if (port.network) port.network->flush();
}

int portReadWaitMs(const SerialPort& port) { return port.network ? port.network->readWaitMs() : -1; }

bool portIsNetwork(const SerialPort& port) { return port.network != nullptr; }

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
    port.connector = std::make_unique<NetworkConnector>(address, NetworkConnector::kDefaultTimeout, nullptr,
                                                        std::move(port.lookup));
    port.connectorPath = path;
    port.connectFailures = 0;
    port.openReportOwed = true;
    port.openReportDue = false;
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
    if (port.connector && port.connectorPath != path) {
        port.connector.reset();
        port.connectorPath.clear();
    }
    if (!port.connector) {
        if (now < port.nextOpenTry) return NetworkOpenStep::Idle;
        NetworkAddress address;
        if (!parseNetworkPath(path, address)) return NetworkOpenStep::Idle;
        port.connector = std::make_unique<NetworkConnector>(address, NetworkConnector::kDefaultTimeout, nullptr,
                                                            std::move(port.lookup));
        port.connectorPath = path;
        return NetworkOpenStep::Pending;
    }
    const ConnectResult result = port.connector->result();
    if (result.state == ConnectResult::State::Pending) return NetworkOpenStep::Pending;
    if (result.state == ConnectResult::State::Connected) {
        const NetworkSocket fd = port.connector->take();
        port.connector.reset();
        port.connectorPath.clear();
        NetworkAddress address;
        parseNetworkPath(path, address);
        auto network = std::make_shared<NetworkPort>(fd, address.scheme);
        const int error = network->start(networkSettingsFor(port.settings));
        if (error == 0) {
            if (quiesce) quiesce();
            port.network = std::move(network);
            port.connectedAt = now;
            port.networkPath = path;
            port.lineReadBack = LineReadBack{};
            port.openFailure = PortOpenFailure{};
            port.openReportOwed = false;
            port.handle.store(fd, std::memory_order_release);
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
        port.lookup = port.connector->unfinishedLookup();
        port.connector.reset();
        port.connectorPath.clear();
    }
    port.openFailure.path = path;
    port.connectFailures += 1;
    port.nextOpenTry = now + networkRetryDelay(port.connectFailures);
    port.presence.store(PortAway, std::memory_order_release);
    if (port.openReportOwed) {
        port.openReportOwed = false;
        port.openReportDue = true;
    }
    return NetworkOpenStep::Failed;
}

PortOpenFailure networkLossFailure(const SerialPort& port, const std::string& path) {
    PortOpenFailure failure;
    failure.path = path;
    failure.kind = RefusalConnectionLost;
    if (port.network) {
        switch (port.network->loss()) {
            case NetworkLoss::ServerMessage:
                failure.kind = RefusalServerMessage;
                failure.detail = port.network->serverMessage();
                break;
            case NetworkLoss::CommandFlood:
                failure.kind = RefusalNotServer;
                break;
            case NetworkLoss::NotReading:
                failure.kind = RefusalNotReading;
                break;
            case NetworkLoss::Failed:
                failure.systemError = port.network->lossError();
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
    const bool lasted = now - port.connectedAt >= std::chrono::seconds(5) && failure.kind == RefusalConnectionLost;
    port.connectFailures = lasted ? 1 : port.connectFailures + 1;
    port.nextOpenTry = now + networkRetryDelay(port.connectFailures);
}

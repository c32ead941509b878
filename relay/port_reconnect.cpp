#include "relay/port_reconnect.h"

#include <atomic>
#include <string>

#include "relay/network_device.h"
#include "relay/relay.h"
#include "relay/relay_channel.h"
#include "relay/serial_port.h"

namespace {

int32_t presenceOf(const SerialPort& port) { return port.presence.load(std::memory_order_acquire); }

void startWorkersWithOpenSources(Relay& relay) {
    for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
        if (channel->source.isOpen()) startRelayWorker(*channel);
    }
}

// Bytes for a port that is back are delivered again: the count of those that were not starts afresh.
void allowDeliveryTo(Relay& relay, const SerialPort& port) {
    for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
        if (&channel->destination == &port) channel->undeliveredBytes.store(0, std::memory_order_relaxed);
    }
}

// The device is back when its path opens: into a port of its own first, so that nothing
// changes for the running workers until it has. A failed try keeps what it found for the user.
bool reopenAwayPort(Relay& relay, SerialPort& port) {
    SerialPort fresh;
    if (relay.openPort(portDeviceNameAt(port.settings.comIndex), fresh) != PortOpened) {
        port.openFailure = fresh.openFailure;
        const int32_t after = fresh.presence.load(std::memory_order_acquire);
        // Opened but refused for a reason of its own (not a terminal now, an odd error): tried
        // again now and then like any device that is there.
        port.presence.store(after == PortPresent ? PortBarred : after, std::memory_order_release);
        return false;
    }
    relay.stopRelayWorkers();
    port.device = std::move(fresh.device);
    port.handle.store(fresh.handle.exchange(kNoPortHandle), std::memory_order_release);
    port.openFailure = PortOpenFailure{};
    port.presence.store(PortPresent, std::memory_order_release);
    // The settings it had, and nothing purged: what the device sent since it came back is relayed.
    reconfigurePort(port);
    allowDeliveryTo(relay, port);
    return true;
}

// A device: reopened by its path. A pseudo-terminal does not come back (its number goes to the
// next terminal opened anywhere); an adapter is waited for.
class DeviceKind final : public PortKind {
public:
    PortOpenFailure lossFailure(const SerialPort&, const std::string& path) const override {
        PortOpenFailure lost;
        lost.path = path;
        lost.kind = pseudoTerminalPath(path) ? RefusalPtyClosed : RefusalMissing;
        return lost;
    }
    void closeLost(SerialPort& port, const std::string& path, Clock::time_point) const override {
        closePort(port);
        port.openFailure = lossFailure(port, path);
        port.presence.store(port.openFailure.kind == RefusalPtyClosed ? PortHalted : PortAway, std::memory_order_release);
    }
    bool stepBack(Relay& relay, SerialPort& port, const std::string&, Clock::time_point now) const override {
        const int32_t presence = presenceOf(port);
        // A missing path is looked for at every step; a device that is there but refused is
        // asked again only now and then, since each try opens it (and looks through /proc).
        if (presence == PortBarred && now < port.nextOpenTry) return false;
        if (presence != PortAway && presence != PortBarred) return false;
        if (reopenAwayPort(relay, port)) return true;
        if (presenceOf(port) == PortBarred) port.nextOpenTry = now + kBarredRetryInterval;
        return false;
    }
    SettingsReport settingsReport(const SerialPort& port) const override {
        SettingsReport report;
        report.device = port.lineReadBack;
        if (port.lineReadBack.systemError != 0) report.kind = SettingsReport::Kind::DeviceError;
        else if (port.lineReadBack.differs) report.kind = SettingsReport::Kind::DeviceDiffers;
        return report;
    }
};

// A network port: connected again after a back-off that its losses and failed connects grow.
class NetworkKind final : public PortKind {
public:
    PortOpenFailure lossFailure(const SerialPort& port, const std::string& path) const override {
        return networkLossFailure(port, path);
    }
    void closeLost(SerialPort& port, const std::string& path, Clock::time_point now) const override {
        noteNetworkLoss(port, path, now);
        closePort(port);
        port.presence.store(PortAway, std::memory_order_release);
    }
    bool stepBack(Relay& relay, SerialPort& port, const std::string& path, Clock::time_point now) const override {
        if (presenceOf(port) != PortAway) return false;
        if (stepNetworkOpen(port, path, now, [&relay] { relay.stopRelayWorkers(); }) != NetworkOpenStep::Connected)
            return false;
        allowDeliveryTo(relay, port);
        return true;
    }
    bool lossToldAfterClose() const override { return true; }
    bool reportsWhileOpen() const override { return true; }
    bool firstOpenPending(const SerialPort& port) const override {
        return port.networkRetry.connector != nullptr && port.networkRetry.connectFailures == 0 && !port.isOpen();
    }
    bool openFailedSinceAsked(const SerialPort& port) const override { return port.networkRetry.connectFailures > 0; }
    SettingsReport settingsReport(const SerialPort& port) const override {
        SettingsReport report;
        const NetworkPort* connection = port.device ? port.device->connection() : nullptr;
        if (connection == nullptr) return report;
        if (!connection->carriesSettings()) {
            report.kind = SettingsReport::Kind::NotCarried;
        } else {
            report.server = connection->readBack();
            if (report.server.differs()) report.kind = SettingsReport::Kind::ServerDiffers;
        }
        return report;
    }
};

}  // namespace

ReconnectHold::ReconnectHold(Relay& relay) : relay_(relay) { relay_.reconnectHolds.fetch_add(1); }
ReconnectHold::~ReconnectHold() { relay_.reconnectHolds.fetch_sub(1); }

const PortKind& portKindOf(const std::string& path) {
    static const DeviceKind device;
    static const NetworkKind network;
    if (isNetworkPath(path)) return network;
    return device;
}

std::string portPathOf(const Relay& relay, const SerialPort& port) {
    const int32_t comIndex = port.settings.comIndex;
    return comIndex >= 0 && comIndex < 6 ? relay.comDevicePaths[comIndex] : std::string();
}

const PortKind& portKindOf(const Relay& relay, const SerialPort& port) { return portKindOf(portPathOf(relay, port)); }

bool reconnectPorts(Relay& relay, std::chrono::steady_clock::time_point now) {
    if (relay.portOpensRefused() || relay.reconnectHolds.load() > 0) return false;
    SerialPort* const ports[2] = {&relay.serialPort1, &relay.serialPort2};
    bool changed = false;
    if (presenceOf(relay.serialPort1) == PortLost || presenceOf(relay.serialPort2) == PortLost) {
        // Each port is read by one worker and written by the other: both end before the close.
        relay.stopRelayWorkers();
        for (SerialPort* port : ports) {
            if (presenceOf(*port) != PortLost) continue;
            const std::string path = portPathOf(relay, *port);
            portKindOf(path).closeLost(*port, path, now);
        }
        changed = true;
    }
    for (SerialPort* port : ports) {
        if (port->isOpen()) continue;
        const std::string path = portPathOf(relay, *port);
        if (portKindOf(path).stepBack(relay, *port, path, now)) changed = true;
    }
    if (changed) startWorkersWithOpenSources(relay);
    return changed;
}

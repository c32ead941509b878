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
    for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
        if (&channel->destination == &port) channel->undeliveredBytes.store(0, std::memory_order_relaxed);
    }
    return true;
}

// A lost port, closed: a network port is connected again after a back-off; a pseudo-terminal does not come back (its number goes to the next
// terminal opened anywhere), an adapter is waited for.
void markClosedLostPort(const Relay& relay, SerialPort& port) {
    const int32_t comIndex = port.settings.comIndex;
    PortOpenFailure failure;
    failure.path = comIndex >= 0 && comIndex < 6 ? relay.comDevicePaths[comIndex] : "";
    if (isNetworkPath(failure.path)) {
        port.presence.store(PortAway, std::memory_order_release);
        return;
    }
    const bool pseudoTerminal = pseudoTerminalPath(failure.path);
    failure.kind = pseudoTerminal ? RefusalPtyClosed : RefusalMissing;
    port.openFailure = failure;
    port.presence.store(pseudoTerminal ? PortHalted : PortAway, std::memory_order_release);
}

}  // namespace

ReconnectHold::ReconnectHold(Relay& relay) : relay_(relay) { relay_.reconnectHolds.fetch_add(1); }
ReconnectHold::~ReconnectHold() { relay_.reconnectHolds.fetch_sub(1); }

bool reconnectPorts(Relay& relay, std::chrono::steady_clock::time_point now) {
    if (relay.portOpensRefused() || relay.reconnectHolds.load() > 0) return false;
    SerialPort* const ports[2] = {&relay.serialPort1, &relay.serialPort2};
    bool changed = false;
    if (presenceOf(relay.serialPort1) == PortLost || presenceOf(relay.serialPort2) == PortLost) {
        // Each port is read by one worker and written by the other: both end before the close.
        relay.stopRelayWorkers();
        for (SerialPort* port : ports) {
            if (presenceOf(*port) != PortLost) continue;
            const int32_t comIndex = port->settings.comIndex;
            const std::string path = comIndex >= 0 && comIndex < 6 ? relay.comDevicePaths[comIndex] : "";
            if (isNetworkPath(path)) noteNetworkLoss(*port, path, now);
            closePort(*port);
            markClosedLostPort(relay, *port);
        }
        changed = true;
    }
    for (SerialPort* port : ports) {
        if (port->isOpen()) continue;
        const int32_t presence = presenceOf(*port);
        const int32_t comIndex = port->settings.comIndex;
        const std::string& path = comIndex >= 0 && comIndex < 6 ? relay.comDevicePaths[comIndex] : std::string();
        if (isNetworkPath(path)) {
            if (presence != PortAway) continue;
            const NetworkOpenStep step = stepNetworkOpen(*port, path, now, [&relay] { relay.stopRelayWorkers(); });
            if (step == NetworkOpenStep::Connected) {
                for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
                    if (&channel->destination == port) channel->undeliveredBytes.store(0, std::memory_order_relaxed);
                }
                changed = true;
            }
            continue;
        }
        // A missing path is looked for at every step; a device that is there but refused is
        // asked again only now and then, since each try opens it (and looks through /proc).
        if (presence == PortBarred && now < port->nextOpenTry) continue;
        if (presence != PortAway && presence != PortBarred) continue;
        if (reopenAwayPort(relay, *port)) {
            changed = true;
        } else if (presenceOf(*port) == PortBarred) {
            port->nextOpenTry = now + kBarredRetryInterval;
        }
    }
    if (changed) startWorkersWithOpenSources(relay);
    return changed;
}

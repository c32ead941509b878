#include "relay/port_reconnect.h"

#include <atomic>

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
// changes for the running workers until it has.
bool reopenAwayPort(Relay& relay, SerialPort& port) {
    SerialPort fresh;
    if (relay.openPort(portDeviceNameAt(port.settings.comIndex), fresh) != PortOpened) return false;
    relay.stopRelayWorkers();
    port.handle.store(fresh.handle.exchange(-1), std::memory_order_release);
    port.presence.store(PortPresent, std::memory_order_release);
    // The settings it had, and nothing purged: what the device sent since it came back is relayed.
    reconfigurePort(port);
    for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
        if (&channel->destination == &port) channel->undeliveredBytes.store(0, std::memory_order_relaxed);
    }
    return true;
}

}  // namespace

ReconnectHold::ReconnectHold(Relay& relay) : relay_(relay) { relay_.reconnectHolds.fetch_add(1); }
ReconnectHold::~ReconnectHold() { relay_.reconnectHolds.fetch_sub(1); }

bool reconnectPorts(Relay& relay) {
    if (relay.portOpensRefused() || relay.reconnectHolds.load() > 0) return false;
    SerialPort* const ports[2] = {&relay.serialPort1, &relay.serialPort2};
    bool changed = false;
    if (presenceOf(relay.serialPort1) == PortLost || presenceOf(relay.serialPort2) == PortLost) {
        // Each port is read by one worker and written by the other: both end before the close.
        relay.stopRelayWorkers();
        for (SerialPort* port : ports) {
            if (presenceOf(*port) != PortLost) continue;
            closePort(*port);
            port->presence.store(PortAway, std::memory_order_release);
        }
        changed = true;
    }
    for (SerialPort* port : ports) {
        if (presenceOf(*port) == PortAway && !port->isOpen() && reopenAwayPort(relay, *port)) changed = true;
    }
    if (changed) startWorkersWithOpenSources(relay);
    return changed;
}

std::string withThousandsSeparators(long long value) {
    const bool negative = value < 0;
    const unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                                  : static_cast<unsigned long long>(value);
    std::string digits = std::to_string(magnitude);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
    return negative ? "-" + digits : digits;
}

std::string reconnectStatusText(const Relay& relay) {
    const SerialPort* const ports[2] = {&relay.serialPort1, &relay.serialPort2};
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    for (const SerialPort* port : ports) {
        if (presenceOf(*port) == PortPresent) continue;
        const int32_t comIndex = port->settings.comIndex;
        const std::string path = comIndex >= 0 && comIndex < 6 ? relay.comDevicePaths[comIndex] : "";
        add(std::string(portDisplayNameAt(comIndex)) + ": " + path + " unplugged, waiting");
    }
    for (const RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
        const long long count = channel->undeliveredBytes.load(std::memory_order_relaxed);
        if (count <= 0 || presenceOf(channel->destination) == PortPresent) continue;
        add(withThousandsSeparators(count) + " bytes not delivered to " +
            portDisplayNameAt(channel->destination.settings.comIndex));
    }
    return text;
}

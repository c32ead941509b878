#include "shell/session.h"

#include "relay/port_reconnect.h"
#include "settings/serial_devices.h"

namespace {

int64_t secondsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::seconds>(to - from).count();
}

const SerialPort& portOf(const Relay& relay, int port) { return port == 2 ? relay.serialPort2 : relay.serialPort1; }
const RelayChannel& channelOf(const Relay& relay, int channel) {
    return channel == 2 ? relay.relayChannel2 : relay.relayChannel1;
}

}  // namespace

Session::Session() { connectRelaySinks(); }

Session::~Session() {
    relay.stopRelayAndClosePorts();
    relay.stopRateTimer();
}

void Session::connectRelaySinks() {
    readOrder.listen(&captures.combinedCapture);
    readOrder.listen(&captures.frameCapture);
    readOrder.listen(&captures.pcapCapture);
    readOrder.listen(&captures.pcapServer);
    readOrder.listen(&timeline);
    relay.relayChannel1.readSink = &readOrder.sink(1);
    relay.relayChannel2.readSink = &readOrder.sink(2);
    relay.relayChannel1.displaySink = &trafficDisplay1;
    relay.relayChannel2.displaySink = &trafficDisplay2;
    relay.relayChannel1.logSink = &log1;
    relay.relayChannel2.logSink = &log2;
}

std::string Session::portName(int port) const { return portDisplayNameAt(portOf(relay, port).settings.comIndex); }

std::string Session::portPath(int port) const { return portPathOf(relay, portOf(relay, port)); }

bool Session::portPresent(int port) const {
    const SerialPort& serialPort = portOf(relay, port);
    return serialPort.isOpen() && serialPort.presence.load(std::memory_order_acquire) == PortPresent;
}

void Session::loadSettings() {
    std::vector<ComOutOfRange> outOfRange;
    applyConfig(relay, loadConfig(&outOfRange));
    for (const ComOutOfRange& com : outOfRange) {
        if (reports.comOutOfRange) reports.comOutOfRange(configPath(), com);
    }
}

bool Session::startPorts() {
    const auto now = std::chrono::steady_clock::now();
    for (int port = 1; port <= 2; ++port) {
        SerialPort& serialPort = relay.serialPort(port);
        const int32_t comIndex = serialPort.settings.comIndex;
        const int opened = relay.openPort(portDeviceNameAt(comIndex), serialPort);
        const int32_t presence = serialPort.presence.load(std::memory_order_acquire);
        if (reports.portOpen)
            reports.portOpen(port, opened, portNumberOf(comIndex), serialPort.openFailure,
                             presence == PortAway || presence == PortBarred);
        if (opened == PortOpened) {
            configurePort(serialPort);
            if (startRelayWorker(relay.relayChannel(port)) != 0 && reports.workerNotStarted)
                reports.workerNotStarted(port);
        }
        noteOwedOpen(port);
        watches_[port - 1].present = portPresent(port);
        watches_[port - 1].since = now;
        if (relay.portOpensRefused()) return false;
    }
    return true;
}

void Session::noteOwedOpen(int port) {
    const SerialPort& serialPort = portOf(relay, port);
    if (portKindOf(relay, serialPort).firstOpenPending(serialPort)) watches_[port - 1].openReportOwed = true;
}

bool Session::watchPort(int port, std::chrono::steady_clock::time_point now) {
    PortWatch& watch = watches_[port - 1];
    const bool present = portPresent(port);
    if (present == watch.present) return false;
    if (reports.portPresence) reports.portPresence(port, present, present ? secondsBetween(watch.since, now) : 0);
    watch.present = present;
    watch.since = now;
    return true;
}

bool Session::step(std::chrono::steady_clock::time_point now) {
    if (relay.portOpensRefused()) return false;
    // A port a worker found gone is told before the step closes it (a device may be back within
    // the same step), and told again only once. A network port is told after it: once both
    // workers have stopped, its connection has said how it ended.
    bool networkLost[2] = {false, false};
    for (int port = 1; port <= 2; ++port) {
        const SerialPort& serialPort = portOf(relay, port);
        noteOwedOpen(port);
        if (portKindOf(relay, serialPort).lossToldAfterClose())
            networkLost[port - 1] = serialPort.presence.load(std::memory_order_acquire) == PortLost;
        else
            watchPort(port, now);
    }
    const bool changed = reconnectPorts(relay, now);
    for (int port = 1; port <= 2; ++port) {
        // A connection lost before any step saw it up (a server that complains and closes at
        // once) is told all the same: each loss gets its line and its reason.
        if (!watchPort(port, now) && networkLost[port - 1] && reports.portPresence) reports.portPresence(port, false, 0);
        PortWatch& watch = watches_[port - 1];
        const SerialPort& serialPort = portOf(relay, port);
        if (!watch.openReportOwed) continue;
        if (serialPort.isOpen()) {
            watch.openReportOwed = false;
        } else if (portKindOf(relay, serialPort).openFailedSinceAsked(serialPort)) {
            watch.openReportOwed = false;
            watch.openReportDue = true;
        }
    }
    return changed;
}

void Session::reportOwedOpens() {
    for (int port = 1; port <= 2; ++port) {
        PortWatch& watch = watches_[port - 1];
        if (!watch.openReportDue || relay.portOpensRefused()) continue;
        watch.openReportDue = false;
        const SerialPort& serialPort = portOf(relay, port);
        if (reports.portOpen)
            reports.portOpen(port, PortOpenFailed, portNumberOf(serialPort.settings.comIndex), serialPort.openFailure,
                             true);
    }
}

bool Session::portsTried() const {
    for (int port = 1; port <= 2; ++port) {
        const SerialPort& serialPort = portOf(relay, port);
        if (portKindOf(relay, serialPort).firstOpenPending(serialPort)) return false;
    }
    return true;
}

void Session::sampleRates() {
    for (int channel = 1; channel <= 2; ++channel) {
        const int64_t total = relay.relayChannel(channel).readByteCount.load(std::memory_order_relaxed);
        rates_[channel - 1] = total - lastTotals_[channel - 1];
        lastTotals_[channel - 1] = total;
    }
}

HeadlessStatus Session::status() const {
    const auto now = std::chrono::steady_clock::now();
    HeadlessStatus status;
    status.upSeconds = secondsBetween(startedAt_, now);
    for (int port = 1; port <= 2; ++port) {
        const SerialPort& serialPort = portOf(relay, port);
        HeadlessStatus::Port& out = status.ports[port - 1];
        out.name = portName(port);
        out.path = portPath(port);
        const int32_t presence = serialPort.presence.load(std::memory_order_acquire);
        if (portPresent(port)) {
            out.state = "present";
        } else {
            out.state = presence == PortBarred ? "refused" : presence == PortAway || presence == PortLost ? "away" : "closed";
            out.stateSeconds = watches_[port - 1].present ? 0 : secondsBetween(watches_[port - 1].since, now);
        }
        const RelayChannel& channel = channelOf(relay, port);
        HeadlessStatus::Direction& direction = status.directions[port - 1];
        direction.totalBytes = channel.readByteCount.load(std::memory_order_relaxed);
        direction.bytesPerSecond = rates_[port - 1];
        direction.undelivered = channel.undeliveredBytes.load(std::memory_order_relaxed);
    }
    return status;
}

void Session::stopRelay() {
    relay.refusePortOpens();
    relay.stopRelayAndClosePorts();
    if (relay.rateMeter.timerId.load() != 0) relay.stopRateTimer();
}

#include "shell/headless.h"

#include "relay/port_reconnect.h"
#include "settings/config.h"
#include "settings/serial_devices.h"
#include "shell/message_catalogue.h"

namespace {

constexpr int kCombined = 3;

int64_t secondsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::seconds>(to - from).count();
}

}  // namespace

const char* headlessCaptureLabel(int which) { return which == 2 ? "b" : which == kCombined ? "combined" : "a"; }

HeadlessRelay::HeadlessRelay(CommandLine options, Say say) : options_(std::move(options)), say_(std::move(say)) {
    // The catalogue's boxes become lines: a port that did not open is waited for, as in the window.
    boxes_ = [this](const BoxRequest& request) {
        say_(request.icon == BoxIcon::Error ? portReportPriority_ : JournalPriority::Notice, request.text);
    };
}

HeadlessRelay::~HeadlessRelay() { stop(); }

std::string HeadlessRelay::portPath(int port) const {
    const int32_t comIndex = (port == 2 ? app.relay.serialPort2 : app.relay.serialPort1).settings.comIndex;
    return comIndex >= 0 && comIndex < 6 ? app.relay.comDevicePaths[comIndex] : std::string();
}

bool HeadlessRelay::portPresent(int port) const {
    const SerialPort& serialPort = port == 2 ? app.relay.serialPort2 : app.relay.serialPort1;
    return serialPort.isOpen() && serialPort.presence.load(std::memory_order_acquire) == PortPresent;
}

const std::string& HeadlessRelay::capturePath(int which) const {
    return which == kCombined ? options_.logCombined : which == 2 ? options_.logB : options_.logA;
}

bool HeadlessRelay::openCapture(int which, const std::string& path, std::string& why) {
    CaptureOpenFailure failure;
    // Appended to, never emptied: a service that systemd restarts keeps what it captured before.
    const int opened = which == kCombined ? app.captures.openCombinedCapture(path, &failure, CaptureOpenMode::Append)
                                          : app.captures.openCaptureLog(which, path, &failure, CaptureOpenMode::Append);
    if (opened != 0) return true;
    why = captureOpenReasonText(path, failure);
    return false;
}

bool HeadlessRelay::start() {
    Relay& relay = app.relay;
    // A settings file named on the command line and not read would leave the defaults' devices
    // to be opened instead of the user's.
    if (const std::optional<ConfigReadFailure> failure = namedConfigFailure()) {
        say_(JournalPriority::Error, settingsUnreadableText(*failure));
        stopped_ = true;
        return false;
    }
    std::vector<ComOutOfRange> outOfRange;
    applyConfig(relay, loadConfig(&outOfRange));
    for (const ComOutOfRange& com : outOfRange) say_(JournalPriority::Warning, comOutOfRangeText(configPath(), com));

    // The captures first: one that cannot be opened ends the run before a port is touched.
    for (int which = 1; which <= kCombined; ++which) {
        if (capturePath(which).empty()) continue;
        if (std::string why; !openCapture(which, capturePath(which), why)) {
            say_(JournalPriority::Error, captureOpenRefusedText(headlessCaptureLabel(which), capturePath(which), why));
            app.captures.closeAllCaptureLogs();
            stopped_ = true;
            return false;
        }
    }

    const auto now = std::chrono::steady_clock::now();
    bool settingsDiffer = false;
    for (int port = 1; port <= 2; ++port) {
        SerialPort& serialPort = relay.serialPort(port);
        RelayChannel& channel = relay.relayChannel(port);
        const int32_t comIndex = serialPort.settings.comIndex;
        const int opened = relay.openPort(portDeviceNameAt(comIndex), serialPort);
        const int32_t presence = serialPort.presence.load(std::memory_order_acquire);
        portReportPriority_ = presence == PortAway || presence == PortBarred ? JournalPriority::Warning : JournalPriority::Error;
        reportPortOpen(boxes_, opened, portNumberOf(comIndex), serialPort.openFailure);
        if (opened == PortOpened) {
            configurePort(serialPort);
            settingsDiffer = settingsDiffer || serialPort.lineReadBack.differs;
            if (startRelayWorker(channel) != 0)
                say_(JournalPriority::Error, portStatusText(relay));
        }
        watches_[port - 1].present = portPresent(port);
        watches_[port - 1].since = now;
    }
    if (settingsDiffer) say_(JournalPriority::Warning, portStatusText(relay));
    const std::string uart = missingUartNotice(relay);
    if (!uart.empty()) say_(JournalPriority::Warning, uart);
    relay.startRateTimer();
    say_(JournalPriority::Notice, "relaying " + std::string(portDisplayNameAt(relay.serialPort1.settings.comIndex)) + " " +
                                      portPath(1) + " <-> " + portDisplayNameAt(relay.serialPort2.settings.comIndex) +
                                      " " + portPath(2) + ", settings " + configPath());
    return true;
}

bool HeadlessRelay::watchPort(int port, std::chrono::steady_clock::time_point now) {
    PortWatch& watch = watches_[port - 1];
    const bool present = portPresent(port);
    if (present == watch.present) return false;
    const std::string name = portDisplayNameAt(app.relay.serialPort(port).settings.comIndex);
    if (present) {
        say_(JournalPriority::Notice,
             portCameBackText(std::time(nullptr), name, portPath(port), secondsBetween(watch.since, now)));
    } else {
        say_(JournalPriority::Warning,
             portWentAwayText(std::time(nullptr), name, portPath(port), portAbsenceText(app.relay, port)));
    }
    watch.present = present;
    watch.since = now;
    return true;
}

void HeadlessRelay::step() {
    if (stopped_) return;
    const auto now = std::chrono::steady_clock::now();
    // A port a worker found gone is told before the step closes it (a device may be back within
    // the same step), and told again only once. A network port is told after it: once both
    // workers have stopped, its connection has said how it ended.
    bool networkLost[2] = {false, false};
    for (int port = 1; port <= 2; ++port) {
        const SerialPort& serialPort = app.relay.serialPort(port);
        if (serialPort.connection() != nullptr)
            networkLost[port - 1] = serialPort.presence.load(std::memory_order_acquire) == PortLost;
        else
            watchPort(port, now);
    }
    reconnectPorts(app.relay, now);
    for (int port = 1; port <= 2; ++port) {
        // A connection lost before any step saw it up (a server that complains and closes at
        // once) is told all the same: each loss gets its line and its reason.
        if (watchPort(port, now) || !networkLost[port - 1]) continue;
        const std::string name = portDisplayNameAt(app.relay.serialPort(port).settings.comIndex);
        say_(JournalPriority::Warning,
             portWentAwayText(std::time(nullptr), name, portPath(port), portAbsenceText(app.relay, port)));
    }
    // A network port that could not connect when it was first asked for is told once.
    for (int port = 1; port <= 2; ++port) {
        if (!app.takeNetworkOpenReport(port)) continue;
        const SerialPort& serialPort = app.relay.serialPort(port);
        portReportPriority_ = JournalPriority::Warning;  // retried until it answers
        reportPortOpen(boxes_, PortOpenFailed, portNumberOf(serialPort.settings.comIndex), serialPort.openFailure);
    }
    takeCaptureReports();
}

void HeadlessRelay::takeCaptureReports() {
    Captures& captures = app.captures;
    for (const auto& [which, error] : captures.takeReopenResults()) {
        if (which < 1 || which > kCombined) continue;
        const std::string& path = capturePath(which);
        if (error == 0) {
            say_(JournalPriority::Notice, captureReopenedText(std::time(nullptr), headlessCaptureLabel(which), path));
        } else {
            say_(JournalPriority::Error,
                 captureReopenFailedText(std::time(nullptr), headlessCaptureLabel(which), path, error));
        }
    }
    for (int which = 1; which <= kCombined; ++which) {
        CaptureFailure failure = which == kCombined ? captures.combinedCapture.takeFailure() : captures.takeCaptureFailure(which);
        if (!failure) continue;
        captureEnded_[which - 1] = true;
        say_(JournalPriority::Error, captureEndedText(std::time(nullptr), headlessCaptureLabel(which),
                                                      captureLostAtExitText(failure)));
    }
}

void HeadlessRelay::sampleRates() {
    for (int channel = 1; channel <= 2; ++channel) {
        const int64_t total = app.relay.relayChannel(channel).readByteCount.load(std::memory_order_relaxed);
        rates_[channel - 1] = total - lastTotals_[channel - 1];
        lastTotals_[channel - 1] = total;
    }
}

void HeadlessRelay::reopenCaptures() {
    if (stopped_) return;
    // The writers do it at their place in the stream; the outcomes come with a later step. A
    // capture that could not reopen writes on into its old file and is tried again here.
    app.captures.reopenAllCaptures();
    // A capture that ended (a full disk, a reader gone, a file that stalled) is opened again by
    // its path, after what the file holds, once its writer has let the old file go; under
    // logrotate it would otherwise stay ended until a restart.
    takeCaptureReports();
    for (int which = 1; which <= kCombined; ++which) {
        if (!captureEnded_[which - 1]) continue;
        const std::string& path = capturePath(which);
        const char* label = headlessCaptureLabel(which);
        const bool finished = which == kCombined ? app.captures.combinedCapture.closed() : app.captures.captureLogClosed(which);
        if (!finished) {
            say_(JournalPriority::Warning, captureResumeWaitsText(std::time(nullptr), label, path));
        } else if (std::string why; openCapture(which, path, why)) {
            captureEnded_[which - 1] = false;
            say_(JournalPriority::Notice, captureResumedText(std::time(nullptr), label, path));
        } else {
            say_(JournalPriority::Error, captureResumeFailedText(std::time(nullptr), label, path, why));
        }
    }
}

bool HeadlessRelay::portsTried() const {
    for (const SerialPort* port : {&app.relay.serialPort1, &app.relay.serialPort2}) {
        if (port->networkRetry.connector != nullptr && port->networkRetry.connectFailures == 0 && !port->isOpen()) return false;
    }
    return true;
}

HeadlessStatus HeadlessRelay::status() {
    const auto now = std::chrono::steady_clock::now();
    const Relay& relay = app.relay;
    HeadlessStatus status;
    status.upSeconds = secondsBetween(startedAt_, now);
    for (int port = 1; port <= 2; ++port) {
        const SerialPort& serialPort = port == 2 ? relay.serialPort2 : relay.serialPort1;
        HeadlessStatus::Port& out = status.ports[port - 1];
        out.name = portDisplayNameAt(serialPort.settings.comIndex);
        out.path = portPath(port);
        const int32_t presence = serialPort.presence.load(std::memory_order_acquire);
        if (portPresent(port)) {
            out.state = "present";
        } else {
            out.state = presence == PortBarred ? "refused" : presence == PortAway || presence == PortLost ? "away" : "closed";
            out.stateSeconds = watches_[port - 1].present ? 0 : secondsBetween(watches_[port - 1].since, now);
        }
        const RelayChannel& channel = port == 2 ? relay.relayChannel2 : relay.relayChannel1;
        HeadlessStatus::Direction& direction = status.directions[port - 1];
        direction.totalBytes = channel.readByteCount.load(std::memory_order_relaxed);
        direction.bytesPerSecond = rates_[port - 1];
        direction.undelivered = channel.undeliveredBytes.load(std::memory_order_relaxed);
    }
    for (int which = 1; which <= kCombined; ++which) {
        if (capturePath(which).empty()) continue;
        Captures& captures = app.captures;
        const int64_t bytes = which == kCombined ? captures.combinedCapture.byteCount() : captures.captureByteCount(which);
        status.captures.push_back({headlessCaptureLabel(which), bytes, captureEnded_[which - 1]});
    }
    return status;
}

void HeadlessRelay::stop() {
    if (stopped_) return;
    stopped_ = true;
    Relay& relay = app.relay;
    relay.refusePortOpens();
    relay.stopRelayAndClosePorts();
    relay.stopRateTimer();
    takeCaptureReports();
    // At most a second for all of them together; a capture whose disk has stalled is named.
    for (const auto& [which, failure] : app.captures.closeAllCaptureLogs())
        say_(JournalPriority::Error, "capture " + std::string(headlessCaptureLabel(which)) + ": " + captureLostAtExitText(failure));
}

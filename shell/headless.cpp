#include "shell/headless.h"

#include "relay/line_settings.h"
#include "settings/config.h"
#include "settings/serial_devices.h"
#include "shell/message_catalogue.h"

namespace {

constexpr int kCombined = 3;
constexpr int kFrames = 4;
constexpr int kPcap = 5;
// Where the frames go when only their figures were asked for (--decode without --log-frames).
#ifdef _WIN32
const std::string kFramesNowhere = "NUL";
#else
const std::string kFramesNowhere = "/dev/null";
#endif

}  // namespace

const char* headlessCaptureLabel(int which) {
    return which == 2           ? "b"
           : which == kCombined ? "combined"
           : which == kFrames   ? "frames"
           : which == kPcap     ? "pcap"
                                : "a";
}

HeadlessRun::HeadlessRun(CommandLine options, Say say) : options_(std::move(options)), say_(std::move(say)) {
    // The catalogue's boxes become lines: a port that did not open is waited for, as in the window.
    boxes_ = [this](const BoxRequest& request) {
        say_(request.icon == BoxIcon::Error ? portReportPriority_ : JournalPriority::Notice, request.text);
    };
    app.reports.comOutOfRange = [this](const std::string& path, const ComOutOfRange& com) {
        say_(JournalPriority::Warning, comOutOfRangeText(path, com));
    };
    app.reports.portOpen = [this](int, int result, int64_t portNumber, const PortOpenFailure& failure, bool retried) {
        portReportPriority_ = retried ? JournalPriority::Warning : JournalPriority::Error;
        reportPortOpen(boxes_, result, portNumber, failure);
    };
    app.reports.workerNotStarted = [this](int) { say_(JournalPriority::Error, portStatusText(app.relay)); };
    app.reports.portPresence = [this](int port, bool present, int64_t awaySeconds) {
        if (present) {
            say_(JournalPriority::Notice,
                 portCameBackText(std::time(nullptr), app.portName(port), app.portPath(port), awaySeconds));
        } else {
            say_(JournalPriority::Warning, portWentAwayText(std::time(nullptr), app.portName(port), app.portPath(port),
                                                            portAbsenceText(app.relay, port)));
        }
    };
}

HeadlessRun::~HeadlessRun() { stop(); }

const std::string& HeadlessRun::capturePath(int which) const {
    if (which == kFrames) return options_.logFrames.empty() && options_.decodeAsked ? kFramesNowhere : options_.logFrames;
    if (which == kPcap) return options_.pcap;
    return which == kCombined ? options_.logCombined : which == 2 ? options_.logB : options_.logA;
}

bool HeadlessRun::openCapture(int which, const std::string& path, std::string& why) {
    CaptureOpenFailure failure;
    Captures& captures = app.captures;
    // Appended to, never emptied: a service that systemd restarts keeps what it captured before.
    int opened = 0;
    if (which == kFrames) {
        // Each direction's quiet gap from its source port's line.
        captures.frameDecoding.choose(options_.decode, lineSettingsFor(app.relay.serialPort1.settings),
                                      lineSettingsFor(app.relay.serialPort2.settings));
        opened = captures.openFrameCapture(path, &failure, CaptureOpenMode::Append);
    } else if (which == kPcap) {
        const PcapNaming naming{versionText(), app.portName(1) + " <-> " + app.portName(2)};
        opened = captures.openPcapCapture(path, naming, &failure, CaptureOpenMode::Append);
    } else if (which == kCombined) {
        opened = captures.openCombinedCapture(path, &failure, CaptureOpenMode::Append);
    } else {
        opened = captures.openCaptureLog(which, path, &failure, CaptureOpenMode::Append);
    }
    if (opened != 0) return true;
    why = captureOpenReasonText(path, failure);
    return false;
}

bool HeadlessRun::start() {
    Relay& relay = app.relay;
    // A settings file named on the command line and not read would leave the defaults' devices
    // to be opened instead of the user's.
    if (const std::optional<ConfigReadFailure> failure = namedConfigFailure()) {
        say_(JournalPriority::Error, settingsUnreadableText(*failure));
        stopped_ = true;
        return false;
    }
    app.loadSettings();

    // The captures first: one that cannot be opened ends the run before a port is touched.
    for (int which = 1; which <= kPcap; ++which) {
        if (capturePath(which).empty()) continue;
        if (std::string why; !openCapture(which, capturePath(which), why)) {
            say_(JournalPriority::Error, captureOpenRefusedText(headlessCaptureLabel(which), capturePath(which), why));
            app.captures.closeAllCaptureLogs();
            stopped_ = true;
            return false;
        }
    }

    if (options_.pcapListenPort >= 0) {
        PcapServer& server = app.captures.pcapServer;
        const auto port = static_cast<uint16_t>(options_.pcapListenPort);
        if (const int error = server.start(options_.pcapListenHost, port); error != 0) {
            const std::string& host = options_.pcapListenHost;
            const std::string address = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                                        std::to_string(port);
            say_(JournalPriority::Error, pcapListenRefusedText(address, error));
            app.captures.closeAllCaptureLogs();
            stopped_ = true;
            return false;
        }
        say_(JournalPriority::Notice, pcapListeningText(server.address()));
    }

    app.startPorts();
    bool settingsDiffer = false;
    for (const SerialPort* port : {&relay.serialPort1, &relay.serialPort2})
        settingsDiffer = settingsDiffer || (port->isOpen() && port->lineReadBack.differs);
    if (settingsDiffer) say_(JournalPriority::Warning, portStatusText(relay));
    const std::string uart = missingUartNotice(relay);
    if (!uart.empty()) say_(JournalPriority::Warning, uart);
    relay.startRateTimer();
    say_(JournalPriority::Notice, "relaying " + app.portName(1) + " " + app.portPath(1) + " <-> " + app.portName(2) +
                                      " " + app.portPath(2) + ", settings " + configPath());
    return true;
}

void HeadlessRun::step() {
    if (stopped_) return;
    app.step();
    app.reportOwedOpens();
    takeCaptureReports();
}

void HeadlessRun::takeCaptureReports() {
    Captures& captures = app.captures;
    for (const auto& [which, error] : captures.takeReopenResults()) {
        if (which < 1 || which > kPcap) continue;
        const std::string& path = capturePath(which);
        if (error == 0) {
            say_(JournalPriority::Notice, captureReopenedText(std::time(nullptr), headlessCaptureLabel(which), path));
        } else {
            say_(JournalPriority::Error,
                 captureReopenFailedText(std::time(nullptr), headlessCaptureLabel(which), path, error));
        }
    }
    for (int which = 1; which <= kPcap; ++which) {
        CaptureFailure failure = which == kPcap       ? captures.pcapCapture.takeFailure()
                                 : which == kFrames   ? captures.frameCapture.takeFailure()
                                 : which == kCombined ? captures.combinedCapture.takeFailure()
                                                      : captures.takeCaptureFailure(which);
        if (!failure) continue;
        captureEnded_[which - 1] = true;
        say_(JournalPriority::Error, captureEndedText(std::time(nullptr), headlessCaptureLabel(which),
                                                      captureLostAtExitText(failure)));
    }
    for (const PcapClientNews& news : captures.pcapServer.takeNews()) {
        const bool fault = news.kind == PcapClientNews::Kind::Dropped || news.kind == PcapClientNews::Kind::FellBehind;
        say_(fault ? JournalPriority::Warning : JournalPriority::Notice, pcapClientText(std::time(nullptr), news));
    }
}

void HeadlessRun::reopenCaptures() {
    if (stopped_) return;
    // The writers do it at their place in the stream; the outcomes come with a later step. A
    // capture that could not reopen writes on into its old file and is tried again here.
    app.captures.reopenAllCaptures();
    // A capture that ended (a full disk, a reader gone, a file that stalled) is opened again by
    // its path, after what the file holds, once its writer has let the old file go; under
    // logrotate it would otherwise stay ended until a restart.
    takeCaptureReports();
    for (int which = 1; which <= kPcap; ++which) {
        if (!captureEnded_[which - 1]) continue;
        const std::string& path = capturePath(which);
        const char* label = headlessCaptureLabel(which);
        const bool finished = which == kPcap       ? app.captures.pcapCapture.closed()
                              : which == kFrames   ? app.captures.frameCapture.closed()
                              : which == kCombined ? app.captures.combinedCapture.closed()
                                                   : app.captures.captureLogClosed(which);
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

HeadlessStatus HeadlessRun::status() {
    HeadlessStatus status = app.status();
    Captures& captures = app.captures;
    for (int which = 1; which <= kPcap; ++which) {
        if (capturePath(which).empty() || (which == kFrames && options_.logFrames.empty())) continue;
        const int64_t bytes = which == kPcap       ? captures.pcapCapture.byteCount()
                              : which == kFrames   ? captures.frameCapture.byteCount()
                              : which == kCombined ? captures.combinedCapture.byteCount()
                                                   : captures.captureByteCount(which);
        status.captures.push_back({headlessCaptureLabel(which), bytes, captureEnded_[which - 1]});
    }
    if (captures.pcapServer.running()) status.listen = {captures.pcapServer.address(), captures.pcapServer.clients()};
    if (options_.decodeAsked) {
        const FrameFigures figures = captures.frameDecoding.figures();
        status.frames.asked = true;
        status.frames.frames = figures.frames;
        status.frames.errors = figures.errors;
        for (const auto& [unit, unitFigures] : figures.units)
            if (unit >= 0) status.frames.units.push_back({unit, unitFigures.percentile(50)});
    }
    return status;
}

void HeadlessRun::stop() {
    if (stopped_) return;
    stopped_ = true;
    app.stopRelay();
    // The clients get what waits for them (a second at most), then their connections close.
    app.captures.pcapServer.stop();
    takeCaptureReports();
    // At most a second for all of them together; a capture whose disk has stalled is named.
    for (const auto& [which, failure] : app.captures.closeAllCaptureLogs())
        say_(JournalPriority::Error, "capture " + std::string(headlessCaptureLabel(which)) + ": " + captureLostAtExitText(failure));
}

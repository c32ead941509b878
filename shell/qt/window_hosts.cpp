#include "shell/qt/window_hosts.h"

#include <QAction>
#include <QDialog>
#include <QEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QString>

#include "capture/qt/log_window.h"
#include "decode/decode_choice.h"
#include "display/qt/display_window.h"
#include "relay/relay.h"
#include "settings/port_restart.h"
#include "settings/qt/dialog_host.h"
#include "settings/serial_devices.h"
#include "shell/command_line.h"
#include "shell/message_catalogue.h"
#include "shell/qt/command_ids.h"
#include "shell/qt/desktop.h"
#include "shell/qt/dialog_units.h"
#include "shell/qt/main_window.h"

namespace {

QRect dialogRect(const QFont& font, int left, int top, int width, int height) {
    return DialogUnits(font).rect(left, top, width, height);
}

// Dialog keyboard handling belongs to the main window only: in the other windows Esc and
// Enter reach no button and end nothing.
class DialogKeyEater : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            switch (static_cast<QKeyEvent*>(event)->key()) {
                case Qt::Key_Escape:
                case Qt::Key_Return:
                case Qt::Key_Enter:
                    event->accept();
                    return true;
                default:
                    break;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

void keepDialogKeys(QDialog& window) { window.installEventFilter(new DialogKeyEater(&window)); }

QFont defaultFixedFont() { return fixedGothicFont(); }

// The timeline marks a pause as the display windows stamp one: when DATETIME is 1, after
// DATETIMEVAL seconds.
std::pair<bool, int> pauseRuleOf(Vorlinex& vorlinex) {
    const AppOptions& options = vorlinex.app.relay.appOptions;
    return {options.DATETIME.load() == 1, options.DATETIMEVAL.load()};
}

QString qText(const std::string& text) { return QString::fromStdString(text); }

// DECODE as the window takes it. A protocol --decode would not take reads as Modbus RTU; a gap
// of 0 is the line's, save for the gap rule, which keeps its own.
TimelineDecode timelineDecodeOf(const DecodeSettings& settings) {
    TimelineDecode decode;
    decode.frames = settings.frames;
    decode.errorsOnly = settings.errorsOnly;
    DecodeChoice& choice = decode.choice;
    if (!parseDecodeChoice(settings.protocol, choice)) choice = DecodeChoice{};
    if (settings.gapMs > 0 || choice.rule != FrameRule::Gap) choice.gapMicros = int64_t{settings.gapMs} * 1000;
    choice.master = settings.master;
    choice.timeoutMicros = int64_t{settings.timeoutMs} * 1000;
    return decode;
}

DecodeSettings decodeSettingsOf(const TimelineDecode& decode) {
    const DecodeChoice& choice = decode.choice;
    return {
        .frames = decode.frames,
        .protocol = decodeChoiceText(choice),
        .gapMs = static_cast<int32_t>(choice.gapMicros / 1000),
        .master = choice.master,
        .timeoutMs = static_cast<int32_t>(choice.timeoutMicros / 1000),
        .errorsOnly = decode.errorsOnly,
    };
}

}  // namespace

// Each host's reports read vorlinex.boxes when they are made, not when the host is: the entry
// function binds the box function after the windows' hosts exist.

DisplayWindowHost displayWindowHostOf(Vorlinex& vorlinex) {
    return {
        .owner = [&vorlinex] { return vorlinex.publishedMainWindow(); },
        .dialogFont = dialogFont,
        .fixedFont = defaultFixedFont,
        .dialogRect = dialogRect,
        .keepDialogKeys = keepDialogKeys,
        .fontRefused = [&vorlinex](QWidget& view) { reportInitialFontError(vorlinex.boxes, &view); },
    };
}

CaptureWindowHost captureWindowHostOf(Vorlinex& vorlinex) {
    return {
        .owner = [&vorlinex] { return vorlinex.publishedMainWindow(); },
        .enableMenuItem =
            [&vorlinex](int capture, bool enabled) {
                if (QAction* item = vorlinex.mainMenuItem(captureCommand(capture))) item->setEnabled(enabled);
            },
        .dialogFont = dialogFont,
        .dialogRect = dialogRect,
        .keepDialogKeys = keepDialogKeys,
        .reportOpenFailure =
            [&vorlinex](const std::string& fullPath, const CaptureOpenFailure& failure) {
                reportCaptureOpen(vorlinex.boxes, fullPath, failure);
            },
        .reportFailure = [&vorlinex](const CaptureFailure& failure) { reportCaptureFailure(vorlinex.boxes, failure); },
        .askToCreate =
            [](QWidget* owner, const QString& fullPath) {
                const auto answer = QMessageBox::question(
                    owner, QStringLiteral("Vorlinex Log File Open"),
                    QStringLiteral("%1\nThis file does not exist.\nDo you want to create it?").arg(fullPath),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
                return answer == QMessageBox::Yes;
            },
    };
}

TimelineWindowHost timelineWindowHostOf(Vorlinex& vorlinex) {
    return {
        .owner = [&vorlinex] { return vorlinex.publishedMainWindow(); },
        .fixedFont = defaultFixedFont,
        .title = [&vorlinex] { return qText(timelineTitleText(vorlinex.app.relay)); },
        .pauseRule = [&vorlinex] { return pauseRuleOf(vorlinex); },
        .texts =
            {
                .newRecords = [](uint64_t count, bool held, uint64_t letGo) {
                    return qText(timelineNewRecordsText(count, held, letGo));
                },
                .dropped = [](uint64_t count, const std::tm& since) { return qText(timelineDroppedText(count, since)); },
            },
        .findStatus = [](size_t current, size_t total, bool searching, bool capped) {
            return qText(timelineFindText(current, total, searching, capped));
        },
        .skippedLines = [](uint64_t line, uint64_t count) { return qText(timelineSkippedLinesText(line, count)); },
        .fileCut = [](uint64_t size) { return qText(timelineFileCutText(size)); },
        .skippedPackets =
            [](uint64_t packet, uint64_t count) { return qText(timelineSkippedPacketsText(packet, count)); },
        .captureStopped =
            [](PcapStop stop, uint64_t at, uint32_t linkType) {
                return qText(timelineCaptureStoppedText(stop, at, linkType));
            },
        .chooseSelectionFile =
            [](QWidget* owner) -> std::optional<QString> {
                const auto answer = QMessageBox::question(
                    owner, QStringLiteral("Vorlinex"), qText(timelineSelectionTooLargeText(TimelineView::kMaxClipboardBytes)),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
                if (answer != QMessageBox::Yes) return std::nullopt;
                // The capture's line format: a text file, as the capture's dialog names them.
                const QString path = QFileDialog::getSaveFileName(owner, QStringLiteral("Vorlinex Timeline Save"), QString(),
                                                                  QStringLiteral("txt files(*.txt) (*.txt);;All Files(*.*) (*)"),
                                                                  nullptr, QFileDialog::DontUseNativeDialog);
                if (path.isEmpty()) return std::nullopt;
                return path;
            },
        .selectionSave =
            [](const std::string& path, uint64_t records, uint64_t bytes, bool done, int error) {
                return qText(timelineSelectionSaveText(path, records, bytes, done, error, TimelineView::kMaxClipboardBytes));
            },
        .chooseExportFile =
            [](QWidget* owner) -> std::optional<QString> {
                QFileDialog dialog(owner, QStringLiteral("Vorlinex Timeline Export"));
                dialog.setAcceptMode(QFileDialog::AcceptSave);
                dialog.setOption(QFileDialog::DontUseNativeDialog);
                const QString pcapng = QStringLiteral("pcapng files(*.pcapng) (*.pcapng)");
                dialog.setNameFilters({pcapng, QStringLiteral("pcap files(*.pcap) (*.pcap)")});
                // A name typed bare takes the form chosen: the window writes pcap only to a .pcap.
                dialog.setDefaultSuffix(QStringLiteral("pcapng"));
                QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                                 [&dialog, pcapng](const QString& filter) {
                                     dialog.setDefaultSuffix(filter == pcapng ? QStringLiteral("pcapng")
                                                                              : QStringLiteral("pcap"));
                                 });
                if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
                return dialog.selectedFiles().first();
            },
        .exportApplication = versionText,
        .exportInterface =
            [&vorlinex](bool live) {
                // A saved file names no ports: the relay's own.
                if (!live) return std::string("COM1 <-> COM2");
                return vorlinex.app.portName(1) + " <-> " + vorlinex.app.portName(2);
            },
        .exportProgress =
            [](const std::string& path, uint64_t records, bool done, int error) {
                return qText(timelineExportText(path, records, done, error));
            },
        .keepDialogKeys = keepDialogKeys,
        .reportFileOpenFailure =
            [&vorlinex](const std::string& path, int error) { reportTimelineOpen(vorlinex.boxes, path, error); },
        .reportCaptureOpenFailure =
            [&vorlinex](const std::string& path, PcapStop stop, uint64_t at, uint32_t linkType) {
                reportTimelineCaptureOpen(vorlinex.boxes, path, stop, at, linkType);
            },
        .remoteStatus =
            [](const std::string& address, const RemoteTimeline::Status& status,
               std::chrono::steady_clock::time_point now) { return qText(remoteTimelineText(address, status, now)); },
        .reportRemoteOpenFailure = [&vorlinex](const std::string& path) { reportRemoteOpen(vorlinex.boxes, path); },
        .decode = [&vorlinex] { return timelineDecodeOf(vorlinex.decodeSettings); },
        .keepDecode =
            [&vorlinex](const TimelineDecode& decode) {
                vorlinex.decodeSettings = decodeSettingsOf(decode);
                const ConfigSaveResult saved = saveDecodeSettings(vorlinex.decodeSettings);
                // Told once: each change of a control would otherwise raise the same box again.
                if (!saved.saved && !vorlinex.decodeSaveFailed) reportDecodeSave(vorlinex.boxes, saved);
                vorlinex.decodeSaveFailed = !saved.saved;
            },
        .lines =
            [&vorlinex] {
                const Relay& relay = vorlinex.app.relay;
                return std::pair{lineSettingsFor(relay.serialPort1.settings),
                                 lineSettingsFor(relay.serialPort2.settings)};
            },
        .unitFigures = [](const std::map<int, UnitFigures>& units) { return qText(timelineUnitsText(units)); },
    };
}

SettingsDialogHost settingsDialogHostOf(Vorlinex& vorlinex) {
    const PortOpenReport reportOpen = [&vorlinex](int result, int64_t portNumber, const PortOpenFailure& failure) {
        reportPortOpen(vorlinex.boxes, result, portNumber, failure);
    };
    return {
        .config = [&vorlinex] { return configOf(vorlinex.app.relay); },
        .applyOptions =
            [&vorlinex](const AppOptions& options) {
                vorlinex.app.relay.appOptions = options;
                const auto [on, seconds] = pauseRuleOf(vorlinex);
                vorlinex.timelineWindows.setPauseRule(on, seconds);
            },
        .restartPorts =
            [&vorlinex, reportOpen](const PortChoice& port1, const PortChoice& port2) {
                restartPorts(vorlinex.app.relay, port1, port2, reportOpen);
                vorlinex.portsRestarted();
            },
        .applyDevicePaths =
            [&vorlinex, reportOpen](const std::array<std::string, 6>& paths) {
                // The file first: a mapping that could not be kept is not applied either.
                const ConfigSaveResult saved = saveDevicePaths(paths);
                if (!saved.saved) {
                    reportDevicesSave(vorlinex.boxes, saved);
                    return false;
                }
                restartPortsOnDevices(vorlinex.app.relay, paths, reportOpen);
                vorlinex.portsRestarted();
                return true;
            },
        .dialogFont = dialogFont,
        .fixedFont = defaultFixedFont,
        .dialogRect = dialogRect,
        .openUrl = [&vorlinex](const QUrl& url) { vorlinex.openUrl(url); },
        .refuse = [&vorlinex](SettingsRefusal refusal) { reportSettingsRefusal(vorlinex.boxes, refusal); },
        .reportStartupEntry = [&vorlinex](const StartupEntryResult& result) { reportStartupEntry(vorlinex.boxes, result); },
    };
}


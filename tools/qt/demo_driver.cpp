// demo_driver: the real program, in this process, under Qt's offscreen platform, worked through
// the demo by timers instead of a person.
//
//   demo_driver OUTPUT_FOLDER [--seconds N]
//
// Run it in the demo folder (the program reads Vorlinex.ini from the current directory). It opens
// display window 1 in ASCII and display window 2 in hex, the timeline window (DISP > Com<->Com),
// starts both captures into
// OUTPUT_FOLDER/channel1.log and channel2.log, the combined one into combined.log and a frame log
// of both directions read as Modbus RTU into frames.log, takes PNG
// screenshots of the main window, both display windows, the timeline (once in Frames mode, after the
// devices' Modbus run), the three log windows, the serial,
// options and About dialogs and the devices window into OUTPUT_FOLDER,
// and shuts the program down after about N seconds (15 by default) so that the captures are
// written out. A window that cannot be opened is skipped and named in the summary.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/qt/log_window.h"
#include "decode/decode_choice.h"
#include "display/qt/timeline_window.h"
#include "relay/line_settings.h"
#include "settings/qt/about_dialog.h"
#include "settings/qt/devices_dialog.h"
#include "settings/qt/option_dialog.h"
#include "settings/qt/serial_dialog.h"
#include "shell/qt/entry.h"
#include "shell/qt/main_window.h"
#include "tools/sim_devices.h"

namespace {

QString outputFolder;
int runSeconds = 15;
std::vector<std::string> taken;
std::vector<std::string> skipped;

void say(const std::string& line) {
    std::printf("demo_driver: %s\n", line.c_str());
    std::fflush(stdout);
}

void skip(const std::string& what, const std::string& why) {
    skipped.push_back(what + " (" + why + ")");
    say("skipped " + what + ": " + why);
}

void screenshot(QWidget* window, const QString& fileName, const std::string& what) {
    if (window == nullptr) {
        skip(what, "no window");
        return;
    }
    const QString path = outputFolder + "/" + fileName;
    if (window->grab().save(path, "PNG")) {
        taken.push_back(path.toStdString() + "  " + what);
        say("screenshot " + path.toStdString() + " (" + what + ")");
    } else {
        skip(what, "could not write " + path.toStdString());
    }
}

QSet<QWidget*> visibleWindows() {
    QSet<QWidget*> windows;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible()) windows.insert(w);
    }
    return windows;
}

// The window that `action` brought up, found as the one visible window that was not there before.
QWidget* windowOpenedBy(const std::function<void()>& action) {
    const QSet<QWidget*> before = visibleWindows();
    action();
    for (QWidget* w : visibleWindows()) {
        if (!before.contains(w)) return w;
    }
    return nullptr;
}

QString controlText(QWidget* mainWindow, const QString& name) {
    auto* label = mainWindow->findChild<QLabel*>(name);
    return label != nullptr ? label->text() : QString();
}

QString controlText(QWidget* mainWindow, int id) { return controlText(mainWindow, QString::number(id)); }

bool hasNonZeroDigit(const QString& text) {
    for (QChar c : text) {
        if (c.isDigit() && c != QLatin1Char('0')) return true;
    }
    return false;
}

// The demo's steps, one after the other on the UI thread.
class DemoScript {
public:
    explicit DemoScript(QWidget* mainWindow) : main_(mainWindow) {}

    void start() {
        started_.start();
        QTimer::singleShot(600, main_, [this] { openDisplays(); });
    }

private:
    void openDisplays() {
        display1_ = windowOpenedBy([this] { clickButton(kCommandDisp1); });
        if (display1_ == nullptr) skip("display window 1", "button 117 opened no window");
        if (QAction* binary = vorlinexOf(main_).mainMenuItem(kCommandBinary)) {
            binary->trigger();
        } else {
            skip("hex form of display window 2", "no menu item 40008");
        }
        display2_ = windowOpenedBy([this] { clickButton(kCommandDisp2); });
        if (display2_ == nullptr) skip("display window 2", "button 118 opened no window");
        timeline_ = windowOpenedBy([this] {
            if (QAction* item = vorlinexOf(main_).mainMenuItem(kCommandTimeline)) item->trigger();
        });
        if (timeline_ == nullptr) skip("timeline window", "menu item 40014 opened no window");
        QTimer::singleShot(600, main_, [this] { startCaptures(); });
    }

    void startCaptures() {
        vorlinexOf(main_).captureWindows.setCaptureFileChooser([](int channel) -> std::optional<QString> {
            if (channel == kCombinedCapture) return outputFolder + QStringLiteral("/combined.log");
            return outputFolder + QStringLiteral("/channel%1.log").arg(channel);
        });
        vorlinexOf(main_).captureWindows.setCreateFilePrompt([](const QString&) { return true; });
        vorlinexOf(main_).captureWindows.startCapture(1);
        vorlinexOf(main_).captureWindows.startCapture(2);
        vorlinexOf(main_).captureWindows.startCapture(kCombinedCapture);
        startFrameLog();
        log1_ = vorlinexOf(main_).captureWindows.captureLogWindow(1);
        log2_ = vorlinexOf(main_).captureWindows.captureLogWindow(2);
        logBoth_ = vorlinexOf(main_).captureWindows.captureLogWindow(kCombinedCapture);
        // The pictures wait until traffic has run for a while, past the host's quiet period.
        const int wait = std::max(0, pictureTimeMs() - static_cast<int>(started_.elapsed()));
        QTimer::singleShot(wait, main_, [this] { awaitTraffic(); });
        framesSteady_.start();
        QTimer::singleShot(100, main_, [this] { awaitModbusRun(); });
    }

    // The Frames picture is taken in the quiet after the devices' Modbus run, so that the run's
    // last frames, a bad CRC among them, are the newest rows. The frame log's figures tell when
    // the run's transactions are in and no frame has come for half a second; at the latest it is
    // taken well before the other pictures.
    void awaitModbusRun() {
        const FrameFigures figures = vorlinexOf(main_).app.captures.frameDecoding.figures();
        int64_t transactions = 0;
        for (const auto& [unit, unitFigures] : figures.units) {
            if (unit > 0) transactions += unitFigures.transactions;
        }
        if (figures.frames != framesSeen_) {
            framesSeen_ = figures.frames;
            framesSteady_.start();
        }
        const bool runOver = transactions >= HostDevice::modbusRun && framesSteady_.elapsed() >= 500;
        if (!runOver && started_.elapsed() < pictureTimeMs() - 2500) {
            QTimer::singleShot(100, main_, [this] { awaitModbusRun(); });
            return;
        }
        if (!runOver) say("frames: the devices' Modbus run is not all in the frame log yet");
        auto* mode = timeline_ != nullptr ? timeline_->findChild<QComboBox*>(timeline_control::kMode) : nullptr;
        const int framesItem = mode != nullptr ? mode->findText(QStringLiteral("Frames")) : -1;
        if (framesItem < 0) {
            skip("timeline window in Frames mode", timeline_ == nullptr ? "no timeline window" : "no Frames view");
            return;
        }
        recordsItem_ = mode->currentIndex();
        mode->setCurrentIndex(framesItem);
        auto* protocol = timeline_->findChild<QComboBox*>(timeline_control::kProtocol);
        const int modbusRtu = protocol != nullptr ? protocol->findText(QStringLiteral("Modbus RTU")) : -1;
        if (modbusRtu >= 0) protocol->setCurrentIndex(modbusRtu);
        framesShown_.start();
        awaitFrames();
    }

    // Takes the Frames picture once the window has framed what it holds (its bar of per-unit
    // figures shows both units), or after two seconds, and goes back to the records.
    void awaitFrames() {
        if (timeline_ == nullptr) return;
        auto* units = timeline_->findChild<QPlainTextEdit*>(timeline_control::kUnits);
        const QString figures = units != nullptr && units->isVisible() ? units->toPlainText() : QString();
        const bool framed = figures.contains(QStringLiteral("unit 1")) && figures.contains(QStringLiteral("unit 2"));
        if (!framed && framesShown_.elapsed() < 2000) {
            QTimer::singleShot(50, main_, [this] { awaitFrames(); });
            return;
        }
        say("timeline frames: " + (framed ? figures.toStdString() : std::string("(no per-unit figures)")));
        timeline_->resize(1320, 640);
        screenshot(timeline_, "12-timeline-frames.png", "timeline window, Frames mode, Modbus RTU");
        if (auto* mode = timeline_->findChild<QComboBox*>(timeline_control::kMode)) mode->setCurrentIndex(recordsItem_);
    }

    int pictureTimeMs() const { return runSeconds * 1000 * 2 / 3; }

    // The window has no command for a frame log (the headless --log-frames has), so the demo opens
    // the session's own, as that option does: Modbus RTU, the master found from who answers whom,
    // each direction's quiet gap from its source port's line.
    void startFrameLog() {
        Session& app = vorlinexOf(main_).app;
        DecodeChoice modbusRtu;
        modbusRtu.rule = FrameRule::ModbusRtu;
        app.captures.frameDecoding.choose(modbusRtu, lineSettingsFor(app.relay.serialPort1.settings),
                                          lineSettingsFor(app.relay.serialPort2.settings));
        const std::string path = (outputFolder + QStringLiteral("/frames.log")).toStdString();
        if (app.captures.openFrameCapture(path) == 0) skip("frame log", "cannot open " + path);
    }

    // Waits (for at most two seconds) for a moment when both strips show arrows and both
    // figures are non-zero, so that the picture shows the program at work.
    void awaitTraffic() {
        const bool busy = !controlText(main_, kMainArrows1).trimmed().isEmpty() &&
                          !controlText(main_, kMainArrows2).trimmed().isEmpty() &&
                          hasNonZeroDigit(controlText(main_, kMainRate1)) &&
                          hasNonZeroDigit(controlText(main_, kMainRate2));
        if (!busy && started_.elapsed() < pictureTimeMs() + 2000) {
            QTimer::singleShot(50, main_, [this] { awaitTraffic(); });
            return;
        }
        say("main window: labels '" + controlText(main_, kMainCom1).toStdString() + "' '" +
            controlText(main_, kMainCom2).toStdString() + "', figures '" +
            controlText(main_, kMainRate1).toStdString() + "' '" + controlText(main_, kMainRate2).toStdString() +
            "', clock '" + controlText(main_, statusPartName(1)).toStdString() + "'" +
            (busy ? "" : " (traffic not seen in both directions)"));
        screenshot(main_, "01-main-window.png", "main window");
        screenshot(display1_, "02-display-1-ascii.png", "display window 1, ASCII");
        screenshot(display2_, "03-display-2-hex.png", "display window 2, hex");
        if (timeline_ != nullptr) timeline_->resize(1000, 560);
        screenshot(timeline_, "11-timeline.png", "timeline window");
        screenshot(log1_, "04-log-window-1.png", "log window 1");
        screenshot(log2_, "05-log-window-2.png", "log window 2");
        screenshot(logBoth_, "09-log-window-combined.png", "combined log window");
        QTimer::singleShot(0, main_, [this] { dialogs(); });
    }

    // Each dialog runs modally as the menu would run it; a timer inside its loop takes the
    // picture and cancels it, so no setting changes.
    void dialogs() {
        runDialog("06-serial-dialog.png", "serial settings dialog", runSerialDialog);
        runDialog("07-options-dialog.png", "options dialog", runOptionDialog);
        runDialog("08-about-dialog.png", "About dialog", runAboutDialog);
        runDialog("10-devices-dialog.png", "devices window", runDevicesDialog);
        const int wait = std::max(0, runSeconds * 1000 - static_cast<int>(started_.elapsed()));
        QTimer::singleShot(wait, main_, [this] {
            say("shutting down");
            vorlinexOf(main_).shutdownVorlinex();
        });
    }

    void runDialog(const char* fileName, const std::string& what, void (*run)(const SettingsDialogHost&, QWidget*)) {
        auto pending = std::make_shared<bool>(true);
        const QSet<QWidget*> before = visibleWindows();
        QTimer::singleShot(700, main_, [pending, before, fileName, what] {
            if (!*pending) return;
            *pending = false;
            QWidget* dialog = QApplication::activeModalWidget();
            if (dialog == nullptr) {
                for (QWidget* w : visibleWindows()) {
                    if (!before.contains(w)) dialog = w;
                }
            }
            if (dialog == nullptr) {
                skip(what, "no dialog came up");
                return;
            }
            screenshot(dialog, QString::fromLatin1(fileName), what);
            if (auto* d = qobject_cast<QDialog*>(dialog)) {
                d->reject();
            } else {
                dialog->close();
            }
        });
        run(vorlinexOf(main_).settingsHost, main_);
        if (*pending) {
            *pending = false;
            skip(what, "the dialog returned at once");
        }
    }

    void clickButton(int id) {
        auto* button = main_->findChild<QAbstractButton*>(QString::number(id));
        if (button != nullptr) button->click();
    }

    QWidget* main_;
    QElapsedTimer started_;
    QElapsedTimer framesSteady_;
    QElapsedTimer framesShown_;
    int64_t framesSeen_ = -1;
    int recordsItem_ = 0;
    QPointer<QWidget> display1_;
    QPointer<QWidget> display2_;
    QPointer<QWidget> timeline_;
    QPointer<QWidget> log1_;
    QPointer<QWidget> log2_;
    QPointer<QWidget> logBoth_;
};

int usage() {
    std::fprintf(stderr, "usage: demo_driver OUTPUT_FOLDER [--seconds N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) return usage();
    if (argc == 4) {
        if (std::string(argv[2]) != "--seconds") return usage();
        runSeconds = std::atoi(argv[3]);
        if (runSeconds < 6) return usage();
    }
    outputFolder = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    if (!QDir().mkpath(outputFolder)) {
        std::fprintf(stderr, "demo_driver: cannot make %s\n", argv[1]);
        return 1;
    }
    // The offscreen run is the point of this tool, whatever display the caller has.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::unique_ptr<DemoScript> script;
    char* programArgs[] = {argv[0], nullptr};
    const int exitCode = vorlinexMain(1, programArgs, [&script](QWidget* mainWindow) {
        script = std::make_unique<DemoScript>(mainWindow);
        script->start();
    });
    script.reset();

    say("program ended with exit code " + std::to_string(exitCode));
    for (const char* name : {"channel1.log", "channel2.log", "combined.log", "frames.log"}) {
        const QFileInfo log(outputFolder + "/" + name);
        say(log.exists() ? "capture " + log.absoluteFilePath().toStdString() + ": " +
                               std::to_string(log.size()) + " bytes"
                         : std::string("capture ") + name + " missing");
    }
    say(std::to_string(taken.size()) + " screenshots taken, " + std::to_string(skipped.size()) + " skipped");
    for (const std::string& s : skipped) say("  skipped: " + s);
    return exitCode;
}

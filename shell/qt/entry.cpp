#include "shell/qt/entry.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "relay/channel.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "shell/qt/main_window.h"
#include "shell/qt/process_signals.h"

namespace {

QMessageBox::Icon qtIcon(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::Error:
            return QMessageBox::Critical;
        case BoxIcon::Information:
            return QMessageBox::Information;
        case BoxIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

void showQtBox(const Vorlinex& vorlinex, const BoxRequest& request) {
    // Boxes belong to the UI thread; a request from another thread is handed over without
    // waiting for it.
    if (QThread::currentThread() != qApp->thread()) {
        QMetaObject::invokeMethod(qApp, [&vorlinex, request] { showQtBox(vorlinex, request); }, Qt::QueuedConnection);
        return;
    }
    QWidget* owner = nullptr;
    if (request.owner == BoxOwner::MainWindow) {
        owner = vorlinex.publishedMainWindow();  // null while the main window is being created
    } else if (request.owner == BoxOwner::Widget) {
        owner = static_cast<QWidget*>(request.widget);
    }
    QMessageBox box(qtIcon(request.icon), QStringLiteral("Vorlinex"),
                    QString::fromStdString(request.text), QMessageBox::Ok, owner);
    box.exec();
}

// The rate meter's texts, queued to the UI thread: its tick never waits for the windows. The
// texts of one tick (clock, and the figures when due) travel in one queued call, and a label
// is set only when its text changes.
void bindWindowCalls(RateMeter& rateMeter, QWidget* window) {
    struct Pending {
        std::mutex lock;
        bool posted = false;
        std::array<std::optional<QString>, 3> texts;  // the clock (5001.1), 1053, 1054
    };
    auto pending = std::make_shared<Pending>();
    auto deliver = [window, pending](size_t slot, const std::string& text) {
        bool post = false;
        {
            std::lock_guard<std::mutex> hold(pending->lock);
            pending->texts[slot] = QString::fromStdString(text);
            post = !std::exchange(pending->posted, true);
        }
        if (!post) return;
        QMetaObject::invokeMethod(
            window,
            [window, pending] {
                std::array<std::optional<QString>, 3> texts;
                {
                    std::lock_guard<std::mutex> hold(pending->lock);
                    texts.swap(pending->texts);
                    pending->posted = false;
                }
                const QString names[3] = {statusPartName(1), QString::number(kMainRate1),
                                          QString::number(kMainRate2)};
                for (size_t i = 0; i < texts.size(); ++i) {
                    if (!texts[i]) continue;
                    auto* label = window->findChild<QLabel*>(names[i]);
                    if (label != nullptr && label->text() != *texts[i]) label->setText(*texts[i]);
                }
            },
            Qt::QueuedConnection);
    };
    rateMeter.showElapsed = [deliver](const std::string& text) { deliver(0, text); };
    rateMeter.showRate = [deliver](int channel, const std::string& text) {
        deliver(channelNumber(channel), text);
    };
}

}  // namespace

// END, Esc, the close box and the system's requests to end (process_signals.h). The workers
// are asked to stop and waited for before their ports are closed (a closed descriptor number
// is reused at once by the next open); they never wait for this thread, so the joins cannot
// deadlock. Open capture logs are written out here instead of being left to the end of the
// process.
void Vorlinex::shutdownVorlinex() {
    if (shuttingDown.exchange(true)) return;
    // Before anything else: a restart whose box or dialog loop runs this must find nothing to
    // reopen or restart once its loop returns.
    app.stopRelay();
    // The live stream's clients get what waits for them (a second at most), then it closes.
    app.captures.pcapServer.stop();
    // At most a second: a capture whose disk has stalled is named here and left behind.
    for (const auto& [which, failure] : app.captures.closeAllCaptureLogs())
        std::fprintf(stderr, "Vorlinex: %s\n", captureLostAtExitText(failure).c_str());
    // Ends the message loop, and any modal dialog's or box's loop running inside it.
    QCoreApplication::exit(0);
}

int vorlinexMain(int argc, char** argv, const std::function<void(QWidget*)>& afterShown,
                 const BoxFunction& boxes) {
    int appArgc = argc;
    std::unique_ptr<QApplication> ownApp;
    if (QApplication::instance() == nullptr) {
        ownApp = std::make_unique<QApplication>(appArgc, argv);
    }
    Q_INIT_RESOURCE(resources);
    // The counterpart of the window class: the program's icon.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/vorlinex.png")));
    // Only shutdown ends the program, never the last window that happens to close.
    QApplication::setQuitOnLastWindowClosed(false);

    // The application object: the relay, the displays, the captures and every window.
    Vorlinex vorlinex;
    RateMeter& rateMeter = vorlinex.app.relay.rateMeter;
    std::unique_ptr<ProcessSignals> processSignals = installProcessSignals(vorlinex);
    vorlinex.boxes = boxes ? boxes : [&vorlinex](const BoxRequest& request) { showQtBox(vorlinex, request); };

    // A settings file named on the command line that cannot be read ends the program: the
    // defaults in its place would open other devices than the user meant.
    if (const std::optional<ConfigReadFailure> failure = namedConfigFailure()) {
        std::fprintf(stderr, "vorlinex: %s\n", settingsUnreadableText(*failure).c_str());
        reportSettingsUnreadable(vorlinex.boxes, *failure);
        processSignals.reset();
        return 1;
    }

    QWidget* window = vorlinex.createMainWindow();
    bindWindowCalls(rateMeter, window);
    vorlinex.initialiseMainWindow(window);

    int exitCode = 0;
    bool loopRan = false;
    if (!vorlinex.shutdownStarted()) {
        vorlinex.publishMainWindow(window);
        window->show();
        if (afterShown) afterShown(window);
        if (!vorlinex.shutdownStarted()) exitCode = QApplication::exec(), loopRan = true;
    }
    // However the loop ended, no worker or tick thread outlives the entry function.
    vorlinex.shutdownVorlinex();

    rateMeter.showElapsed = nullptr;
    rateMeter.showRate = nullptr;
    vorlinex.app.relay.relayChannel1.trafficResumed = nullptr;  // they reach the window
    vorlinex.app.relay.relayChannel2.trafficResumed = nullptr;
    vorlinex.app.relay.relayChannel1.portLost = nullptr;
    vorlinex.app.relay.relayChannel2.portLost = nullptr;
    vorlinex.publishMainWindow(nullptr);
    delete window;
    processSignals.reset();
    // A shutdown before the message loop ran leaves its quit request pending, and the next loop
    // of this process (a tool or test that runs the program again) would end at once; one pass
    // of the loop takes it.
    if (!loopRan) {
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        QApplication::exec();
    }
    return exitCode;
}

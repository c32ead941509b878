#include "shell/qt/main_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGroupBox>
#include <QInputDialog>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <atomic>

#include "capture/qt/log_window.h"
#include "display/qt/display_window.h"
#include "display/traffic_render.h"
#include "relay/port_reconnect.h"
#include "settings/config.h"
#include "settings/serial_devices.h"
#include "settings/qt/about_dialog.h"
#include "settings/qt/devices_dialog.h"
#include "settings/qt/option_dialog.h"
#include "settings/qt/serial_dialog.h"
#include "shell/activity_arrows.h"
#include "shell/command_line.h"
#include "shell/headless_report.h"
#include "shell/message_catalogue.h"
#include "shell/qt/desktop.h"
#include "shell/qt/dialog_units.h"
#include "shell/qt/entry.h"
#include "shell/qt/help_page.h"
#include "shell/qt/window_hosts.h"

namespace {

const char* const kTitle = "Vorlinex v1.01a";

// A dialog's keyboard handling for the one window that has it: Esc is IDCANCEL, and so is the
// close box (the window is never really closed; shutdown ends the program).
class MainWindow : public QMainWindow {
public:
    explicit MainWindow(Vorlinex& owner) : vorlinex(owner) {}

    Vorlinex& vorlinex;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
            event->accept();
            vorlinex.dispatchMainCommand(kCommandCancel);
            return;
        }
        QMainWindow::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        event->ignore();
        vorlinex.dispatchMainCommand(kCommandCancel);
    }
};

QString idName(int id) { return QString::number(id); }

template <typename T>
T* childById(QWidget* window, int id) {
    return window == nullptr ? nullptr : window->findChild<T*>(idName(id));
}

void setControlTextOn(QWidget* window, int controlId, const QString& text) {
    QWidget* control = childById<QWidget>(window, controlId);
    if (auto* label = qobject_cast<QLabel*>(control)) {
        label->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->setText(text);
    }
}

QLabel* addStatic(QWidget* parent, const DialogUnits& du, int id, const char* text, int x, int y,
                  int w, int h, Qt::Alignment alignment) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(idName(id));
    label->setAlignment(alignment);
    label->setGeometry(du.rect(x, y, w, h));
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

void addGroupBox(QWidget* parent, const DialogUnits& du, int x, int y, int w, int h, bool flat) {
    auto* box = new QGroupBox(parent);
    box->setFlat(flat);
    box->setGeometry(du.rect(x, y, w, h));
    box->setFocusPolicy(Qt::NoFocus);
    box->lower();  // frames stay behind the controls they surround
}

QPushButton* addButton(Vorlinex& vorlinex, QWidget* parent, const DialogUnits& du, int id, int x, int y) {
    auto* button = new QPushButton(QStringLiteral("Disp"), parent);
    button->setObjectName(idName(id));
    button->setGeometry(du.rect(x, y, 37, 18));
    button->setFocusPolicy(Qt::StrongFocus);
    button->setAutoDefault(false);
    QObject::connect(button, &QPushButton::clicked, button, [&vorlinex, id] { vorlinex.dispatchMainCommand(id); });
    return button;
}

QAction* addItem(Vorlinex& vorlinex, QMenu* menu, const char* text, int id) {
    QAction* action = menu->addAction(QString::fromUtf8(text));
    action->setObjectName(idName(id));
    QObject::connect(action, &QAction::triggered, action, [&vorlinex, id] { vorlinex.dispatchMainCommand(id); });
    return action;
}

QMenu* addPopup(QMenuBar* bar, const char* text, const char* name) {
    QMenu* menu = bar->addMenu(QString::fromUtf8(text));
    menu->setObjectName(QString::fromUtf8(name));
    return menu;
}

void buildMenu(Vorlinex& vorlinex, QMainWindow* window) {
    QMenuBar* bar = window->menuBar();
    bar->setObjectName(QStringLiteral("RS232C"));
    bar->setNativeMenuBar(false);

    QMenu* main = addPopup(bar, "MENU(&M)", "MENU");
    addItem(vorlinex, main, "SAVE(&S)", kCommandSave);
    addItem(vorlinex, main, "LOG Com->Com(&A)", kCommandLogA);
    addItem(vorlinex, main, "LOG Com<-Com(&B)", kCommandLogB);
    addItem(vorlinex, main, "LOG Com<->Com(&C)", kCommandLogC);
    addItem(vorlinex, main, "Share live (PCAP-over-IP)...", kCommandShareLive)->setCheckable(true);
    addItem(vorlinex, main, "SERIAL(&S", kCommandSerial);
    main->addSeparator();
    addItem(vorlinex, main, "END(&E)", kCommandEnd);

    QMenu* disp = addPopup(bar, "DISP(&D)", "DISP");
    addItem(vorlinex, disp, "ASCII(&A)", kCommandAscii)->setCheckable(true);
    addItem(vorlinex, disp, "BINARY(&B)", kCommandBinary)->setCheckable(true);
    disp->addSeparator();
    addItem(vorlinex, disp, "Com<->Com(&C)", kCommandTimeline);

    QMenu* option = addPopup(bar, "OPTION(&O)", "OPTION");
    addItem(vorlinex, option, "OPTION(&O)", kCommandOption);
    addItem(vorlinex, option, "DEVICES(&V)", kCommandDevices);

    QMenu* about = addPopup(bar, "ABOUT(&A)", "ABOUT");
    addItem(vorlinex, about, "ABOUT(&A)", kCommandAbout);
    addItem(vorlinex, about, "HELP(&H)", kCommandHelp);
}

// Status bar 5001: two parts whose right edges lie at 300 and 550 pixels; the clock goes into
// the second. The parts keep their pixel edges however narrow the window is, as they always
// have, so the second one is cut off by the window's right edge.
void buildStatusBar(QMainWindow* window) {
    auto* bar = new QStatusBar(window);
    bar->setObjectName(QString::number(kMainStatusBar));
    bar->setSizeGripEnabled(false);
    const int height = bar->fontMetrics().height() + 6;
    const int edges[3] = {0, 300, 550};
    for (int part = 0; part < 2; ++part) {
        auto* label = new QLabel(bar);
        label->setObjectName(statusPartName(part));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        // A fixed size: the clock's text changes every second, and a label that may change its
        // size would make the whole bar lay itself out again each time.
        label->setFixedSize(edges[part + 1] - edges[part], height);
        label->move(edges[part], 0);
    }
    bar->setFixedHeight(height);
    window->setStatusBar(bar);
}

void setDisplayModeCheck(QWidget* window, int dmode) {
    QAction* binary = childById<QAction>(window, kCommandBinary);
    QAction* ascii = childById<QAction>(window, kCommandAscii);
    if (binary != nullptr) binary->setChecked(dmode != 0);
    if (ascii != nullptr) ascii->setChecked(dmode == 0);
}

// Window timer 119: a tick every 300 ms while a strip moves. Once both strips are blank and
// neither direction has counted a byte since the last rate update, every tick would only set
// the same blank texts again, so the timer rests; the first byte counted after that wakes it
// for the next tick of the same 300 ms rhythm, the tick at which it would have shown anyway.
class ArrowTimer : public QTimer {
public:
    static constexpr int kPeriodMs = 300;

    ArrowTimer(Vorlinex& vorlinex, QWidget* window) : QTimer(window), vorlinex_(vorlinex), window_(window) {
        setObjectName(QString::number(kMainArrowTimer));
        connect(this, &QTimer::timeout, this, [this] { tick(); });
    }

    void begin() {
        sinceTick_.start();
        start(kPeriodMs);
    }

    // From a worker, on the first byte counted after a rate update.
    void wake() {
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (resting_.exchange(false)) {
            QMetaObject::invokeMethod(this, [this] { resume(); }, Qt::QueuedConnection);
        }
    }

private:
    bool bothIdle() const {
        const Relay& relay = vorlinex_.app.relay;
        return relay.relayChannel1.rateByteCount.load() == 0 && relay.relayChannel2.rateByteCount.load() == 0;
    }

    bool stripsBlank() const {
        for (int id : {kMainArrows1, kMainArrows2}) {
            auto* strip = childById<QLabel>(window_, id);
            if (strip != nullptr && !strip->text().isEmpty()) return false;
        }
        return true;
    }

    void tick() {
        sinceTick_.restart();
        if (interval() != kPeriodMs) start(kPeriodMs);  // back in the rhythm after a wake
        vorlinex_.updateActivityArrows();
        if (!bothIdle() || !stripsBlank()) return;
        // A worker that counts its first byte from here on finds the flag and wakes the timer;
        // one that counted it just before is seen by the second look.
        resting_.store(true);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (bothIdle()) {
            stop();
        } else {
            resting_.exchange(false);  // taken back, or a worker's wake finds the timer running
        }
    }

    void resume() {
        if (isActive() || vorlinex_.shutdownStarted()) return;
        start(static_cast<int>(kPeriodMs - sinceTick_.elapsed() % kPeriodMs));
    }

    Vorlinex& vorlinex_;
    QWidget* window_;
    QElapsedTimer sinceTick_;
    std::atomic<bool> resting_{false};
};

}  // namespace

Vorlinex::Vorlinex()
    : settingsHost(settingsDialogHostOf(*this)),
      displayWindows(displayWindowHostOf(*this), app.relay, app.trafficDisplay1, app.trafficDisplay2),
      captureWindows(captureWindowHostOf(*this), app.relay, app.captures),
      timelineWindows(timelineWindowHostOf(*this), app.timeline) {}

Vorlinex& vorlinexOf(QWidget* mainWindow) { return static_cast<MainWindow*>(mainWindow)->vorlinex; }

QString statusPartName(int part) { return QStringLiteral("%1.%2").arg(kMainStatusBar).arg(part); }

QWidget* Vorlinex::publishedMainWindow() const { return publishedWindow.load(std::memory_order_acquire); }

void Vorlinex::publishMainWindow(QWidget* mainWindow) {
    publishedWindow.store(mainWindow, std::memory_order_release);
}

QAction* Vorlinex::mainMenuItem(int commandId) const {
    return childById<QAction>(publishedMainWindow(), commandId);
}

void Vorlinex::setMainControlText(int controlId, const QString& text) {
    setControlTextOn(publishedMainWindow(), controlId, text);
}

namespace {
QLabel* statusPart(QWidget* window) {
    return window == nullptr ? nullptr : window->findChild<QLabel*>(statusPartName(0));
}
}  // namespace

void Vorlinex::showPortLabels() {
    Relay& relay = app.relay;
    setMainControlText(kMainCom1, QString::fromStdString(portLabelText(relay.serialPort1)));
    displayWindows.setDisplayWindowTitle(1, QString::fromStdString(displayTitleText(relay, 1)));
    setMainControlText(kMainCom2, QString::fromStdString(portLabelText(relay.serialPort2)));
    displayWindows.setDisplayWindowTitle(2, QString::fromStdString(displayTitleText(relay, 2)));
    timelineWindows.setTitle(QString::fromStdString(timelineTitleText(relay)));
}

// The kernel is asked about the UART only when ports (re)open; the reconnect tick joins that
// notice with what it has to say about unplugged adapters.
void Vorlinex::refreshMissingUartNotice(QWidget* mainWindow) {
    if (QLabel* part = statusPart(mainWindow != nullptr ? mainWindow : publishedMainWindow()))
        part->setProperty("uartNotice", QString::fromStdString(missingUartNotice(app.relay)));
    showPortStatus(mainWindow);
}

void Vorlinex::portsRestarted() {
    showPortLabels();
    refreshMissingUartNotice();
    watchPorts();
}

void Vorlinex::watchPorts(QWidget* mainWindow) {
    QWidget* window = mainWindow != nullptr ? mainWindow : publishedMainWindow();
    auto* reconnect = window == nullptr ? nullptr : window->findChild<QTimer*>(QStringLiteral("reconnect"));
    if (reconnect == nullptr) return;
    const Relay& relay = app.relay;
    const bool allPresent = relay.serialPort1.presence.load() == PortPresent && relay.serialPort2.presence.load() == PortPresent;
    // A network port's server answers and notifies while it is open: the status bar keeps up.
    const bool reporting = portKindOf(relay, relay.serialPort1).reportsWhileOpen() ||
                           portKindOf(relay, relay.serialPort2).reportsWhileOpen();
    if ((allPresent && !reporting) || shutdownStarted()) {
        reconnect->stop();
    } else if (!reconnect->isActive()) {
        reconnect->start();
    }
}

void Vorlinex::showPortStatus(QWidget* mainWindow) {
    QLabel* part = statusPart(mainWindow != nullptr ? mainWindow : publishedMainWindow());
    if (part == nullptr) return;
    QString text = QString::fromStdString(portStatusText(app.relay));
    const QString uart = part->property("uartNotice").toString();
    if (!uart.isEmpty()) text = text.isEmpty() ? uart : text + QStringLiteral("; ") + uart;
    const PcapServer& server = app.captures.pcapServer;
    if (server.running()) {
        const QString sharing = QStringLiteral("Sharing live on %1").arg(QString::fromStdString(server.address()));
        text = text.isEmpty() ? sharing : sharing + QStringLiteral("; ") + text;
    }
    // The part is 300 px wide: the whole text when the mouse rests on it, with what the servers
    // of network ports last said of their lines.
    const QString states = QString::fromStdString(portLineStateText(app.relay));
    const QString tip = states.isEmpty() ? text : text.isEmpty() ? states : text + QStringLiteral("\n") + states;
    if (part->text() != text) part->setText(text);
    if (part->toolTip() != tip) part->setToolTip(tip);
}

QWidget* Vorlinex::createMainWindow() {
    auto* window = new MainWindow(*this);
    window->setObjectName(QStringLiteral("IDD_DIALOG_MAIN"));
    window->setFont(dialogFont());
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint);
    window->setAttribute(Qt::WA_DeleteOnClose, false);

    const DialogUnits du(dialogFont());
    auto* client = new QWidget(window);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(du.x(250), du.y(143));
    window->setCentralWidget(client);

    // Template order; the two buttons are the only tab stops.
    QPushButton* disp1 = addButton(*this, client, du, kCommandDisp1, 16, 90);
    QPushButton* disp2 = addButton(*this, client, du, kCommandDisp2, 189, 90);
    addStatic(client, du, kMainCom1, "COM", 22, 47, 25, 9, Qt::AlignHCenter | Qt::AlignTop);
    addStatic(client, du, kMainCom2, "COM", 197, 48, 23, 8, Qt::AlignHCenter | Qt::AlignTop);
    addStatic(client, du, kMainArrows1, "", 50, 25, 142, 16, Qt::AlignCenter);
    addStatic(client, du, kMainArrows2, "", 50, 64, 142, 16, Qt::AlignCenter);
    addGroupBox(client, du, 12, 7, 219, 108, false);
    addStatic(client, du, kMainRate1, "", 97, 43, 51, 10, Qt::AlignHCenter | Qt::AlignTop);
    addStatic(client, du, kMainRate2, "", 97, 82, 51, 10, Qt::AlignHCenter | Qt::AlignTop);
    addGroupBox(client, du, 19, 19, 31, 63, true);
    addGroupBox(client, du, 193, 19, 31, 63, true);
    QWidget::setTabOrder(disp1, disp2);

    buildMenu(*this, window);
    buildStatusBar(window);

    // Fixed size, not resizable.
    window->layout()->activate();
    window->setFixedSize(window->sizeHint());
    return window;
}

bool Vorlinex::initialiseMainWindow(QWidget* mainWindow) {
    auto* window = static_cast<QMainWindow*>(mainWindow);
    Relay& relay = app.relay;
    RateMeter& rateMeter = relay.rateMeter;
    window->setWindowIcon(QIcon(QStringLiteral(":/vorlinex.png")));
    window->setWindowTitle(QString::fromLatin1(kTitle));
    // The status bar exists from construction; the clock starts from zero.
    rateMeter.elapsedHours = 0;
    rateMeter.elapsedMinutes = 0;
    rateMeter.elapsedSeconds = 0;

    for (SerialPort* port : {&relay.serialPort1, &relay.serialPort2}) {
        port->handle.store(-1, std::memory_order_release);
        port->settings = PortSettings{};
    }
    app.reports.comOutOfRange = [this](const std::string& path, const ComOutOfRange& com) {
        reportComOutOfRange(boxes, path, com);
    };
    app.reports.portOpen = [this, window](int port, int result, int64_t portNumber, const PortOpenFailure& failure,
                                          bool) {
        reportPortOpen(boxes, result, portNumber, failure);
        setControlTextOn(window, port == 2 ? kMainCom2 : kMainCom1,
                         QString::fromStdString(portLabelText(app.relay.serialPort(port))));
    };
    app.loadSettings();
    decodeSettings = loadDecodeSettings();

    // A box raised by a failed open runs a nested event loop, where a termination signal may
    // start the shutdown; nothing more is opened or started after that.
    // Set before any worker starts, which may call it from then on.
    auto* arrows = new ArrowTimer(*this, window);
    // Unplugged adapters: closed once their workers stop, reopened as soon as their path is back
    // (looked for four times a second while a port is away), and told in the status bar meanwhile.
    auto* reconnect = new QTimer(window);
    reconnect->setObjectName(QStringLiteral("reconnect"));
    reconnect->setInterval(250);
    QObject::connect(reconnect, &QTimer::timeout, window, [this] {
        if (app.step()) {
            showPortLabels();
            refreshMissingUartNotice();
        } else {
            showPortStatus();
        }
        watchPorts();
        // A network port the user opened that could not connect: told like a device that would
        // not open, once; its retries are the status bar's.
        app.reportOwedOpens();
    });
    for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
        channel->trafficResumed = [arrows] { arrows->wake(); };
        channel->portLost = [this, reconnect] {
            QMetaObject::invokeMethod(reconnect, [this] { watchPorts(); }, Qt::QueuedConnection);
        };
    }

    if (!app.startPorts() || shutdownStarted()) return false;
    // A default /dev/ttyS* port opens whether or not a chip is behind it; say so rather than
    // relay into nothing.
    refreshMissingUartNotice(window);

    arrows->begin();

    watchPorts(window);

    relay.startRateTimer();
    setDisplayModeCheck(window, relay.appOptions.DMODE.load());
    app.trafficDisplay1.displayOpen = 0;
    app.trafficDisplay2.displayOpen = 0;
    for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) channel->stampCountdown = 0;
    return true;
}

void Vorlinex::dispatchMainCommand(int commandId) {
    AppOptions& appOptions = app.relay.appOptions;
    // Once shutdown has begun the ports are closed: no command may open windows or ports again.
    if (shutdownStarted()) return;
    QWidget* window = publishedMainWindow();
    switch (commandId) {
        case kCommandCancel:
        case kCommandEnd:
            shutdownVorlinex();
            break;
        case kCommandDisp1:
            displayWindows.openDisplayWindow(1);
            break;
        case kCommandDisp2:
            displayWindows.openDisplayWindow(2);
            break;
        case kCommandAbout:
            runAboutDialog(settingsHost, window);
            break;
        case kCommandSerial:
            runSerialDialog(settingsHost, window);
            break;
        case kCommandSave:
            reportConfigSave(boxes, saveConfig(configOf(app.relay)));
            break;
        case kCommandHelp:
            openHelp();
            break;
        case kCommandOption:
            runOptionDialog(settingsHost, window);
            break;
        case kCommandDevices:
            runDevicesDialog(settingsHost, window);
            break;
        case kCommandBinary:
            setDisplayModeCheck(window, 1);
            appOptions.DMODE = 1;
            break;
        case kCommandAscii:
            setDisplayModeCheck(window, 0);
            appOptions.DMODE = 0;
            break;
        case kCommandLogA:
            captureWindows.startCapture(1);
            break;
        case kCommandLogB:
            captureWindows.startCapture(2);
            break;
        case kCommandLogC:
            captureWindows.startCapture(kCombinedCapture);
            break;
        case kCommandTimeline:
            timelineWindows.openTimelineWindow();
            break;
        case kCommandShareLive:
            shareLive();
            break;
        default:
            break;
    }
}

void Vorlinex::shareLive() {
    PcapServer& server = app.captures.pcapServer;
    QAction* item = mainMenuItem(kCommandShareLive);
    if (server.running()) {
        // Chosen again while it runs: the stream ends, each client gets what waits for it.
        server.stop();
    } else {
        QInputDialog dialog(publishedMainWindow());
        dialog.setObjectName(QStringLiteral("ShareLive"));
        dialog.setWindowTitle(QStringLiteral("Share live (PCAP-over-IP)"));
        dialog.setLabelText(QStringLiteral("Listen on [ADDRESS:]PORT (Wireshark: TCP@ADDRESS:PORT).\n"
                                           "Anyone who reaches this address sees the traffic."));
        dialog.setTextValue(QString::fromStdString(lastShareAddress));
        if (dialog.exec() == QDialog::Accepted && !shutdownStarted()) {
            const std::string text = dialog.textValue().trimmed().toStdString();
            std::string host;
            int32_t port = 0;
            if (!parseListenAddress(text, host, port)) {
                showBox(boxes, text + " is not [ADDRESS:]PORT: a port from 0 to 65535, after a numeric address and a "
                        "colon ([ADDRESS] for IPv6)", BoxIcon::Error, BoxOwner::MainWindow);
            } else if (const int error = server.start(host, static_cast<uint16_t>(port)); error != 0) {
                showBox(boxes, pcapListenRefusedText(text, error), BoxIcon::Error, BoxOwner::MainWindow);
            } else {
                lastShareAddress = text;
            }
        }
    }
    if (item != nullptr) item->setChecked(server.running());
    showPortStatus();
}

void Vorlinex::updateActivityArrows() {
    const auto texts = app.arrows.nextActivityArrowTexts(app.relay);
    QWidget* window = publishedMainWindow();
    setControlTextOn(window, kMainArrows1, QString::fromLatin1(texts[0].data(), texts[0].size()));
    setControlTextOn(window, kMainArrows2, QString::fromLatin1(texts[1].data(), texts[1].size()));
}

void Vorlinex::openHelp() {
    // Like the INI file, the help page belongs to the current directory; a program started from
    // the menu has none there, so the page installed with it follows.
    const QStringList places = {QDir::currentPath() + QStringLiteral("/Vorlinex.html"), installedHelpPage()};
    for (const QString& path : places) {
        const QFileInfo page(path);
        if (page.isFile() && page.isReadable()) {
            openUrl(QUrl::fromLocalFile(page.canonicalFilePath()));
            return;
        }
    }
    const QString text = QStringLiteral("The help page could not be found:\n%1").arg(places.join(u'\n'));
    showBox(boxes, text.toStdString(), BoxIcon::Error, BoxOwner::MainWindow);
}

// The real program in-process, what Linux alone can drive: the main window's menu marks, clock,
// figures and arrow strips; adapters that come and go; the timeline window, also watching a
// headless relay; a network port's settings.
#include <signal.h>
#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <regex>

#include "display/qt/timeline_window.h"
#include "display/timeline_frames.h"
#include "settings/config.h"
#include "settings/port_restart.h"
#include "settings/qt/serial_dialog.h"
#include "shell/activity_arrows.h"
#include "tests/display/timeline_lines.h"
#include "tests/shell/qt/shell_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/serial_servers.h"

namespace {

// Steady traffic, a byte every 10 ms, until `until` holds; every byte must arrive once, in order.
void relayUntil(PtyCable& from, PtyCable& to, const std::function<bool()>& until) {
    std::string sent, got;
    EXPECT_TRUE(waitUntil([&] {
        sent += static_cast<char>('A' + sent.size() % 26);
        from.send(sent.substr(sent.size() - 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        got += to.receiveUntilQuiet(0);
        return until();
    }, 30000));
    got += to.receive(sent.size() - std::min(sent.size(), got.size()));
    EXPECT_EQ(got, sent) << "every byte relayed once, in order";
}

// A named settings file that cannot be read ends the program with 1 before any window, its path and
// why in a box; a COM out of range is told with its line and its port takes its default.
TEST_F(ProgramOnCables, ANamedSettingsFileThatCannotBeReadEndsItAndAComOutOfRangeIsTold) {
    setConfigPathOverride("missing.ini");
    bool shown = false;
    EXPECT_EQ(runVorlinex([&](QWidget*) { shown = true; }), 1);
    EXPECT_FALSE(shown);
    std::string ini = vorlinexIni({first.slavePath(), second.slavePath()});
    dir.write("named.ini", ini.replace(ini.find("COM=1"), 5, "COM=7"));
    setConfigPathOverride("named.ini");
    run([&](Vorlinex& v, QWidget* window) {
        EXPECT_TRUE(v.app.relay.serialPort2.settings.comIndex == 1 && controlText(window, kMainCom2) == "COM2");
    });
    setConfigPathOverride("");
    ASSERT_EQ(recordedBoxes().size(), 2u);
    const std::string missing = dir.file("missing.ini");
    EXPECT_EQ(recordedBoxes()[0].text, "Settings File Error\n" + missing + "\nNo such file or directory");
    const std::string outOfRange = " line 6: [DATA2] COM=7 is out of range (0 to 5 for COM1 to COM6): port 2 uses COM2";
    EXPECT_EQ(recordedBoxes()[1].text, dir.file("named.ini") + outOfRange);
}

// Any non-zero DMODE is binary. A strip moves only while its direction carries traffic, resting
// when quiet, then goes on from the frame after. The timeline window: its item, title, one window
// raised again, its place kept, and records taken only while it is open.
TEST_F(Program, MenuMarksSaveClockArrowStripsFiguresAndTheTimelineWindowWork) {
    PtyCable third;
    dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath(), third.slavePath()}, 1, /*DMODE*/ 2));
    std::vector<QString> shown[2];  // what each strip showed at the ticks of timer 119, blanks left out
    bool blank = false;             // the last tick left both strips blank
    const QRegularExpression figure(QStringLiteral("^  +([1-9]\\d*) byte/s$"));
    run([&](Vorlinex& v, QWidget* window) {
        auto* timer = child<QTimer>(window, kMainArrowTimer);
        ASSERT_NE(timer, nullptr);
        QObject::connect(timer, &QTimer::timeout, window, [&] {
            blank = true;
            for (int i : {0, 1}) {
                const QString text = controlText(window, i == 0 ? kMainArrows1 : kMainArrows2);
                if (!text.isEmpty()) shown[i].push_back(text);
                blank = blank && text.isEmpty();
            }
        });
        QAction *binary = v.mainMenuItem(kCommandBinary), *ascii = v.mainMenuItem(kCommandAscii);
        ASSERT_TRUE(binary && ascii);
        for (QAction* item : {static_cast<QAction*>(nullptr), ascii, ascii, binary, binary}) {  // twice: stays
            if (item != nullptr) item->trigger();
            EXPECT_TRUE(binary->isChecked() == (item != ascii) && ascii->isChecked() == (item == ascii));
            EXPECT_EQ(v.app.relay.appOptions.DMODE.load() != 0, item != ascii);
        }
        v.mainMenuItem(kCommandSave)->trigger();  // its box is the settings' tests'
        recordedBoxes().clear();
        auto* clock = window->findChild<QLabel*>(statusPartName(1));
        EXPECT_TRUE(waitUntil([&] { return clock->text() == QString::fromUtf8("00：00：02"); }));
        EXPECT_TRUE(waitUntil([&] { return blank && !timer->isActive(); }));
        // Until a pause fell inside a round of four frames, where starting over would show (ten tries).
        for (size_t n = 0, round = 0; (n < 5 || n % 4 == 0) && round < 10; ++round, n = shown[0].size()) {
            relayUntil(first, second,
                       [&] { return shown[0].size() > n && figure.match(controlText(window, kMainRate1)).hasMatch(); });
            EXPECT_TRUE(shown[1].empty());
            EXPECT_TRUE(waitUntil([&] { return !timer->isActive(); }) && blank);
        }
        // Steady traffic back: a single burst may be cleared by a rate update before a tick.
        relayUntil(second, first, [&] { return !shown[1].empty(); });
        EXPECT_EQ(shown[1][0].toStdString(), backwardArrowFrames[0]);
        const size_t before = shown[0].size();
        relayUntil(first, second, [&] { return shown[0].size() > before; });
        for (size_t i = 0; i < shown[0].size(); ++i)
            EXPECT_EQ(shown[0][i].toStdString(), forwardArrowFrames[i % 4]) << i;
        // The timeline window: DISP holds ASCII, BINARY, a separator, then its item.
        auto* disp = window->findChild<QMenu*>(QStringLiteral("DISP"));
        ASSERT_TRUE(disp && disp->actions().size() == 4 && disp->actions()[2]->isSeparator());
        QAction* item = v.mainMenuItem(kCommandTimeline);
        ASSERT_EQ(item, disp->actions()[3]);
        EXPECT_EQ(item->text(), QStringLiteral("Com<->Com(&C)"));
        EXPECT_FALSE(v.app.timeline.takesReads()) << "nothing is taken while the window is closed";

        item->trigger();
        QPointer<TimelineWindow> timeline = v.timelineWindows.timelineWindow();
        ASSERT_TRUE(timeline && timeline->isVisible() && v.app.timeline.takesReads());
        EXPECT_EQ(timeline->windowTitle(), QStringLiteral("Com1 <-> Com2"));
        EXPECT_EQ(timeline->parentWidget(), window) << "owned by the main window";
        flow(first, second, "*IDN?\r\n");
        flow(second, first, "OK\r\n");
        ASSERT_TRUE(waitUntil([&] {
            timeline->view()->refresh();
            return timeline->view()->recordsInSight().size() >= 2;
        }));

        item->trigger();
        EXPECT_EQ(v.timelineWindows.timelineWindow(), timeline.data()) << "a second trigger raises the same window";

        // The serial window's OK moves port 2 to COM3: the title follows, and back.
        Relay& relay = v.app.relay;
        for (const int com : {2, 1}) {
            PortChoice port2 = choiceFromSettings(relay.serialPort2.settings);
            port2.com = com;
            v.settingsHost.restartPorts(choiceFromSettings(relay.serialPort1.settings), port2);
            EXPECT_EQ(timeline->windowTitle(), QStringLiteral("Com1 <-> Com%1").arg(com + 1));
        }

        // Closed, it takes nothing; opened again, it is where the user left it, on an empty list.
        timeline->setGeometry(40, 60, 700, 333);
        const QRect place = timeline->geometry();
        timeline->close();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(timeline.isNull() && !v.app.timeline.takesReads());
        flow(first, second, "while closed");
        item->trigger();
        ASSERT_TRUE(v.timelineWindows.timelineWindow());
        EXPECT_EQ(v.timelineWindows.timelineWindow()->geometry(), place);
        EXPECT_TRUE(v.app.timeline.takesReads() && v.app.timeline.extent().empty());
    });
    EXPECT_NE(dir.read("Vorlinex.ini").find("DMODE=1"), std::string::npos) << dir.read("Vorlinex.ini");
}

// An adapter put back during the "Com1 Open Error" box of a restart opens after the restart ends.
// SIGTERM during a restart's box shuts down inside its loop: the restart must not go on.
TEST_F(Program, AdaptersThatComeAndGoOpenByThemselvesAlsoDuringARestartAndTheShutdown) {
    PluggableCable adapter1(dir.file("ttyUSB0"), false), adapter2(dir.file("ttyUSB1"), false);
    PtyCable third;
    dir.write("Vorlinex.ini", vorlinexIni({adapter1.path(), adapter2.path(), third.slavePath()}));
    std::vector<std::string> boxes;  // text, where, and its icon when not an error's
    bool moveBoth = false;
    QTimer user;  // the user, then the session: acts on whichever modal window is up
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box != nullptr && box->isVisible() && box->property("seen").isNull()) {
            box->setProperty("seen", true);
            QWidget* main = madeMainWindow();
            const bool alone = box->parentWidget() == nullptr && !main->isVisible();
            const char* where = alone ? ", before the window" : box->parentWidget() == main ? ", over it" : ", ?";
            const char* icon = box->icon() == QMessageBox::Critical ? "" : ", not an error";
            boxes.push_back(box->text().toStdString() + where + icon);
            if (boxes.size() == 4) ::kill(::getpid(), SIGTERM);
            if (boxes.size() == 3) adapter1.plug();
            QTimer::singleShot(700, box, [box] { box->accept(); });  // steps would have run meanwhile
        } else if (modal != nullptr && child<QComboBox>(modal, kSerialCom1) != nullptr) {
            if (moveBoth) {
                child<QComboBox>(modal, kSerialCom1)->setCurrentIndex(4);  // com5: nothing there
                child<QComboBox>(modal, kSerialCom2)->setCurrentIndex(2);
            }
            // Queued: a box's loop must not run inside this timer's own call.
            QTimer::singleShot(0, modal, [modal] { click(modal, kSerialOk); });
        }
    });
    user.start(20);
    run([&](Vorlinex& v, QWidget* window) {
        auto* reconnect = window->findChild<QTimer*>(QStringLiteral("reconnect"));
        EXPECT_TRUE(v.mainMenuItem(kCommandAscii)->isChecked() && !v.mainMenuItem(kCommandBinary)->isChecked())
            << "DMODE=0: ASCII";
        const std::string away1 = "COM1: " + adapter1.path() + " unplugged, waiting",
                          away2 = "COM2: " + adapter2.path() + " unplugged, waiting";
        EXPECT_TRUE(shows(window, "COM", "COM", away1 + "; " + away2));
        adapter1.plug();
        EXPECT_TRUE(shows(window, "COM1", "COM", away2));
        adapter2.plug();
        EXPECT_TRUE(shows(window, "COM1", "COM2", ""));
        EXPECT_TRUE(reconnect && waitUntil([&] { return !reconnect->isActive(); }));
        adapter1.unplug();
        EXPECT_TRUE(shows(window, "COM", "COM2", away1));
        v.mainMenuItem(kCommandSerial)->trigger();
        EXPECT_TRUE(shows(window, "COM1", "COM2", ""));
        expectRelaysBothWays(adapter1.device(), adapter2.device(), 9);
        moveBoth = true;
        QTimer::singleShot(0, window, [&v] { v.mainMenuItem(kCommandSerial)->trigger(); });
    }, true, {});
    user.stop();
    const auto missing = [](const std::string& path) {
        return path + ": No such file or directory (it opens by itself once it is there)";
    };
    EXPECT_EQ(boxes, (std::vector<std::string>{"Com1 Open Error\n" + missing(adapter1.path()) + ", before the window",
                                               "Com2 Open Error\n" + missing(adapter2.path()) + ", before the window",
                                               "Com1 Open Error\n" + missing(adapter1.path()) + ", over it",
                                               "Com5 Open Error\n" + missing("/nonexistent/vorlinex-COM5") +
                                                   ", over it"}));
}

// A network port to Debian's ser2net: SERIAL > OK with new line settings for COM1 keeps the
// connection, the server answers each setting, and the port relays on.
TEST_F(Program, SerialOkSendsTheNewSettingsOverTheSameNetworkConnectionAndTheServerAnswersThem) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    Ser2netServer server(first.slavePath());
    ASSERT_TRUE(server.start()) << server.error();
    const std::string network = "rfc2217://127.0.0.1:" + std::to_string(server.rfc2217Port());
    dir.write("Vorlinex.ini", vorlinexIni({network, second.slavePath()}));
    bool dialogSeen = false;
    QTimer user;  // chooses in the serial dialog and presses OK
    QObject::connect(&user, &QTimer::timeout, [&] {
        auto* dialog = dynamic_cast<SerialDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || std::exchange(dialogSeen, true)) return;
        for (const auto& [id, text] :
             {std::pair(kSerialBps1, "19200"), {kSerialBits1, "7"}, {kSerialParity1, "even"}, {kSerialStop1, "2"}}) {
            QComboBox* combo = dialog->combo(id);
            ASSERT_TRUE(combo && combo->findText(QString::fromLatin1(text)) >= 0) << text;
            combo->setCurrentIndex(combo->findText(QString::fromLatin1(text)));
        }
        QTimer::singleShot(0, dialog, [dialog] { click(dialog, kSerialOk); });
    });
    user.start(20);
    run([&](Vorlinex& v, QWidget* window) {
        SerialPort& port1 = v.app.relay.serialPort1;
        ASSERT_TRUE(shows(window, "COM1", "COM2", ""));  // the port to the server relays
        ASSERT_TRUE(waitUntil([&] { return port1.connection()->readBack().baudAnswered; }, 30000));
        const NetworkPort* connection = port1.connection();
        v.mainMenuItem(kCommandSerial)->trigger();
        EXPECT_TRUE(dialogSeen);
        EXPECT_EQ(port1.connection(), connection) << "the connection was made anew";
        NetworkReadBack r;
        EXPECT_TRUE(waitUntil([&] {
            r = port1.connection()->readBack();
            const bool answered = r.dataBitsAnswered && r.parityAnswered && r.stopBitsAnswered && r.baudAnswered;
            return answered && r.asked.dataBits == 7;
        }, 30000));
        EXPECT_TRUE(r.baudRate == 19200u && r.dataBits == 7 && r.parity == 2 && r.twoStopBits)
            << r.baudRate << " " << r.dataBits << " " << r.parity << " " << r.twoStopBits;
        ASSERT_TRUE(shows(window, "COM1", "COM2", ""));
        expectRelaysBothWays(first, second, 5);
    });
    user.stop();
}

// MENU "Share live (PCAP-over-IP)...": the address asked (loopback's 57012 offered), the stream's
// address in the status bar while it runs, and the same item again ends it; an address that is none
// is told and starts nothing. (What a client gets, and its end at a stop: pcap_live_test and
// remote_timeline_test, on the same server the session feeds in either mode.)
TEST_F(Program, ShareLiveRunsTheServerWhileTheStatusBarShowsItsAddress) {
    run([&](Vorlinex& v, QWidget* window) {
        QAction* item = v.mainMenuItem(kCommandShareLive);
        ASSERT_NE(item, nullptr);
        QString offered;
        const auto choose = [&](const QString& address) {
            QTimer::singleShot(0, window, [&offered, address] {
                auto* dialog = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
                if (dialog == nullptr) return;
                offered = dialog->textValue();
                dialog->setTextValue(address);
                dialog->accept();
            });
            item->trigger();
        };
        choose(QStringLiteral("::1:57012"));
        EXPECT_EQ(offered, QStringLiteral("127.0.0.1:57012"));
        ASSERT_EQ(recordedBoxes().size(), 1u);
        EXPECT_NE(recordedBoxes()[0].text.find("::1:57012 is not [ADDRESS:]PORT"), std::string::npos);
        recordedBoxes().clear();
        EXPECT_FALSE(item->isChecked() || v.app.captures.pcapServer.running());

        choose(QStringLiteral("127.0.0.1:0"));  // a free port
        PcapServer& server = v.app.captures.pcapServer;
        ASSERT_TRUE(server.running() && item->isChecked());
        auto* part = window->findChild<QLabel*>(statusPartName(0));
        EXPECT_TRUE(part->text().startsWith(QStringLiteral("Sharing live on 127.0.0.1:%1").arg(server.port())))
            << part->text().toStdString();

        choose(QString());  // no dialog: it stops
        EXPECT_FALSE(server.running() || item->isChecked());
        EXPECT_FALSE(part->text().contains(QStringLiteral("Sharing")));
    });
}

// OPEN of tcp://HOST:PORT: a window watching a headless relay's PCAP-over-IP stream shows what it
// relays, in order, while traffic runs; the relay restarted on its port, the window connects again
// by itself and goes on.
TEST_F(Program, OpenOfARelaysAddressWatchesItLiveAndConnectsAgainOnceItIsBack) {
    if (programUnderTest().empty()) GTEST_SKIP() << "the program is built only with its windows (VORLINEX_WITH_QT)";
    PtyCable farFirst, farSecond;
    dir.write("far.ini", vorlinexIni({farFirst.slavePath(), farSecond.slavePath()}));
    const auto farRelay = [&](const std::string& listen) {
        auto relay = std::make_unique<ChildProcess>(programUnderTest(), std::vector<std::string>{
            "--headless", "--ini", dir.file("far.ini"), "--pcap-listen", listen, "--status-every", "0"});
        EXPECT_NE(relay->awaitLine("^<5>pcap-listen 127\\.0\\.0\\.1:\\d+: PCAP-over-IP"), "") << relay->err();
        return relay;
    };
    std::unique_ptr<ChildProcess> relay = farRelay("0");
    std::smatch listening;
    const std::string told = relay->err();
    ASSERT_TRUE(std::regex_search(told, listening, std::regex("127\\.0\\.0\\.1:(\\d+)")));
    const std::string address = "tcp://" + listening[0].str();
    std::string sent;  // both directions, in the order they were relayed
    const auto traffic = [&](int lines) {
        for (int i = 0; i < lines; ++i) {
            const std::string line = "line " + std::to_string(sent.size()) + "\r\n";
            sent += i % 2 == 0 ? flow(farFirst, farSecond, line) : flow(farSecond, farFirst, line);
        }
    };
    run([&](Vorlinex& v, QWidget*) {
        v.timelineWindows.setFileChooser([&] { return std::optional<QString>(QString::fromStdString(address)); });
        v.timelineWindows.openTimelineFile();
        ASSERT_EQ(v.timelineWindows.fileWindows().size(), 1u);
        TimelineWindow* watching = v.timelineWindows.fileWindows().front();
        ASSERT_NE(watching->remote(), nullptr);
        EXPECT_EQ(watching->windowTitle().toStdString(), address);
        RemoteTimeline& remote = *watching->remote();
        const auto watched = [&](uint64_t connections) {
            return waitUntil([&] {
                return remote.status().state == RemoteTimeline::Status::State::Watching &&
                       remote.status().connections == connections;
            });
        };
        // What the window's list holds, all of it, in order.
        const auto shown = [&] {
            std::string bytes;
            for (const TimelineRecord& r : readAll(remote.records())) bytes += r.bytes;
            return bytes;
        };
        for (uint64_t connection = 1; connection <= 2; ++connection) {
            ASSERT_TRUE(watched(connection)) << watching->noteText().toStdString();
            const std::string note = "Watching " + address + " (read-only)" +
                                     (connection > 1 ? ": connected again, what the relay read while away is not shown" : "");
            EXPECT_TRUE(waitUntil([&] { return watching->noteText().toStdString() == note; }))
                << watching->noteText().toStdString();
            traffic(20);
            EXPECT_TRUE(waitUntil([&] { return shown() == sent; })) << shown();
            const uint64_t last = remote.records().extent().end - 1;
            EXPECT_TRUE(waitUntil([&] {
                const std::vector<uint64_t> inSight = watching->view()->recordsInSight();
                return std::find(inSight.begin(), inSight.end(), last) != inSight.end();
            })) << "the window follows the newest record";
            if (connection == 2) break;
            // Its Frames view cuts what it watches too: a frame per line.
            TimelineDecode lines;
            lines.frames = true;
            ASSERT_TRUE(parseDecodeChoice("delim:0D0A", lines.choice));
            watching->setDecode(lines);
            ASSERT_TRUE(waitUntil([&] { return watching->advanceFrames(); }));
            EXPECT_EQ(watching->frames()->all().extent().end, 20u);
            watching->setDecode(TimelineDecode{});
            ASSERT_TRUE(relay->requestStop());
            EXPECT_EQ(relay->wait(), 0);
            EXPECT_TRUE(waitUntil([&] {
                return watching->noteText().contains(QStringLiteral(": the relay closed the connection; trying again"));
            })) << watching->noteText().toStdString();
            relay = farRelay(listening[0].str());
        }
        watching->findChild<QPushButton*>(timeline_control::kEnd)->click();  // its thread ends with it
    });
}

}  // namespace

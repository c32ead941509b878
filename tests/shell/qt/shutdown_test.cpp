// Shutdown: END, Esc, the close box and the termination signals all end the program the same
// way: workers stopped and joined, ports closed, logs written out, exit code 0, also when a
// worker is stuck on a stalled line; and adapters that come and go, also during a restart and
// during the shutdown.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "tests/shell/qt/shell_harness.h"

namespace {

// The names of the process's threads, but Qt's idle pool threads, which are not the program's.
std::string threadNames() {
    std::multiset<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name != "Thread (pooled)") names.insert(name);
    }
    std::string out;
    for (const std::string& n : names) out += "[" + n + "]";
    return out;
}

// Writes into a cable until it takes nothing for a while: the worker is stuck on an unread line.
void fillUntilStalled(PtyCable& cable) {
    const std::string chunk(4096, 'x');
    auto lastProgress = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - lastProgress < std::chrono::milliseconds(1500)) {
        pollfd p{cable.master(), POLLOUT, 0};
        if (::write(cable.master(), chunk.data(), chunk.size()) > 0) lastProgress = std::chrono::steady_clock::now();
        else ::poll(&p, 1, 100);
    }
}

enum class Worker { Relaying, StalledDestination, MouseHeld, StalledCaptureReader };

// pull runs inside the message loop, as a user or the session would.
struct ShutdownCase { const char* name; Worker worker; void (*pull)(QWidget* window); };

void PrintTo(const ShutdownCase& c, std::ostream* os) { *os << c.name; }

void end(QWidget* window) { vorlinexOf(window).mainMenuItem(300)->trigger(); }
void sigterm(QWidget*) { ::kill(::getpid(), SIGTERM); }

const ShutdownCase kWaysOut[] = {
    {"End", Worker::Relaying, end},
    {"Escape_StalledDestination", Worker::StalledDestination, [](QWidget* window) {
         QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);  // to the focused button
         QApplication::sendEvent(window->findChild<QWidget*>("117"), &escape);
     }},
    {"CloseBox_MouseHeld", Worker::MouseHeld, [](QWidget* window) { window->close(); }},
    {"Sigterm_StalledDestination", Worker::StalledDestination, sigterm},
    {"Sigint", Worker::Relaying, [](QWidget*) { ::kill(::getpid(), SIGINT); }},
    {"End_StalledCaptureReader", Worker::StalledCaptureReader, end},
    {"Sigterm_StalledCaptureReader", Worker::StalledCaptureReader, sigterm},
};

// Pipes whose reader never reads, for captures of channel 2 and of both directions. Should the
// program still wait for them after 30 s, they are read, so the case fails instead of hanging.
struct NeverReadPipes {
    explicit NeverReadPipes(const ScratchDir& dir) {
        for (int i = 0; i < 2; ++i) {
            const std::string path = dir.file("pipe" + std::to_string(i + 2));
            ::mkfifo(path.c_str(), 0600);
            readers[i] = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        }
        rescue = std::jthread([this](std::stop_token ended) {
            for (int tick = 0; tick < 3000 && !ended.stop_requested(); ++tick)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            rescued = !ended.stop_requested();
            char buffer[65536];
            for (; !ended.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(10)))
                for (int reader : readers) while (::read(reader, buffer, sizeof buffer) > 0) {}
        });
    }
    ~NeverReadPipes() {
        rescue = {};
        for (int reader : readers) ::close(reader);
    }
    int readers[2] = {-1, -1};
    std::atomic<bool> rescued{false};
    std::jthread rescue;
};

// The program on two cables, run until the way out under test ends its loop (not runVorlinex,
// which would end it itself); after 90 s the loop ends with 99: a failure instead of a hang.
// Once the loop ends, the workers are joined, the ports closed and the logs off.
class Shutdown : public ::testing::Test {
protected:
    Shutdown() { dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath()}, 1)); }
    int run(const std::function<void(Vorlinex&, QWidget*)>& body, const BoxFunction& boxes = {}) {
        static char name[] = "vorlinex";
        static char* argv[] = {name, nullptr};
        return vorlinexMain(1, argv, [&](QWidget* window) {
            Vorlinex& v = vorlinexOf(window);
            whenLoopEnds(window, [&v] {
                const Relay& relay = v.app.relay;
                EXPECT_TRUE(v.shutdownStarted());
                EXPECT_FALSE(relay.relayChannel1.worker.joinable() || relay.relayChannel2.worker.joinable());
                EXPECT_FALSE(relay.serialPort1.isOpen() || relay.serialPort2.isOpen());
                EXPECT_EQ(relay.rateMeter.timerId.load() + relay.relayChannel1.logEnabled.load(), 0);
            });
            QTimer::singleShot(90000, qApp, [] { QCoreApplication::exit(99); });
            body(v, window);
        }, boxes);
    }
    void expectNoThreadLeft() { EXPECT_EQ(threadNames(), threadsBefore) << "a thread outlived the program"; }

    ScratchDir dir;
    PtyCable first, second;
    const std::string threadsBefore = threadNames();
};

class WaysOut : public Shutdown, public ::testing::WithParamInterface<ShutdownCase> {};

TEST_P(WaysOut, StopsAndJoinsBothWorkersClosesPortsAndLogsAndEndsTheLoopWithZero) {
    const ShutdownCase c = GetParam();
    recordBoxes();
    const std::string captured = randomBytes(5000, 3);
    std::optional<NeverReadPipes> pipes;
    if (c.worker == Worker::StalledCaptureReader) pipes.emplace(dir);
    EXPECT_EQ(run([&](Vorlinex& v, QWidget* window) {
        Relay& relay = v.app.relay;
        QTimer::singleShot(50, window, [&c, window] { c.pull(window); });
        ASSERT_TRUE(relay.relayChannel1.worker.joinable() && relay.relayChannel2.worker.joinable());
        ASSERT_EQ(v.app.captures.openCaptureLog(1, dir.file("capture.log")), 1);
        first.send(captured);
        ASSERT_EQ(second.receive(captured.size(), 10000), captured);
        if (c.worker == Worker::StalledDestination) fillUntilStalled(first);
        if (c.worker == Worker::MouseHeld) {
            relay.relayChannel1.displayMouseHeld = 1;
            relay.leftMouseButtonDown = 1;
            first.send("held");
        }
        if (c.worker == Worker::StalledCaptureReader) {
            ASSERT_EQ(v.app.captures.openCaptureLog(2, dir.file("pipe2")), 1);
            ASSERT_EQ(v.app.captures.combinedCapture.open(dir.file("pipe3")), 0);
            // Far more than the pipes hold: the relay goes on while the captures wait.
            for (int round = 0; round < 10; ++round) {
                const std::string bytes = randomBytes(8000, 30 + round);
                second.send(bytes);
                ASSERT_TRUE(first.receive(bytes.size(), 10000) == bytes) << "the relay stalled in round " << round;
            }
        }
    }, boxRecorder()), 0);
    if (pipes) {
        pipes->rescue = {};
        EXPECT_FALSE(pipes->rescued) << "the program waited for a reader that never reads";
    }
    expectNoThreadLeft();
    // Every byte that reached the other port is in the log, written out without a CLOSE.
    EXPECT_EQ(dir.read("capture.log").substr(0, captured.size()), captured);
    EXPECT_TRUE(recordedBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryWayOut, WaysOut, ::testing::ValuesIn(kWaysOut),
                         [](const auto& c) { return std::string(c.param.name); });

// SERIAL, port 1 moved to a COM name with no device, OK: SIGTERM arrives while the real
// "Com5 Open Error" box runs its loop. The shutdown runs inside that loop; the restart must not
// go on to open port 2 or start a worker once it has.
TEST_F(Shutdown, SigtermDuringARestartBoxOpensNothingAfterwards) {
    QString boxText;
    QTimer user;  // the user, then the session: acts on whichever modal window is up
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && boxText.isEmpty()) {
            boxText = box->text();
            ::kill(::getpid(), SIGTERM);
        } else if (auto* com1 = modal == nullptr ? nullptr : modal->findChild<QComboBox*>("2001")) {
            com1->setCurrentIndex(4);  // com5: nothing there
            // Queued: the box's loop must not run inside this timer's own call.
            QTimer::singleShot(0, modal, [modal] { modal->findChild<QPushButton*>("1")->click(); });
        }
    });
    EXPECT_EQ(run([&](Vorlinex& v, QWidget* window) {
        ASSERT_TRUE(v.app.relay.relayChannel1.worker.joinable() && v.app.relay.relayChannel2.worker.joinable());
        user.start(20);
        QTimer::singleShot(0, window, [&v] { v.mainMenuItem(600)->trigger(); });
    }), 0);
    user.stop();
    EXPECT_EQ(boxText, "Com5 Open Error");
    expectNoThreadLeft();
}

// Port 2's adapter is missing at the start and plugged in later; port 1's is pulled out and put
// back, then pulled out and, while SERIAL, OK runs its "Com1 Open Error" box, put back: the
// restart finishes first, then the port opens by itself. Each time the label, the status bar's
// first part and the relay follow without any user action, and the reconnect step rests while
// both ports are there. Last it goes away and comes back just as SIGTERM arrives.
TEST_F(Shutdown, AdaptersThatComeAndGoOpenByThemselvesAlsoDuringARestartAndTheShutdown) {
    PluggableCable adapter1(dir.file("ttyUSB0")), adapter2(dir.file("ttyUSB1"), false);
    dir.write("Vorlinex.ini", vorlinexIni({adapter1.path(), adapter2.path()}));
    std::vector<std::string> boxTexts;
    QTimer user;  // the user: OK in each box (once the adapter is back) and in the serial dialog
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->isVisible() && box->property("seen").isNull()) {
            box->setProperty("seen", true);
            boxTexts.push_back(box->text().toStdString());
            if (boxTexts.size() == 2) adapter1.plug();
            QTimer::singleShot(700, box, [box] { box->accept(); });  // steps would have run meanwhile
        } else if (modal != nullptr && modal->findChild<QComboBox*>("2001") != nullptr) {
            QTimer::singleShot(0, modal, [modal] { modal->findChild<QPushButton*>("1")->click(); });
        }
    });
    user.start(20);
    const auto relaysBothWays = [&](uint32_t seed) {
        const std::string a = randomBytes(2000, seed), b = randomBytes(3000, seed + 1);
        adapter1.device().send(a), adapter2.device().send(b);
        EXPECT_TRUE(adapter2.device().receive(a.size(), 10000) == a && adapter1.device().receive(b.size(), 10000) == b);
    };
    EXPECT_EQ(run([&](Vorlinex& v, QWidget* window) {
        const auto status = [window] { return window->findChild<QLabel*>(QStringLiteral("5001.0"))->text().toStdString(); };
        const auto shows = [&](const char* com1, const char* com2, const std::string& text) {
            EXPECT_TRUE(waitUntil([&] { return controlText(window, 1055) == com1 && controlText(window, 1056) == com2 && status() == text; }))
                << status();
        };
        auto* reconnect = window->findChild<QTimer*>(QStringLiteral("reconnect"));
        ASSERT_NE(reconnect, nullptr);
        adapter1.device().send(std::string(1234, 'x'));  // read, shown, not deliverable
        shows("COM1", "COM", "COM2: " + adapter2.path() + " unplugged, waiting; 1,234 bytes not delivered to COM2");
        adapter2.plug();
        shows("COM1", "COM2", "");
        EXPECT_TRUE(waitUntil([&] { return !reconnect->isActive(); }));
        relaysBothWays(5);
        adapter1.unplug();
        shows("COM", "COM2", "COM1: " + adapter1.path() + " unplugged, waiting");
        adapter1.plug();
        shows("COM1", "COM2", "");
        relaysBothWays(7);

        adapter1.unplug();
        shows("COM", "COM2", "COM1: " + adapter1.path() + " unplugged, waiting");
        v.mainMenuItem(600)->trigger();
        shows("COM1", "COM2", "");
        EXPECT_TRUE(eventuallyWorkers(1, 1));
        relaysBothWays(9);

        adapter1.unplug();
        ASSERT_TRUE(waitUntil([&] { return controlText(window, 1055) == "COM"; }));
        adapter1.plug();
        ::kill(::getpid(), SIGTERM);
    }), 0);
    user.stop();
    EXPECT_EQ(boxTexts, (std::vector<std::string>{"Com2 Open Error", "Com1 Open Error"}));
    expectNoThreadLeft();
}

}  // namespace

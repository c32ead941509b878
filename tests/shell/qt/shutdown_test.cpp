// Shutdown: END, Esc, the close box and the termination signals all end the program the same
// way: workers stopped and joined, ports closed, logs written out, exit code 0, also when a
// worker is stuck on a stalled line.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <stop_token>
#include <thread>

#include "capture/capture_log.h"
#include "capture/combined_log.h"
#include "relay/rate_meter.h"
#include "relay/relay_channel.h"
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

const ShutdownCase kWaysOut[] = {
    {"End", Worker::Relaying, [](QWidget*) { mainMenuItem(300)->trigger(); }},
    {"Escape_StalledDestination", Worker::StalledDestination, [](QWidget* window) {
         QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);  // to the focused button
         QApplication::sendEvent(window->findChild<QWidget*>("117"), &escape);
     }},
    {"CloseBox_MouseHeld", Worker::MouseHeld, [](QWidget* window) { window->close(); }},
    {"Sigterm_StalledDestination", Worker::StalledDestination, [](QWidget*) { ::kill(::getpid(), SIGTERM); }},
    {"Sigint", Worker::Relaying, [](QWidget*) { ::kill(::getpid(), SIGINT); }},
    {"End_StalledCaptureReader", Worker::StalledCaptureReader, [](QWidget*) { mainMenuItem(300)->trigger(); }},
    {"Sigterm_StalledCaptureReader", Worker::StalledCaptureReader, [](QWidget*) { ::kill(::getpid(), SIGTERM); }},
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
            while (!ended.stop_requested()) {
                for (int reader : readers) while (::read(reader, buffer, sizeof buffer) > 0) {}
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    // Whether the pipes had to be read for the program to end.
    bool finish() {
        rescue = {};
        return rescued;
    }
    ~NeverReadPipes() {
        finish();
        for (int reader : readers) ::close(reader);
    }
    int readers[2] = {-1, -1};
    std::atomic<bool> rescued{false};
    std::jthread rescue;
};

// The program on two cables, run until the way out under test ends its loop (not runVorlinex,
// which would end it itself); after 90 s the loop ends with 99: a failure instead of a hang.
class Shutdown : public ::testing::Test {
protected:
    Shutdown() { dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath()}, 1)); }
    ~Shutdown() override {
        // A worker left running would end the process in std::terminate, hiding the report.
        for (RelayChannel* channel : {&relayChannel1, &relayChannel2}) {
            if (channel->worker.joinable()) requestWorkerStop(*channel), joinRelayWorker(*channel);
        }
    }
    int run(const std::function<void(QWidget*)>& body) {
        static char name[] = "vorlinex";
        static char* argv[] = {name, nullptr};
        return vorlinexMain(1, argv, [&](QWidget* window) {
            QTimer::singleShot(90000, qApp, [] { QCoreApplication::exit(99); });
            body(window);
        });
    }
    void expectEverythingEnded() {
        EXPECT_FALSE(relayChannel1.worker.joinable() || relayChannel2.worker.joinable());
        EXPECT_FALSE(serialPort1.isOpen() || serialPort2.isOpen());
        EXPECT_EQ(threadNames(), threadsBefore) << "a thread outlived the program";
    }
    static bool bothWorkersRun() { return relayChannel1.worker.joinable() && relayChannel2.worker.joinable(); }

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
    EXPECT_EQ(run([&](QWidget* window) {
        QTimer::singleShot(50, window, [&c, window] { c.pull(window); });
        ASSERT_TRUE(bothWorkersRun());
        ASSERT_EQ(openCaptureLog(1, dir.file("capture.log")), 1);
        first.send(captured);
        ASSERT_EQ(second.receive(captured.size(), 10000), captured);
        if (c.worker == Worker::StalledDestination) fillUntilStalled(first);
        if (c.worker == Worker::MouseHeld) {
            relayChannel1.displayMouseHeld = 1;
            leftMouseButtonDown = 1;
            first.send("held");
        }
        if (c.worker == Worker::StalledCaptureReader) {
            ASSERT_EQ(openCaptureLog(2, dir.file("pipe2")), 1);
            ASSERT_EQ(combinedCapture.open(dir.file("pipe3")), 0);
            // Far more than the pipes hold: the relay goes on while the captures wait.
            for (int round = 0; round < 10; ++round) {
                const std::string bytes = randomBytes(8000, 30 + round);
                second.send(bytes);
                ASSERT_TRUE(first.receive(bytes.size(), 10000) == bytes) << "the relay stalled in round " << round;
            }
        }
    }), 0);
    if (pipes) {
        EXPECT_FALSE(pipes->finish()) << "the program waited for a reader that never reads";
    }
    EXPECT_TRUE(shutdownStarted());
    expectEverythingEnded();
    EXPECT_EQ(rateMeter.timerId.load(), 0);
    EXPECT_EQ(relayChannel1.logEnabled.load(), 0);
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
    EXPECT_EQ(run([&](QWidget* window) {
        ASSERT_TRUE(bothWorkersRun());
        user.start(20);
        QTimer::singleShot(0, window, [] { mainMenuItem(600)->trigger(); });
    }), 0);
    user.stop();
    EXPECT_EQ(boxText, "Com5 Open Error");
    expectEverythingEnded();
}

// Port 1's adapter is away; SERIAL, OK unchanged: its "Com1 Open Error" box is up when the adapter
// comes back. The restart finishes first, then the port opens by itself: one worker per channel,
// both directions relay. Then it goes away again and comes back just as SIGTERM arrives: the
// program ends as always, nothing outlives it.
TEST_F(Shutdown, AReplugDuringARestartAndDuringTheShutdownLeavesNothingBehind) {
    PluggableCable adapter1(dir.file("ttyUSB0")), adapter2(dir.file("ttyUSB1"));
    dir.write("Vorlinex.ini", vorlinexIni({adapter1.path(), adapter2.path()}));
    std::vector<std::string> boxTexts;
    QTimer user;  // the user: OK in the serial dialog, then OK in the box once the adapter is back
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && boxTexts.empty()) {
            boxTexts.push_back(box->text().toStdString());
            adapter1.plug();
            QTimer::singleShot(700, box, [box] { box->accept(); });  // steps would have run meanwhile
        } else if (modal != nullptr && modal->findChild<QComboBox*>("2001") != nullptr) {
            QTimer::singleShot(0, modal, [modal] { modal->findChild<QPushButton*>("1")->click(); });
        }
    });
    EXPECT_EQ(run([&](QWidget* window) {
        adapter1.unplug();
        ASSERT_TRUE(waitUntil([&] { return controlText(window, 1055) == "COM"; }));
        user.start(20);
        mainMenuItem(600)->trigger();
        user.stop();
        ASSERT_TRUE(waitUntil([&] { return controlText(window, 1055) == "COM1"; }));
        EXPECT_TRUE(eventuallyWorkers(1, 1));
        const std::string a = randomBytes(2000, 1), b = randomBytes(3000, 2);
        adapter1.device().send(a), adapter2.device().send(b);
        EXPECT_TRUE(adapter2.device().receive(a.size(), 10000) == a && adapter1.device().receive(b.size(), 10000) == b);

        adapter1.unplug();
        ASSERT_TRUE(waitUntil([&] { return controlText(window, 1055) == "COM"; }));
        adapter1.plug();
        ::kill(::getpid(), SIGTERM);
    }), 0);
    EXPECT_EQ(boxTexts, std::vector<std::string>{"Com1 Open Error"});
    expectEverythingEnded();
}

// The real program in a process of its own, relaying, ended by each termination signal.
TEST(ProgramShutdown, EndsWithExitCodeZeroOnSigtermAndSigint) {
    const char* path = std::getenv("VORLINEX_PROGRAM");
    ASSERT_NE(path, nullptr) << "VORLINEX_PROGRAM names the built program";
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(signalNumber));
        ScratchDir dir;
        PtyCable first, second;
        dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath()}));
        expectProgramRelaysAndEndsWithZero(QString::fromLocal8Bit(path), first, second, signalNumber);
    }
}

}  // namespace

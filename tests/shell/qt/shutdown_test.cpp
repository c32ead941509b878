// Shutdown: END, Esc, the close box and the termination signals all end the program the same
// way: workers stopped and joined, ports closed, logs written out, exit code 0, also when a
// worker is stuck on a stalled line.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "capture/capture_log.h"
#include "relay/rate_meter.h"
#include "relay/relay_channel.h"
#include "tests/shell/qt/shell_harness.h"

extern char** environ;

namespace {

// The names of the process's threads.
std::multiset<std::string> threadNames() {
    std::multiset<std::string> names;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            // Qt's own thread pool keeps idle threads for a while; they are not the program's.
            if (name != "Thread (pooled)") names.insert(name);
        }
        closedir(tasks);
    }
    return names;
}

std::string joined(const std::multiset<std::string>& names) {
    std::string out;
    for (const std::string& n : names) out += "[" + n + "]";
    return out;
}

// Writes into the device end of a cable until the line takes nothing more for a while: the
// program's worker is then stuck writing to a destination that nobody reads.
void fillUntilStalled(PtyCable& cable) {
    const std::string chunk(4096, 'x');
    auto lastProgress = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - lastProgress < std::chrono::milliseconds(1500)) {
        const ssize_t n = ::write(cable.master(), chunk.data(), chunk.size());
        if (n > 0) {
            lastProgress = std::chrono::steady_clock::now();
        } else {
            pollfd p{cable.master(), POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

enum class Trigger { End, Escape, CloseBox, Terminate, Interrupt };

const char* triggerName(Trigger t) {
    switch (t) {
        case Trigger::End: return "End";
        case Trigger::Escape: return "Escape";
        case Trigger::CloseBox: return "CloseBox";
        case Trigger::Terminate: return "Sigterm";
        case Trigger::Interrupt: return "Sigint";
    }
    return "?";
}

void pull(Trigger trigger, QWidget* window) {
    switch (trigger) {
        case Trigger::End:
            mainMenuItem(300)->trigger();
            break;
        case Trigger::Escape: {
            // Sent to the focused button; the dialog keyboard handling of the window takes it.
            QWidget* target = window->findChild<QWidget*>("117");
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(target, &press);
            break;
        }
        case Trigger::CloseBox:
            window->close();
            break;
        case Trigger::Terminate:
            ::kill(::getpid(), SIGTERM);
            break;
        case Trigger::Interrupt:
            ::kill(::getpid(), SIGINT);
            break;
    }
}

enum class Worker { Relaying, StalledDestination, MouseHeld };

struct ShutdownCase {
    Trigger trigger;
    Worker worker;
};

void PrintTo(const ShutdownCase& c, std::ostream* os) {
    *os << triggerName(c.trigger) << " worker " << static_cast<int>(c.worker);
}

std::string shutdownCaseName(const ::testing::TestParamInfo<ShutdownCase>& info) {
    static const char* const worker[] = {"Relaying", "StalledDestination", "MouseHeld"};
    return std::string(triggerName(info.param.trigger)) + "_" +
           worker[static_cast<int>(info.param.worker)];
}

class Shutdown : public ::testing::TestWithParam<ShutdownCase> {};

TEST_P(Shutdown, StopsAndJoinsBothWorkersClosesPortsAndLogsAndEndsTheLoopWithZero) {
    const ShutdownCase c = GetParam();
    ScratchDir dir;
    PtyCable first;
    PtyCable second;
    dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath()}, 1));
    recordBoxes();
    const auto threadsBefore = threadNames();
    const std::string captured = randomBytes(5000, 3);

    static char name[] = "vorlinex";
    static char* argv[] = {name, nullptr};
    const int code = vorlinexMain(1, argv, [&](QWidget* window) {
        ASSERT_TRUE(relayChannel1.worker.joinable());
        ASSERT_TRUE(relayChannel2.worker.joinable());
        ASSERT_EQ(openCaptureLog(1, dir.file("capture.log")), 1);
        first.send(captured);
        ASSERT_EQ(second.receive(captured.size(), 10000), captured);
        if (c.worker == Worker::StalledDestination) {
            fillUntilStalled(first);
        } else if (c.worker == Worker::MouseHeld) {
            relayChannel1.displayMouseHeld = 1;
            leftMouseButtonDown = 1;
            first.send("held");
        }
        // Pulled from inside the running message loop, as a user or the session would.
        QTimer::singleShot(50, window, [&c, window] { pull(c.trigger, window); });
        // Only if the program never ends its loop: a failure instead of a hung test.
        QTimer::singleShot(90000, qApp, [] { QCoreApplication::exit(99); });
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(shutdownStarted());
    EXPECT_FALSE(relayChannel1.worker.joinable());
    EXPECT_FALSE(relayChannel2.worker.joinable());
    EXPECT_FALSE(serialPort1.isOpen());
    EXPECT_FALSE(serialPort2.isOpen());
    EXPECT_EQ(rateMeter.timerId.load(), 0);
    EXPECT_EQ(relayChannel1.logEnabled.load(), 0);
    EXPECT_EQ(joined(threadNames()), joined(threadsBefore)) << "a thread outlived the program";
    // Every byte that reached the other port is in the log, written out without a CLOSE.
    const std::string log = dir.read("capture.log");
    ASSERT_GE(log.size(), captured.size());
    EXPECT_EQ(log.substr(0, captured.size()), captured);
    EXPECT_TRUE(recordedBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryWayOut, Shutdown,
    ::testing::Values(ShutdownCase{Trigger::End, Worker::Relaying},
                      ShutdownCase{Trigger::Escape, Worker::Relaying},
                      ShutdownCase{Trigger::CloseBox, Worker::Relaying},
                      ShutdownCase{Trigger::Terminate, Worker::Relaying},
                      ShutdownCase{Trigger::Interrupt, Worker::Relaying},
                      ShutdownCase{Trigger::Escape, Worker::StalledDestination},
                      ShutdownCase{Trigger::Terminate, Worker::StalledDestination},
                      ShutdownCase{Trigger::End, Worker::MouseHeld}),
    shutdownCaseName);

TEST(Shutdown, CommandsAfterShutdownAreIgnoredAndASecondShutdownDoesNothing) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}));
    recordBoxes();
    const int code = runVorlinex([&](QWidget*) {
        recordedBoxes().clear();
        shutdownVorlinex();
        shutdownVorlinex();
        mainMenuItem(40003)->trigger();  // would show a box: there is no help page here
        mainMenuItem(40008)->trigger();
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(recordedBoxes().empty());
}

// Without a recorder the program shows real boxes. A termination signal that arrives while a
// start-up box waits for the user ends the box and the program: nothing more is opened or shown.
TEST(Shutdown, ASignalDuringAStartUpBoxEndsTheProgramBeforeTheWindowIsShown) {
    ScratchDir dir;
    PtyCable second;
    dir.write("Vorlinex.ini", vorlinexIni({"", second.slavePath()}));
    QString boxText, boxTitle;
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    bool boxHadParent = true;
    // Polls for the box from inside its own event loop, then sends the signal.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        poll.stop();
        boxText = box->text();
        boxTitle = box->windowTitle();
        boxIcon = box->icon();
        boxHadParent = box->parentWidget() != nullptr;
        ::kill(::getpid(), SIGTERM);
    });
    poll.start(20);
    // Only if the signal does not end the box: close it, and the test fails below.
    QTimer::singleShot(60000, qApp, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    });
    bool shown = false;
    static char name[] = "vorlinex";
    static char* argv[] = {name, nullptr};
    const int code = vorlinexMain(1, argv, [&](QWidget*) { shown = true; });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(boxText, "Com1 Open Error");
    EXPECT_EQ(boxTitle, "Vorlinex");
    EXPECT_EQ(boxIcon, QMessageBox::Critical);
    EXPECT_FALSE(boxHadParent);
    EXPECT_TRUE(shutdownStarted());
    EXPECT_FALSE(shown);
    EXPECT_FALSE(serialPort2.isOpen()) << "port 2 must not be opened after the shutdown";
    EXPECT_FALSE(relayChannel2.worker.joinable());
    EXPECT_EQ(rateMeter.timerId.load(), 0);
}

// The real program in a process of its own.
class Program {
public:
    explicit Program(const std::string& path) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0) env.emplace_back(*e);
        }
        env.emplace_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> envp;
        for (std::string& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::string program = path;
        char* argv[] = {program.data(), nullptr};
        if (posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv, envp.data()) != 0) pid_ = -1;
    }
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    void signal(int number) const { ::kill(pid_, number); }
    // The wait status once the process has ended; -1 if it did not end in generous time.
    int waitForEnd(int timeoutMs = 60000) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
};

struct ProgramCase {
    int signalNumber;
    bool stalled;
};

void PrintTo(const ProgramCase& c, std::ostream* os) {
    *os << strsignal(c.signalNumber) << (c.stalled ? " stalled" : "");
}

class ProgramShutdown : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramShutdown, EndsWithExitCodeZeroOnATerminationSignal) {
    const char* path = std::getenv("VORLINEX_PROGRAM");
    ASSERT_NE(path, nullptr) << "VORLINEX_PROGRAM names the built program";
    ScratchDir dir;
    PtyCable first;
    PtyCable second;
    dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath()}));
    Program program(path);
    ASSERT_TRUE(program.started());

    // Bytes sent before the program opened its ports are purged by the opening, so the device
    // keeps calling until the first bytes come through: start-up is then over.
    bool relaying = false;
    for (int attempt = 0; attempt < 60 && !relaying; ++attempt) {
        first.send("ping");
        relaying = !second.receive(4, 1000).empty();
    }
    ASSERT_TRUE(relaying) << "the program never relayed";
    second.receiveUntilQuiet(300);
    const std::string there = "ping from device 1";
    first.send(there);
    EXPECT_EQ(second.receive(there.size(), 30000), there);
    const std::string back = "pong from device 2";
    second.send(back);
    EXPECT_EQ(first.receive(back.size(), 30000), back);
    if (GetParam().stalled) fillUntilStalled(first);

    program.signal(GetParam().signalNumber);
    const int status = program.waitForEnd();
    ASSERT_NE(status, -1) << "the program did not end";
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(RealProgram, ProgramShutdown,
                         ::testing::Values(ProgramCase{SIGTERM, false}, ProgramCase{SIGINT, false},
                                           ProgramCase{SIGTERM, true}),
                         [](const auto& info) {
                             return std::string(info.param.signalNumber == SIGTERM ? "Sigterm"
                                                                                   : "Sigint") +
                                    (info.param.stalled ? "_StalledDestination" : "");
                         });

}  // namespace

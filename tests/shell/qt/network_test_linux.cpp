// The window with a port on the network (what such a port carries, loses and gets back is the
// relay's tests'): the line settings of SERIAL > OK over the connection it has, to Debian's
// ser2net on 127.0.0.1; a refused connect told once while the window stays responsive; and
// SIGTERM during a connect.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <fstream>
#include <sstream>

#include "settings/qt/serial_dialog.h"
#include "tests/shell/qt/shell_harness.h"
#include "tests/support/serial_servers.h"

namespace {

// Generous: the machine may be busy with several builds at once.
constexpr int kWaitMs = 30000;

std::string rfc2217Path(uint16_t port) { return "rfc2217://127.0.0.1:" + std::to_string(port); }
std::string tcpPath(uint16_t port) { return "tcp://127.0.0.1:" + std::to_string(port); }

// A listener whose accept queue is full: the kernel drops the SYNs of further connects, so a
// connect to it neither succeeds nor fails until its own time-out: an address that never
// answers, made on this machine (the sandbox's addresses for that answer at once).
struct SilentListener {
    int listener = -1;
    std::vector<int> fillers;
    SilentListener() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener, 0), 0);
        socklen_t length = sizeof addr;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
        port = ntohs(addr.sin_port);
        for (int i = 0; i < 4; ++i) {
            fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        }
    }
    ~SilentListener() {
        for (int fd : fillers) ::close(fd);
        ::close(listener);
    }
    uint16_t port = 0;
};

// A port of 127.0.0.1 bound but not listening: a connect there is refused. listen() opens it.
struct ClosedPort {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    ClosedPort() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t length = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
        port = ntohs(addr.sin_port);
    }
    ~ClosedPort() { ::close(fd); }
};

// How many sockets of this machine are connecting or connected to 127.0.0.1:`port` (TIME-WAIT
// and the listener itself left out).
size_t socketsTo(uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    size_t n = 0;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (remote == wanted && state != "06") ++n;
    }
    return n;
}

// The program on a COM1 and a COM2 given by the test (the `first` and `second` cables are the
// far devices, behind a server or local); at its end no thread of it is left.
class NetworkPorts : public ProgramOnCables {
protected:
    void SetUp() override { SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer); }
    void TearDown() override {
        // A connect's thread is let go rather than waited for; cancelled, it ends by itself.
        EXPECT_TRUE(eventually([&] { return threadNames() == threadsBefore; })) << "a thread outlived the program";
    }
    void devices(const std::string& com1, const std::string& com2) { dir.write("Vorlinex.ini", vorlinexIni({com1, com2})); }

    static QLabel* status(QWidget* window) { return window->findChild<QLabel*>(statusPartName(0)); }
    // Waits until both labels and the status bar read so; what they read when that never came.
    // An exchange must not follow a failure: a far device whose server never opened it blocks.
    static ::testing::AssertionResult shows(QWidget* window, const char* com1, const char* com2, const std::string& text) {
        if (waitUntil([&] {
            return controlText(window, kMainCom1) == com1 && controlText(window, kMainCom2) == com2 &&
                   status(window)->text().toStdString() == text;
        }, kWaitMs))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << controlText(window, kMainCom1).toStdString() << " "
                                             << controlText(window, kMainCom2).toStdString() << " ["
                                             << status(window)->text().toStdString() << "] wanted [" << text << "]";
    }

    const std::multiset<std::string> threadsBefore = threadNames();
};

// ---- Settings ----

// SERIAL > OK with 19200 baud, 7 data bits, even parity and 2 stop bits for COM1: the connection
// stays, the server answers each new setting (what a server does with them is its own), and the
// port relays on.
TEST_F(NetworkPorts, SerialOkSendsTheNewSettingsOverTheSameConnectionAndTheServerAnswersThem) {
    Ser2netServer server(first.slavePath());
    ASSERT_TRUE(server.start()) << server.error();
    devices(rfc2217Path(server.rfc2217Port()), second.slavePath());
    bool dialogSeen = false;
    QTimer user;  // chooses in the serial dialog and presses OK
    QObject::connect(&user, &QTimer::timeout, [&] {
        auto* dialog = dynamic_cast<SerialDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || dialogSeen) return;
        dialogSeen = true;
        const std::pair<int, const char*> choices[] = {
            {kSerialBps1, "19200"}, {kSerialBits1, "7"}, {kSerialParity1, "even"}, {kSerialStop1, "2"}};
        for (const auto& [id, text] : choices) {
            QComboBox* combo = dialog->combo(id);
            ASSERT_NE(combo, nullptr);
            const int at = combo->findText(QString::fromLatin1(text));
            ASSERT_GE(at, 0) << text;
            combo->setCurrentIndex(at);
        }
        QTimer::singleShot(0, dialog, [dialog] { click(dialog, kSerialOk); });
    });
    user.start(20);
    run([&](Vorlinex& v, QWidget* window) {
        SerialPort& port1 = v.app.relay.serialPort1;
        ASSERT_TRUE(shows(window, "COM1", "COM2", ""));
        ASSERT_TRUE(waitUntil([&] { return port1.connection()->readBack().baudAnswered; }, kWaitMs));
        const NetworkPort* connection = port1.connection();

        v.mainMenuItem(kCommandSerial)->trigger();
        EXPECT_TRUE(dialogSeen);
        EXPECT_EQ(port1.connection(), connection) << "the connection was made anew";
        EXPECT_TRUE(waitUntil([&] {
            const NetworkReadBack r = port1.connection()->readBack();
            return r.dataBitsAnswered && r.parityAnswered && r.stopBitsAnswered && r.baudAnswered && r.asked.dataBits == 7;
        }, kWaitMs));
        const NetworkReadBack r = port1.connection()->readBack();
        EXPECT_EQ(r.baudRate, 19200u);
        EXPECT_EQ(r.dataBits, 7);
        EXPECT_EQ(r.parity, 2);
        EXPECT_TRUE(r.twoStopBits);
        EXPECT_EQ(socketsTo(server.rfc2217Port()), 1u) << "one connection to the server";
        ASSERT_TRUE(shows(window, "COM1", "COM2", ""));
        expectRelaysBothWays(first, second, 5);
    });
    user.stop();
    EXPECT_TRUE(recordedBoxes().empty());
}

// ---- Connects that do not succeed ----

// Counts the ticks of a 20 ms timer of the test's own: the window's event loop runs meanwhile.
struct Ticker {
    QTimer timer;
    int ticks = 0;
    Ticker() {
        QObject::connect(&timer, &QTimer::timeout, [this] { ++ticks; });
        timer.start(20);
    }
};

// Nothing listens: the box once, the status bar while it retries, the window responsive all
// along; once the port listens, the program connects by itself (raw TCP: no line settings).
TEST_F(NetworkPorts, RefusedConnectIsToldOnceRetriedWithoutFreezingAndConnectsOnceThePortListens) {
    ClosedPort closed;
    const std::string path = tcpPath(closed.port);
    devices(path, second.slavePath());
    Ticker ticker;
    run([&](Vorlinex& v, QWidget* window) {
        const int ticksAtStart = ticker.ticks;
        ASSERT_TRUE(shows(window, "COM", "COM2", "COM1: " + path + " not reachable: connection refused, retrying"));
        const std::string box = "Com1 Open Error\n" + path + " not reachable: connection refused (it is tried again until it answers)";
        EXPECT_TRUE(waitUntil([&] { return !recordedBoxes().empty(); }, kWaitMs));
        // Several retries (500 ms, then 1 s, 2 s...): still one box, the window ticking.
        EXPECT_TRUE(waitUntil([&] { return v.app.relay.serialPort1.networkRetry.connectFailures >= 4; }, kWaitMs));
        EXPECT_GT(ticker.ticks - ticksAtStart, 20) << "the window's loop stood still";
        ASSERT_EQ(recordedBoxes().size(), 1u);
        EXPECT_EQ(recordedBoxes()[0].text, box);
        EXPECT_EQ(controlText(window, kMainCom1), "COM");
        // COM2's direction goes on meanwhile: its bytes are read and counted for COM1.
        second.send("meanwhile");
        EXPECT_TRUE(waitUntil([&] { return status(window)->text().endsWith("9 bytes not delivered to COM1"); }, kWaitMs))
            << status(window)->text().toStdString();

        ASSERT_EQ(::listen(closed.fd, 8), 0);
        ASSERT_TRUE(shows(window, "COM1", "COM2", "COM1: tcp:// carries no line settings"));
        EXPECT_EQ(socketsTo(closed.port), 1u);
    });
    EXPECT_EQ(recordedBoxes().size(), 1u);
}

// ---- Shutdown ----

// SIGTERM while COM1 connects to an address that never answers: the loop ends with 0 without
// waiting for the connect, whose thread lets its socket go; no thread is left (TearDown).
TEST_F(NetworkPorts, SigtermDuringAConnectEndsTheProgramAndLetsTheConnectGo) {
    SilentListener silent;
    const std::string path = rfc2217Path(silent.port);
    devices(path, second.slavePath());
    std::string statusAtQuit;
    run([&](Vorlinex& v, QWidget* window) {
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, window, [&, window] { statusAtQuit = status(window)->text().toStdString(); });
        ASSERT_TRUE(shows(window, "COM", "COM2", "COM1: " + path + " connecting"));
        EXPECT_TRUE(eventually([&] { return socketsTo(silent.port) == silent.fillers.size() + 1; }));
        EXPECT_TRUE(v.app.relay.serialPort1.networkRetry.connector != nullptr);
        ::kill(::getpid(), SIGTERM);
    }, true);
    EXPECT_EQ(statusAtQuit, "COM1: " + path + " connecting") << "the program waited for the connect to end";
    EXPECT_TRUE(eventually([&] { return socketsTo(silent.port) == silent.fillers.size(); })) << "the connect's socket was kept";
    EXPECT_TRUE(recordedBoxes().empty());
}

}  // namespace

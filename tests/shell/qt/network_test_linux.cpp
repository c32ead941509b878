// The window with a port on the network (what such a port carries, loses and gets back is the
// relay's tests', how it is told headless_test's): the line settings of SERIAL > OK over the
// connection it has, to Debian's ser2net on 127.0.0.1.

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

// Both labels on and the status bar empty: the port to the server is open and relays.
bool bothOpen(QWidget* window) {
    return waitUntil([&] {
        return controlText(window, kMainCom1) == "COM1" && controlText(window, kMainCom2) == "COM2" &&
               window->findChild<QLabel*>(statusPartName(0))->text().isEmpty();
    }, kWaitMs);
}

// SERIAL > OK with 19200 baud, 7 data bits, even parity and 2 stop bits for COM1: the connection
// stays, the server answers each new setting (what a server does with them is its own), and the
// port relays on; at the program's end no thread of it is left.
TEST_F(ProgramOnCables, SerialOkSendsTheNewSettingsOverTheSameConnectionAndTheServerAnswersThem) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    Ser2netServer server(first.slavePath());
    ASSERT_TRUE(server.start()) << server.error();
    const std::multiset<std::string> threadsBefore = threadNames();
    dir.write("Vorlinex.ini", vorlinexIni({rfc2217Path(server.rfc2217Port()), second.slavePath()}));
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
        ASSERT_TRUE(bothOpen(window));
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
        ASSERT_TRUE(bothOpen(window));
        expectRelaysBothWays(first, second, 5);
    });
    user.stop();
    EXPECT_TRUE(recordedBoxes().empty());
    EXPECT_TRUE(eventually([&] { return threadNames() == threadsBefore; })) << "a thread outlived the program";
}

}  // namespace

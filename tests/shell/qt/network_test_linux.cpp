// The window with a port on the network (what such a port carries, loses and gets back is the
// relay's tests', how it is told headless_test's): the line settings of SERIAL > OK over the
// connection it has, to Debian's ser2net on 127.0.0.1.
#include <QComboBox>

#include "settings/qt/serial_dialog.h"
#include "tests/shell/qt/shell_harness.h"
#include "tests/support/serial_servers.h"

namespace {

// SERIAL > OK with 19200 baud, 7 data bits, even parity and 2 stop bits for COM1: the connection
// stays, the server answers each new setting (what a server does with them is its own), and the
// port relays on; at the program's end no thread of it is left.
TEST_F(ProgramOnCables, SerialOkSendsTheNewSettingsOverTheSameConnectionAndTheServerAnswersThem) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    Ser2netServer server(first.slavePath());
    ASSERT_TRUE(server.start()) << server.error();
    const std::multiset<std::string> threadsBefore = threadNames();
    dir.write("Vorlinex.ini", vorlinexIni({"rfc2217://127.0.0.1:" + std::to_string(server.rfc2217Port()), second.slavePath()}));
    bool dialogSeen = false;
    QTimer user;  // chooses in the serial dialog and presses OK
    QObject::connect(&user, &QTimer::timeout, [&] {
        auto* dialog = dynamic_cast<SerialDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || std::exchange(dialogSeen, true)) return;
        for (const auto& [id, text] : {std::pair(kSerialBps1, "19200"), {kSerialBits1, "7"}, {kSerialParity1, "even"}, {kSerialStop1, "2"}}) {
            QComboBox* combo = dialog->combo(id);
            ASSERT_TRUE(combo && combo->findText(QString::fromLatin1(text)) >= 0) << text;
            combo->setCurrentIndex(combo->findText(QString::fromLatin1(text)));
        }
        QTimer::singleShot(0, dialog, [dialog] { click(dialog, kSerialOk); });
    });
    user.start(20);
    run([&](Vorlinex& v, QWidget* window) {
        SerialPort& port1 = v.app.relay.serialPort1;
        const auto bothOpen = [&] {  // both labels on and the status bar empty: the port to the server is open and relays
            return waitUntil([&] {
                return controlText(window, kMainCom1) == "COM1" && controlText(window, kMainCom2) == "COM2" &&
                       window->findChild<QLabel*>(statusPartName(0))->text().isEmpty();
            }, 30000);
        };
        ASSERT_TRUE(bothOpen());
        ASSERT_TRUE(waitUntil([&] { return port1.connection()->readBack().baudAnswered; }, 30000));
        const NetworkPort* connection = port1.connection();
        v.mainMenuItem(kCommandSerial)->trigger();
        EXPECT_TRUE(dialogSeen);
        EXPECT_EQ(port1.connection(), connection) << "the connection was made anew";
        EXPECT_TRUE(waitUntil([&] {
            const NetworkReadBack r = port1.connection()->readBack();
            return r.dataBitsAnswered && r.parityAnswered && r.stopBitsAnswered && r.baudAnswered && r.asked.dataBits == 7;
        }, 30000));
        const NetworkReadBack r = port1.connection()->readBack();
        EXPECT_TRUE(r.baudRate == 19200u && r.dataBits == 7 && r.parity == 2 && r.twoStopBits)
            << r.baudRate << " " << r.dataBits << " " << r.parity << " " << r.twoStopBits;
        ASSERT_TRUE(bothOpen());
        expectRelaysBothWays(first, second, 5);
    });
    user.stop();
    EXPECT_TRUE(recordedBoxes().empty());
    EXPECT_TRUE(eventually([&] { return threadNames() == threadsBefore; })) << "a thread outlived the program";
}

}  // namespace

// The network port against a real serial server, Debian's ser2net on 127.0.0.1 serving a pty
// whose master the test holds as the device: the settings reach the device and come back as the
// read-back, the data crosses both ways exactly, and a device the server cannot open is told as
// the server's message, not as data.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "relay/network_port.h"
#include "relay/serial_termios_linux.h"
#include "tests/support/network_test_data.h"
#include "tests/support/pty_cable.h"
#include "tests/support/serial_servers.h"
#include "tests/support/test_socket.h"

namespace {

// A port connected to ser2net's Com Port Control side, serving `device`.
struct Served {
    explicit Served(const std::string& device) : server(device) {}
    bool connect() {
        if (!server.start()) return false;
        TestSocket client = connectLocal(server.rfc2217Port());
        if (!client.valid()) return false;
        port = std::make_unique<NetworkPort>(client.release(), NetworkScheme::Rfc2217);
        return true;
    }
    Ser2netServer server;
    std::unique_ptr<NetworkPort> port;
};

}  // namespace

TEST(Ser2net, TheSettingsReachTheDeviceAndTheAnswersAreTheReadBack) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    PtyCable device;
    Served s(device.slavePath());
    ASSERT_TRUE(s.connect()) << s.server.error();
    NetworkLineSettings settings;
    settings.baudRate = 57600;
    settings.twoStopBits = true;
    ASSERT_EQ(s.port->start(settings), 0);
    EXPECT_EQ(readPortUntil(*s.port, [&](const std::string&) {
                  const NetworkReadBack rb = s.port->readBack();
                  return rb.baudAnswered && rb.stopBitsAnswered;
              }),
              "");
    const NetworkReadBack rb = s.port->readBack();
    ASSERT_TRUE(rb.baudAnswered && rb.stopBitsAnswered) << s.server.log();
    EXPECT_EQ(rb.baudRate, 57600u);
    EXPECT_TRUE(rb.twoStopBits);
    EXPECT_FALSE(rb.differs());
    LineSettings held;
    ASSERT_EQ(readLineSettings(device.master(), held), 0);
    EXPECT_EQ(held.baudRate, 57600u);
    EXPECT_TRUE(held.twoStopBits);
}

TEST(Ser2net, DataWithManyIacBytesCrossesBothWaysExactly) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    PtyCable device;
    Served s(device.slavePath());
    ASSERT_TRUE(s.connect()) << s.server.error();
    ASSERT_EQ(s.port->start(NetworkLineSettings{}), 0);
    const std::string toDevice = escapeHeavy(20000, 21) + "\xff", fromDevice = escapeHeavy(20000, 22) + "\xff";
    std::thread writer([&] {
        for (size_t at = 0; at < toDevice.size() && !s.port->lost();) {
            const ssize_t w = s.port->writeData(reinterpret_cast<const uint8_t*>(toDevice.data()) + at, toDevice.size() - at);
            if (w > 0) at += static_cast<size_t>(w);
            else waitPortRoom(*s.port, 100);
        }
        while (s.port->outputQueued() > 0 && !s.port->lost()) {
            s.port->flush();
            waitPortRoom(*s.port, 10);
        }
    });
    const std::string atDevice = device.receive(toDevice.size(), 10000);
    writer.join();
    EXPECT_TRUE(atDevice == toDevice) << "the device got " << atDevice.size() << " of " << toDevice.size();
    std::thread sender([&] { device.send(fromDevice); });
    const std::string got = readPortUntil(*s.port, atLeast(fromDevice.size()));
    sender.join();
    EXPECT_TRUE(got == fromDevice) << "the port got " << got.size() << " of " << fromDevice.size();
    EXPECT_FALSE(s.port->lost());
}

// ser2net still accepts and negotiates, then sends its complaint as plain data and closes.
TEST(Ser2net, ADeviceTheServerCannotOpenIsItsMessageNotData) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    Served s("/dev/vorlinex-no-such-device");
    ASSERT_TRUE(s.connect()) << s.server.error();
    ASSERT_EQ(s.port->start(NetworkLineSettings{}), 0);
    EXPECT_EQ(readPortUntil(*s.port, never), "");
    EXPECT_EQ(s.port->loss(), NetworkLoss::ServerMessage);
    EXPECT_NE(s.port->serverMessage().find("Device open failure"), std::string::npos) << s.port->serverMessage();
}

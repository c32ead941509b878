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
#include "tests/support/serial_servers.h"

namespace {

// A port connected to ser2net's Com Port Control side serving `device`, started with `settings`.
std::unique_ptr<NetworkPort> connectThrough(Ser2netServer& server, const NetworkLineSettings& settings) {
    if (!server.start()) return nullptr;
    TestSocket client = connectLocal(server.rfc2217Port());
    if (!client.valid()) return nullptr;
    auto port = std::make_unique<NetworkPort>(client.release(), NetworkScheme::Rfc2217);
    EXPECT_EQ(port->start(settings), 0);
    return port;
}

}  // namespace

TEST(Ser2net, TheSettingsReachTheDeviceComeBackAsTheReadBackAndDataCrossesBothWaysExactly) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    PtyCable device;
    Ser2netServer server(device.slavePath());
    NetworkLineSettings settings;
    settings.baudRate = 57600;
    settings.twoStopBits = true;
    const auto port = connectThrough(server, settings);
    ASSERT_TRUE(port) << server.error();
    const auto answered = [&](const std::string&) { return port->readBack().baudAnswered && port->readBack().stopBitsAnswered; };
    EXPECT_EQ(readPortUntil(*port, answered), "");
    const NetworkReadBack rb = port->readBack();
    ASSERT_TRUE(rb.baudAnswered && rb.stopBitsAnswered) << server.log();
    EXPECT_EQ(rb.baudRate, 57600u);
    EXPECT_TRUE(rb.twoStopBits);
    EXPECT_FALSE(rb.differs());
    LineSettings held;
    ASSERT_EQ(readLineSettings(device.master(), held), 0);
    EXPECT_EQ(held.baudRate, 57600u);
    EXPECT_TRUE(held.twoStopBits);

    const std::string toDevice = escapeHeavy(20000, 21) + "\xff", fromDevice = escapeHeavy(20000, 22) + "\xff";
    std::thread writer([&] { writeAll(*port, toDevice); });
    const std::string atDevice = device.receive(toDevice.size(), 10000);
    writer.join();
    EXPECT_TRUE(atDevice == toDevice) << "the device got " << atDevice.size() << " of " << toDevice.size();
    std::thread sender([&] { device.send(fromDevice); });
    const std::string got = readPortUntil(*port, atLeast(fromDevice.size()));
    sender.join();
    EXPECT_TRUE(got == fromDevice) << "the port got " << got.size() << " of " << fromDevice.size();
    EXPECT_FALSE(port->lost());
}

// ser2net still accepts and negotiates, then sends its complaint as plain data and closes.
TEST(Ser2net, ADeviceTheServerCannotOpenIsItsMessageNotData) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    Ser2netServer server("/dev/vorlinex-no-such-device");
    const auto port = connectThrough(server, {});
    ASSERT_TRUE(port) << server.error();
    EXPECT_EQ(readPortUntil(*port, never), "");
    EXPECT_EQ(port->loss(), NetworkLoss::ServerMessage);
    EXPECT_NE(port->serverMessage().find("Device open failure"), std::string::npos) << port->serverMessage();
}

// The network port against Debian's ser2net serving a pty the test holds: the settings reach the device and come
// back as the read-back. (A device the server cannot open: network_port_test, with the server's own words.)
#include <gtest/gtest.h>

#include "relay/serial_termios_linux.h"
#include "tests/support/network_test_data.h"
#include "tests/support/serial_servers.h"

TEST(Ser2net, TheSettingsReachTheDeviceAndComeBackAsTheReadBack) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    PtyCable device;
    Ser2netServer server(device.slavePath());
    ASSERT_TRUE(server.start()) << server.error();
    TestSocket client = connectLocal(server.rfc2217Port());
    ASSERT_TRUE(client.valid());
    NetworkPort port(client.release(), NetworkScheme::Rfc2217);
    ASSERT_EQ(port.start({57600, 8, 0, true}), 0);
    const auto answered = [&] { return port.readBack().baudAnswered && port.readBack().stopBitsAnswered; };
    EXPECT_EQ(readPortUntil(port, 0, answered), "");
    const NetworkReadBack rb = port.readBack();
    ASSERT_TRUE(rb.baudAnswered && rb.stopBitsAnswered) << server.log();
    EXPECT_TRUE(rb.baudRate == 57600u && rb.twoStopBits && !rb.differs());
    LineSettings held;
    ASSERT_EQ(readLineSettings(device.master(), held), 0);
    EXPECT_TRUE(held.baudRate == 57600u && held.twoStopBits) << held.baudRate;
}

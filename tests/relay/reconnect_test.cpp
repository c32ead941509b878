// Unplugged adapters and their return, on pseudo-terminals behind symbolic links; the test takes
// the reconnect steps that the program's timer takes.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "relay/port_reconnect.h"
#include "relay/relay_channel.h"
#include "settings/config.h"
#include "tests/support/pty_cable.h"

namespace {

using namespace std::chrono_literals;

// Takes reconnect steps every 50 ms until the condition holds (10 s at most).
bool eventuallyStepping(const std::function<bool()>& condition) {
    for (auto giveUp = std::chrono::steady_clock::now() + 10s; !condition(); std::this_thread::sleep_for(50ms)) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        reconnectPorts();
    }
    return true;
}

class Reconnect : public ::testing::Test {
protected:
    // Port 2's adapter may be missing at start-up.
    void start(bool port2Plugged = true) {
        if (!port2Plugged) adapter2.unplug();
        dir.write("Vorlinex.ini", "[DATA1]\nCOM=0\nBPS=115200\nBIT=8\n[DATA2]\nCOM=1\nBPS=115200\nBIT=8\n" +
                                      devicesSection({adapter1.path(), adapter2.path(), "", "", "", ""}));
        loadConfig();
        for (auto [port, channel] : {std::pair{&serialPort1, &relayChannel1}, std::pair{&serialPort2, &relayChannel2}}) {
            if (openPort(portDeviceNameAt(port->settings.comIndex), *port) != PortOpened) continue;
            configurePort(*port);
            startRelayWorker(*channel);
        }
    }
    void TearDown() override { stopRelayAndClosePorts(); }
    static bool back(const SerialPort& port) { return port.isOpen() && port.presence.load() == PortPresent; }
    static bool away(const SerialPort& port) { return !port.isOpen() && port.presence.load() == PortAway; }
    // Both directions carry bytes end to end, whole and in order.
    void expectBothWaysRelay(uint32_t seed) {
        const std::string a = randomBytes(3000, seed), b = randomBytes(5000, seed + 1);
        adapter1.device().send(a), adapter2.device().send(b);
        EXPECT_TRUE(adapter2.device().receive(a.size(), 5000) == a) << "port 1 -> port 2";
        EXPECT_TRUE(adapter1.device().receive(b.size(), 5000) == b) << "port 2 -> port 1";
    }

    ScratchDir dir;
    PluggableCable adapter1{dir.file("ttyUSB0")}, adapter2{dir.file("ttyUSB1")};
};

// Either adapter goes away while both directions relay, twice: the other direction goes on and
// counts what it cannot deliver, the status says which port waits, and once the adapter is back
// every byte sent afterwards arrives, both ways.
class ReconnectEitherPort : public Reconnect, public ::testing::WithParamInterface<int> {};

TEST_P(ReconnectEitherPort, OtherDirectionGoesOnAndBothRelayAgainAfterTheReplug) {
    const int gone = GetParam();
    PluggableCable& lost = gone == 1 ? adapter1 : adapter2;
    PluggableCable& stays = gone == 1 ? adapter2 : adapter1;
    SerialPort& lostPort = gone == 1 ? serialPort1 : serialPort2;
    RelayChannel& onward = gone == 1 ? relayChannel2 : relayChannel1;  // its destination is gone
    start();
    expectBothWaysRelay(1);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        lost.unplug();
        ASSERT_TRUE(eventuallyStepping([&] { return away(lostPort); }));
        EXPECT_TRUE(eventuallyWorkers(gone == 1 ? 0 : 1, gone == 1 ? 1 : 0));
        const std::string meanwhile = randomBytes(12345, 10 + round);
        stays.device().send(meanwhile);
        ASSERT_TRUE(eventuallyStepping([&] { return onward.undeliveredBytes.load() == 12345; }))
            << onward.undeliveredBytes.load();
        const std::string name = gone == 1 ? "COM1" : "COM2";
        EXPECT_EQ(reconnectStatusText(), name + ": " + lost.path() + " unplugged, waiting; 12,345 bytes not delivered to " + name);

        lost.plug();
        ASSERT_TRUE(eventuallyStepping([&] { return back(lostPort); }));
        EXPECT_TRUE(eventuallyWorkers(1, 1));
        EXPECT_EQ(reconnectStatusText(), "");
        EXPECT_EQ(onward.undeliveredBytes.load(), 0);
        expectBothWaysRelay(20 + round);
    }
}

INSTANTIATE_TEST_SUITE_P(Unplugged, ReconnectEitherPort, ::testing::Values(1, 2),
                         [](const auto& c) { return "Port" + std::to_string(c.param); });

// Port 2's adapter is plugged in only after the start: channel 1 reads port 1 meanwhile, and
// port 2 opens with its settings once its path is there.
TEST_F(Reconnect, APortMissingAtStartOpensWhenItsDeviceAppears) {
    start(false);
    ASSERT_TRUE(away(serialPort2) && back(serialPort1));
    adapter1.device().send("lost");
    ASSERT_TRUE(eventuallyStepping([] { return relayChannel1.undeliveredBytes.load() == 4; }));
    adapter2.plug();
    ASSERT_TRUE(eventuallyStepping([] { return back(serialPort2); }));
    EXPECT_TRUE(eventuallyWorkers(1, 1));
    expectBothWaysRelay(3);
}

// Once shutdown has begun, a device that comes back stays closed and no worker starts.
TEST_F(Reconnect, NothingReopensOnceShutdownBegan) {
    start();
    adapter1.unplug();
    ASSERT_TRUE(eventuallyStepping([] { return away(serialPort1); }));
    refusePortOpens();
    stopRelayAndClosePorts();
    adapter1.plug();
    EXPECT_FALSE(reconnectPorts());
    EXPECT_FALSE(serialPort1.isOpen() || serialPort2.isOpen());
    EXPECT_TRUE(eventuallyWorkers(0, 0));
}

}  // namespace

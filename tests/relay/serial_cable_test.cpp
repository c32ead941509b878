// The relay on two real serial cables, on both systems (pseudo-terminals; the Wine runner's COM ports): what needs
// a real device, its writes, waits and line. What the worker decides is relay_worker_test's.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "relay/port_device.h"
#include "relay/relay.h"
#include "tests/support/pty_cable.h"

namespace {

using namespace std::chrono_literals;

#ifdef _WIN32
const std::string kMissingPath = "\\\\.\\VORLINEX-NO-SUCH-PORT", kNotSerialPath = "NUL";
#else
const std::string kMissingPath = "/nonexistent/vorlinex-tty", kNotSerialPath = "/dev/null";
#endif

// A relay whose COM1 and COM2 are the program ends of two cables, opened and set up as the
// program does; the test holds the far ends.
class SerialCableTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int n : {1, 2}) {
            SerialPort& port = relay.serialPort(n);
            relay.comDevicePaths[n - 1] = far[n - 1].slavePath(), port.settings = {n - 1, 115200, 8, 0, 0, FlowNone};
            ASSERT_EQ(relay.openPort(portDeviceNameAt(n - 1), port), PortOpened)
                << port.openFailure.path << ": " << port.openFailure.systemError;
            ASSERT_EQ(configurePort(port), 0);
        }
    }
    void startBoth() { ASSERT_TRUE(startRelayWorker(relay.relayChannel1) == 0 && startRelayWorker(relay.relayChannel2) == 0); }

    PtyCable far[2];
    Relay relay;  // its end stops the workers before the cables go
};

// While port 2's far end is not read, channel 1's worker waits for room on the device; once it
// reads again, every byte arrives once, in order. (Restarts meanwhile: relay_worker_test.)
TEST_F(SerialCableTest, AStalledDestinationHoldsTheWorkerAndLosesNothing) {
    const std::string bytes = randomBytes(1 << 20, 21);
    startBoth();
    std::thread sender([&] { far[0].send(bytes); });
    // Stalled: the worker has read bytes and reads no more, since its writes do not get through.
    int64_t before = -1, now = 0;
    for (int look = 0; look < 100 && !(now > 0 && now == before); ++look)
        before = std::exchange(now, relay.relayChannel1.readByteCount.load()), std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(now > 0 && now == before) << "the destination never filled";
    const std::string got = far[1].receive(bytes.size(), 10000);
    sender.join();
    EXPECT_TRUE(got == bytes) << got.size() << " of " << bytes.size() << " bytes";
}

// Each flow choice reaches the line and is read back. Opens of what is missing, no serial line or
// the other port's device are refused as such; then the relay carries bytes as before.
TEST_F(SerialCableTest, EachFlowChoiceIsSetAndReadBackAndOpensAreRefusedForWhatIsMissingNotSerialOrHeld) {
    const struct { PortSettings settings; bool rtsCts, xonXoff; uint8_t xoff; } cases[] = {
        {{0, 9600, 8, 0, 0, FlowNone}, false, false, 0},         {{0, 19200, 8, 0, 0, FlowHardwareRts}, true, false, 0},
        {{0, 38400, 8, 0, 0, FlowXonXoff13}, false, true, 0x13}, {{0, 57600, 8, 0, 0, FlowXonXoff93}, false, true, 0x93},
        {{0, 115200, 8, 0, 2, FlowNone}, false, false, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.baudRate);
        relay.serialPort1.settings = c.settings;
        ASSERT_EQ(configurePort(relay.serialPort1), 0);
        const LineReadBack& r = relay.serialPort1.lineReadBack;
        EXPECT_TRUE(r.systemError == 0 && !r.differs && r.held.baudRate == static_cast<uint32_t>(c.settings.baudRate));
        EXPECT_TRUE(r.held.rtsCtsFlow == c.rtsCts && r.held.xonXoffFlow == c.xonXoff &&
                    r.held.twoStopBits == (c.settings.stopBits == 2));
        EXPECT_TRUE(!c.xonXoff || (r.held.xonChar == 0x11 && r.held.xoffChar == c.xoff)) << int(r.held.xoffChar);
    }

    const struct { std::string path; int result; PortRefusal kind; int32_t presence; } refused[] = {
        {kMissingPath, PortOpenFailed, RefusalMissing, PortAway}, {kNotSerialPath, PortNotSerial, RefusalNotSerial, PortPresent},
        {far[0].slavePath(), PortOpenFailed, RefusalOtherPort, PortPresent}};  // COM1's device under another name
    for (const auto& r : refused) {
        SCOPED_TRACE(r.path);
        SerialPort other;
        relay.comDevicePaths[2] = r.path;
        EXPECT_TRUE(relay.openPort("com3", other) == r.result && !other.isOpen()) << other.openFailure.systemError;
        EXPECT_TRUE(other.openFailure.kind == r.kind || (r.kind == RefusalOtherPort && other.openFailure.kind == RefusalInUse))
            << other.openFailure.kind;
        EXPECT_TRUE(r.kind == RefusalOtherPort || (other.openFailure.path == r.path && other.presence.load() == r.presence));
    }
    startBoth();
    expectRelaysBothWays(far[0], far[1], 41);
}

}  // namespace

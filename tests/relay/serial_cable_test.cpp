// The relay on two real serial cables, the same on both systems: pseudo-terminals on Linux, the
// Wine runner's COM ports (joined to pseudo-terminals) on Windows. What the worker decides is
// relay_worker_test's; here, what needs a real device: its reads, writes, waits and line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "relay/port_device.h"
#include "relay/relay.h"
#include "tests/support/pty_cable.h"

namespace {

using namespace std::chrono_literals;

#ifdef _WIN32
const std::string kMissingPath = "\\\\.\\VORLINEX-NO-SUCH-PORT";
const std::string kNotSerialPath = "NUL";
#else
const std::string kMissingPath = "/nonexistent/vorlinex-tty";
const std::string kNotSerialPath = "/dev/null";
#endif

// A relay whose COM1 and COM2 are the program ends of two cables, opened and set up as the
// program does; the test holds the far ends.
class SerialCableTest : public ::testing::Test {
protected:
    void SetUp() override {
        relay.comDevicePaths[0] = far[0].slavePath();
        relay.comDevicePaths[1] = far[1].slavePath();
        for (RelayChannel* channel : {&relay.relayChannel1, &relay.relayChannel2}) {
            SerialPort& port = channel->source;
            port.settings = {channel->number - 1, 115200, 8, 0, 0, FlowNone};
            ASSERT_EQ(relay.openPort(portDeviceNameAt(port.settings.comIndex), port), PortOpened)
                << port.openFailure.path << ": " << port.openFailure.systemError;
            ASSERT_EQ(configurePort(port), 0);
            // Each worker fills its own record; the test reads them after the join.
            channel->chunkObserver = [this, n = channel->number](const uint8_t* bytes, int32_t length, const ChunkStamp*) {
                chunks[n - 1].emplace_back(reinterpret_cast<const char*>(bytes), length);
            };
        }
    }
    void startBoth() {
        ASSERT_EQ(startRelayWorker(relay.relayChannel1), 0);
        ASSERT_EQ(startRelayWorker(relay.relayChannel2), 0);
    }

    PtyCable far[2];
    std::vector<std::string> chunks[2];  // before the relay: its workers write them until it ends
    Relay relay;  // its end stops the workers before the cables and the records go
};

// While port 2's far end is not read, channel 1's worker waits for room, and the workers are
// stopped and started again (as a settings change does) meanwhile: what a stopped worker read but
// could not write goes out first from the next one, so the far end gets every byte once, in order.
TEST_F(SerialCableTest, RestartsWhileTheDestinationIsStalledLoseNothing) {
    const std::string bytes = randomBytes(1 << 20, 21);
    startBoth();
    std::atomic<bool> sent = false;
    std::thread sender([&] { far[0].send(bytes), sent = true; });
    // Stalled: the worker has read bytes and reads no more, since its writes do not get through.
    const auto stalled = [&] {
        int64_t before = -1;
        for (int look = 0; look < 100; ++look) {
            const int64_t now = relay.relayChannel1.readByteCount.load();
            if (now > 0 && now == before) return true;
            before = now;
            std::this_thread::sleep_for(300ms);
        }
        return false;
    };
    bool restRemembered = false;
    for (int restart = 0; restart < 3; ++restart) {
        ASSERT_TRUE(stalled()) << "restart " << restart;
        relay.stopRelayWorkers();
        restRemembered = restRemembered || !relay.relayChannel1.unsentRest.empty();
        startBoth();
    }
    EXPECT_TRUE(restRemembered) << "no stop came while a write was held back";
    const std::string got = far[1].receive(bytes.size(), 10000);
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(got == bytes) << got.size() << " of " << bytes.size() << " bytes";
    relay.stopRelayWorkers();
    // Each byte was read once, in reads no larger than the channel's chunk.
    std::string read;
    for (const std::string& chunk : chunks[0]) {
        EXPECT_TRUE(!chunk.empty() && chunk.size() <= 256) << chunk.size();
        read += chunk;
    }
    EXPECT_TRUE(read == bytes);
    startBoth();
    expectRelaysBothWays(far[0], far[1], 22);  // and on as before once the far end reads again
}

// Each flow choice reaches the line, and what the device holds is read back.
TEST_F(SerialCableTest, EachFlowChoiceIsSetAndReadBack) {
    const struct {
        PortSettings settings;
        bool rtsCts, xonXoff;
        uint8_t xoff;
    } cases[] = {
        {{0, 9600, 8, 0, 0, FlowNone}, false, false, 0},
        {{0, 19200, 8, 0, 0, FlowHardwareRts}, true, false, 0},
        {{0, 38400, 8, 0, 0, FlowXonXoff13}, false, true, 0x13},
        {{0, 57600, 8, 0, 0, FlowXonXoff93}, false, true, 0x93},
        {{0, 115200, 8, 0, 2, FlowNone}, false, false, 0},
    };
    SerialPort& port1 = relay.serialPort1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.baudRate);
        port1.settings = c.settings;
        ASSERT_EQ(configurePort(port1), 0);
        const LineReadBack& r = port1.lineReadBack;
        EXPECT_EQ(r.systemError, 0);
        EXPECT_EQ(r.held.baudRate, static_cast<uint32_t>(c.settings.baudRate));
        EXPECT_EQ(r.held.rtsCtsFlow, c.rtsCts);
        EXPECT_EQ(r.held.xonXoffFlow, c.xonXoff);
        EXPECT_EQ(r.held.twoStopBits, c.settings.stopBits == 2);
        if (c.xonXoff) {
            EXPECT_TRUE(r.held.xonChar == 0x11 && r.held.xoffChar == c.xoff) << int(r.held.xoffChar);
        }
        EXPECT_FALSE(r.differs);
    }
    // Set up with the last, the relay carries bytes as before.
    startBoth();
    expectRelaysBothWays(far[0], far[1], 41);
}

// A port that is not there waits for its device, one that is no serial line is refused as such,
// and the device the other port holds is not taken from it.
TEST_F(SerialCableTest, OpensAreRefusedForWhatIsMissingNotSerialOrHeldByTheOtherPort) {
    const struct {
        std::string path;
        int result;
        PortRefusal kind;
        int32_t presence;
    } refused[] = {
        {kMissingPath, PortOpenFailed, RefusalMissing, PortAway},
        {kNotSerialPath, PortNotSerial, RefusalNotSerial, PortPresent},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.path);
        SerialPort other;
        relay.comDevicePaths[2] = r.path;
        EXPECT_EQ(relay.openPort("com3", other), r.result);
        EXPECT_FALSE(other.isOpen());
        EXPECT_EQ(other.openFailure.kind, r.kind);
        EXPECT_EQ(other.openFailure.path, r.path);
        EXPECT_EQ(other.presence.load(), r.presence);
    }

    SerialPort other;
    relay.comDevicePaths[2] = far[0].slavePath();  // COM1's device under another name
    EXPECT_EQ(relay.openPort("com3", other), PortOpenFailed);
    EXPECT_FALSE(other.isOpen());
    EXPECT_TRUE(other.openFailure.kind == RefusalOtherPort || other.openFailure.kind == RefusalInUse)
        << other.openFailure.kind;
    startBoth();
    expectRelaysBothWays(far[0], far[1], 51);
}

}  // namespace

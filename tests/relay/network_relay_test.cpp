// The relay with COM1 on a network port to a server of the test's own on 127.0.0.1 and COM2 on a
// serial cable, the same on both systems: exact both ways, the loss of the server and the
// reconnect, a server that stops reading, and what the status tells of the server.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "shell/message_catalogue.h"
#include "tests/support/network_test_data.h"
#include "tests/support/pty_cable.h"
#include "tests/support/test_socket.h"

using namespace telnet;

namespace {

// The server's end of the connection as a device end for exchangeExactly: raw, or speaking
// Telnet (its data escaped out, the client's read apart from the port's codec).
struct ServerEnd {
    TestSocket& socket;
    bool telnet;
    void send(const std::string& bytes) { socket.sendAll(telnet ? escaped(bytes) : bytes); }
    std::string receive(size_t count, int quietMs) {
        if (!telnet) return socket.receive(count, quietMs);
        ServerView view;
        while (view.data.size() < count) {
            const std::string more = socket.receiveSome(quietMs);
            if (more.empty()) break;
            view.feed(more);
        }
        return view.data;
    }
};

class NetworkRelayTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef _WIN32
        if (std::getenv("VORLINEX_WINE_CABLES") == nullptr)
            GTEST_SKIP() << "needs the Wine runner's COM cables (VORLINEX_WINE_CABLES)";
#endif
        cable = std::make_unique<PtyCable>();
    }
    void TearDown() override {
        relay.reset();
        cable.reset();
    }
    // COM1 on `path`, COM2 on the cable and relaying to COM1; the network port connects in the
    // background, and nothing waits for it.
    void openBoth(const std::string& path, int32_t baud1 = 115200) {
        relay = std::make_unique<Relay>();
        relay->comDevicePaths[0] = path;
        relay->comDevicePaths[1] = cable->slavePath();
        relay->serialPort1.settings = PortSettings{0, baud1, 8, 0, 0, FlowNone};
        relay->serialPort2.settings = PortSettings{1, 115200, 8, 0, 0, FlowNone};
        ASSERT_EQ(relay->openPort("com1", relay->serialPort1), PortOpenPending);
        EXPECT_FALSE(relay->serialPort1.isOpen()) << "nothing waits for the connect";
        ASSERT_EQ(relay->openPort("com2", relay->serialPort2), PortOpened);
        ASSERT_EQ(configurePort(relay->serialPort2), 0);
        ASSERT_EQ(startRelayWorker(relay->relayChannel2), 0);
    }
    std::string pathOf(NetworkScheme scheme) const {
        return std::string(scheme == NetworkScheme::Tcp ? "tcp" : "rfc2217") + "://127.0.0.1:" +
               std::to_string(listener.port());
    }
    // Opens both with COM1 on the test's server and waits until the server has the connection.
    void connectBoth(NetworkScheme scheme, int32_t baud1 = 115200) {
        ASSERT_NO_FATAL_FAILURE(openBoth(pathOf(scheme), baud1));
        ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.presence.load() == PortPresent; }))
            << portStatusText(*relay);
        server = listener.accept();
        ASSERT_TRUE(server.valid());
    }
    bool lost() const { return relay->serialPort1.presence.load() == PortAway && !relay->serialPort1.isOpen(); }

    std::unique_ptr<PtyCable> cable;
    TestListener listener;
    TestSocket server;
    std::unique_ptr<Relay> relay;
};

TEST_F(NetworkRelayTest, RawTcpRelaysExactlyLetsGoWhenThePeerClosesAndReconnects) {
    ASSERT_NO_FATAL_FAILURE(connectBoth(NetworkScheme::Tcp));
    ServerEnd end{server, false};
    exchangeExactly(end, *cable, 64 * 1024, 1);

    // The server closes: the port is let go as a lost connection, the other direction goes on
    // and counts what it cannot deliver.
    server.close();
    ASSERT_TRUE(stepUntil(*relay, [&] { return lost(); }));
    EXPECT_EQ(relay->serialPort1.openFailure.kind, RefusalConnectionLost);
    cable->send("undeliverable");
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->relayChannel2.undeliveredBytes.load() >= 13; }));

    // The listener is still there: connected again by itself, exact again, nothing from before.
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.presence.load() == PortPresent; }));
    server = listener.accept();
    ASSERT_TRUE(server.valid());
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    exchangeExactly(end, *cable, 16 * 1024, 3);
}

// A Com Port Control server that dies and comes back on the same port: the port is let go, the
// retries are refused meanwhile and what COM2 reads is counted undelivered, never sent late;
// once it is back the port connects by itself and sends the settings again before any data.
TEST_F(NetworkRelayTest, AServerThatDiesIsRetriedAndGetsTheSettingsAgainWhenItReturns) {
    ASSERT_NO_FATAL_FAILURE(connectBoth(NetworkScheme::Rfc2217));
    const std::string path = relay->comDevicePaths[0];
    const auto settingsFirst = [&] {
        ServerView view;
        while (view.subnegotiations.empty()) {
            const std::string more = server.receiveSome();
            if (more.empty()) break;
            view.feed(more);
        }
        EXPECT_EQ(view.data, "");
        ASSERT_FALSE(view.subnegotiations.empty());
        EXPECT_EQ(view.subnegotiations[0], bytesOf({COM_PORT_OPTION, 1, 0, 1, 0xC2, 0})) << "SET-BAUDRATE 115200";
        // Answered: the data that follows is the device's at once.
        server.sendAll(serverAnswer(ComPortCommand::SetBaudRate, bytesOf({0, 1, 0xC2, 0})));
    };
    settingsFirst();
    ServerEnd end{server, true};
    exchangeExactly(end, *cable, 48 * 1024, 5);

    const uint16_t port = listener.port();
    server.close();
    listener.close();
    listener = TestListener(-1, 0, port);  // gone: connects are refused
    ASSERT_TRUE(stepUntil(*relay, [&] { return lost(); }));
    EXPECT_EQ(relay->serialPort1.openFailure.kind, RefusalConnectionLost);
    cable->send("undeliverable");
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->relayChannel2.undeliveredBytes.load() >= 13; }));
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.openFailure.kind == RefusalUnreachable; }));
    EXPECT_EQ(relay->serialPort1.openFailure.systemError, ECONNREFUSED);

    listener.close();
    listener = TestListener(4, 0, port);
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.presence.load() == PortPresent; }));
    server = listener.accept();
    ASSERT_TRUE(server.valid());
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    settingsFirst();
    exchangeExactly(end, *cable, 16 * 1024, 7);  // nothing from before the loss among it
}

// A server that stops reading: the connection fills, the port keeps what it could not send and
// the output wait holds the writer, which neither drops nor counts anything as undelivered; once
// the server reads again every byte arrives, in order. The cable is fed until the worker stalls,
// however much the system buffers on the way.
TEST_F(NetworkRelayTest, AServerThatStopsReadingHoldsTheWriterAndNothingIsLost) {
    listener = TestListener(1, 4096);  // a small window: the connection fills soon
    ASSERT_NO_FATAL_FAILURE(connectBoth(NetworkScheme::Tcp, 921600));
    std::string sent;
    std::atomic<bool> stalled{false}, allSent{false};
    std::thread sender([&] {
        for (unsigned seed = 11; !stalled && sent.size() < (32u << 20); ++seed) {
            const std::string chunk = escapeHeavy(64 * 1024, seed);
            cable->send(chunk);
            sent += chunk;
        }
        allSent = true;
    });
    // Held: the worker has read bytes and reads no more, as its writes do not get through.
    int64_t before = -1;
    EXPECT_TRUE(stepUntil(*relay, [&] {
        const int64_t now = relay->relayChannel2.readByteCount.load();
        stalled = now > 0 && now == before;
        before = now;
        if (!stalled) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return stalled.load();
    })) << "the connection never filled";
    stalled = true;
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    std::string atServer;
    while (!allSent || atServer.size() < sent.size()) {
        const std::string more = server.receiveSome();
        if (more.empty()) break;
        atServer += more;
    }
    sender.join();
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    EXPECT_EQ(atServer.size(), sent.size());
    EXPECT_TRUE(atServer == sent) << "cable to server: every byte once, in order";
}

// A server that answers the rate with another one and tells its modem lines: the status names
// what the server set instead, and the line state the lines it reported.
TEST_F(NetworkRelayTest, TheServersOtherAnswerAndItsModemStateAreTold) {
    ASSERT_NO_FATAL_FAILURE(openBoth(pathOf(NetworkScheme::Rfc2217), 12345));
    EXPECT_EQ(portStatusText(*relay), "COM1: " + relay->comDevicePaths[0] + " connecting");
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.presence.load() == PortPresent; }));
    server = listener.accept();
    ASSERT_TRUE(server.valid());
    // SET-BAUDRATE answered as 4096 (0x1000), then NOTIFY-MODEMSTATE with CD and CTS up.
    server.sendAll(serverAnswer(ComPortCommand::SetBaudRate, bytesOf({0, 0, 0x10, 0})) +
                   serverAnswer(ComPortCommand::NotifyModemState, "\x90") + "x");
    EXPECT_EQ(cable->receive(1, 10000), "x");
    EXPECT_EQ(portStatusText(*relay), "COM1: the server set 4096 baud instead of 12345");
    EXPECT_EQ(portLineStateText(*relay), "COM1 (" + relay->comDevicePaths[0] + "): modem state 0x90 (CD CTS up)");
}

// Worded alike on both systems: the errno's words, not those of a Windows error of that number.
TEST_F(NetworkRelayTest, ARefusedConnectIsReportedAsUnreachableAndRetried) {
    TestListener closed(-1);
    ASSERT_NO_FATAL_FAILURE(openBoth("tcp://127.0.0.1:" + std::to_string(closed.port())));
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.openFailure.kind == RefusalUnreachable; }));
    EXPECT_EQ(relay->serialPort1.openFailure.systemError, ECONNREFUSED);
    EXPECT_EQ(portStatusText(*relay), "COM1: " + relay->comDevicePaths[0] + " not reachable: connection refused, retrying");
    EXPECT_EQ(relay->serialPort1.presence.load(), PortAway) << "retried, not given up";
    EXPECT_FALSE(relay->serialPort1.isOpen());
}

}  // namespace

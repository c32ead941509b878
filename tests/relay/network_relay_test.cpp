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
    void connectBoth(NetworkScheme scheme) {
        ASSERT_NO_FATAL_FAILURE(openBoth(pathOf(scheme)));
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

// The server answers the rate: the data that follows is device data, each 0xFF escaped on the wire.
TEST_F(NetworkRelayTest, ComPortControlRelaysExactly) {
    ASSERT_NO_FATAL_FAILURE(connectBoth(NetworkScheme::Rfc2217));
    server.sendAll(serverAnswer(ComPortCommand::SetBaudRate, bytesOf({0, 1, 0xC2, 0})));
    ServerEnd end{server, true};
    exchangeExactly(end, *cable, 48 * 1024, 5);
}

// A server that stops reading: the socket fills, the port keeps what it could not send and the
// output wait holds the writer, which neither drops nor counts anything as undelivered; once the
// server reads again every byte arrives, in order.
TEST_F(NetworkRelayTest, AServerThatStopsReadingHoldsTheWriterAndNothingIsLost) {
    listener = TestListener(1, 4096);  // a small window: the connection fills soon, not after megabytes
    ASSERT_NO_FATAL_FAILURE(connectBoth(NetworkScheme::Tcp));
    const std::string toServer = escapeHeavy(512 * 1024, 11);
    std::thread sender([&] { cable->send(toServer); });
    // Held: the worker has read bytes and reads no more, as its writes do not get through.
    int64_t before = -1;
    ASSERT_TRUE(stepUntil(*relay, [&] {
        const int64_t now = relay->relayChannel2.readByteCount.load();
        const bool stalled = now > 0 && now == before;
        before = now;
        if (!stalled) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return stalled;
    })) << "the connection never filled";
    EXPECT_LT(relay->relayChannel2.readByteCount.load(), static_cast<int64_t>(toServer.size()));
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    const std::string atServer = server.receive(toServer.size());
    sender.join();
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    EXPECT_EQ(atServer.size(), toServer.size());
    EXPECT_TRUE(atServer == toServer) << "cable to server: every byte once, in order";
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

// A server that turns an option on and off for ever, with a data byte now and then, and never
// reads: the replies it is owed cannot pile up without end. The port is dropped with that
// reason, what came as data before was passed on, and the server is tried again.
TEST_F(NetworkRelayTest, AServerThatAsksForRepliesAndNeverReadsIsDroppedAndTriedAgain) {
    listener = TestListener(4, 4096);  // its receive buffer fills at once
    // DO BINARY, DONT BINARY: each pair owes a WILL and a WONT; a data byte every 30 kB.
    std::string block;
    while (block.size() < 30000) block += bytesOf({IAC, DO, BINARY, IAC, DONT, BINARY});
    block += 'x';
    ASSERT_NO_FATAL_FAILURE(openBoth(pathOf(NetworkScheme::Rfc2217)));
    // Started once nothing can end the test early, so that it is always joined.
    std::atomic<int> accepted{0};
    std::atomic<bool> done{false};
    std::thread serverThread([&] {
        while (!done) {
            TestSocket peer = listener.accept(50);
            if (!peer.valid()) continue;
            accepted += 1;
            // It answers the rate, as a serial server does, so its data count as the device's.
            peer.sendAll(serverAnswer(ComPortCommand::SetBaudRate, bytesOf({0, 1, 0xC2, 0})));
            // Until the port lets go (bounded: far more than any socket buffers hold).
            for (size_t sent = 0; !done && sent < (256u << 20) && peer.sendAll(block);) sent += block.size();
        }
    });
    std::string status;  // taken at once: the next try may already be under way afterwards
    EXPECT_TRUE(stepUntil(*relay, [&] {
        status = portStatusText(*relay);
        return relay->serialPort1.openFailure.kind == RefusalNotReading;
    })) << status;
    EXPECT_EQ(status, "COM1: " + relay->comDevicePaths[0] + " reads nothing it is sent (not a serial server), retrying");
    EXPECT_EQ(cable->receive(1, 10000), "x");
    EXPECT_TRUE(stepUntil(*relay, [&] { return accepted.load() >= 2; })) << "tried again";
    done = true;
    relay->stopRelayAndClosePorts();
    serverThread.join();
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

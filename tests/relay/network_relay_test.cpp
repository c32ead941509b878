// The relay with COM1 on a network port to a server of the test's own and COM2 on a serial cable, on both systems:
// exact both ways, loss and reconnect with its back-off, servers that misbehave, what the status tells.
#include <gtest/gtest.h>

#include "shell/message_catalogue.h"
#include "tests/support/network_test_data.h"

using namespace telnet;
using namespace std::chrono_literals;

namespace {

// A server that sets another rate than asked, then dies and comes back on the same port: meanwhile what COM2
// reads is counted undelivered, never sent late; back, the port reconnects and sends the settings first.
TEST_F(NetworkRelayTest, AServerThatDiesIsRetriedAndGetsTheSettingsAgainWhenItReturns) {
    ASSERT_NO_FATAL_FAILURE(openBoth(rfc2217Path(), 12345));
    EXPECT_EQ(portStatusText(*relay), "COM1: " + relay->comDevicePaths[0] + " connecting");
    ASSERT_NO_FATAL_FAILURE(awaitServer());
    const auto settingsFirst = [&](const std::string& answer) {
        const ServerView view = readServer(server, [](const ServerView& v) { return !v.subnegotiations.empty(); });
        EXPECT_EQ(view.data, "");
        ASSERT_FALSE(view.subnegotiations.empty());
        EXPECT_EQ(view.subnegotiations[0], bytesOf({COM_PORT_OPTION, 1, 0, 0, 0x30, 0x39})) << "SET-BAUDRATE 12345";
        // Answered: the data that follows is the device's at once.
        server.sendAll(serverAnswer(ComPortCommand::SetBaudRate, answer) + "x");
        EXPECT_EQ(cable->receive(1, 10000), "x");
    };
    // SET-BAUDRATE answered as 4096 (0x1000), after NOTIFY-MODEMSTATE with CD and CTS up.
    server.sendAll(serverAnswer(ComPortCommand::NotifyModemState, "\x90"));
    settingsFirst(bytesOf({0, 0, 0x10, 0}));
    EXPECT_EQ(portStatusText(*relay), "COM1: the server set 4096 baud instead of 12345");
    EXPECT_EQ(portLineStateText(*relay), "COM1 (" + relay->comDevicePaths[0] + "): modem state 0x90 (CD CTS up)");

    const uint16_t port = listener.port();
    server.close();
    listener.close();
    listener = TestListener(-1, 0, port);  // gone: connects are refused
    ASSERT_TRUE(stepUntil(
        *relay, [&] { return relay->serialPort1.presence.load() == PortAway && !relay->serialPort1.isOpen(); }));
    EXPECT_EQ(relay->serialPort1.openFailure.kind, RefusalConnectionLost);
    cable->send("undeliverable");
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->relayChannel2.undeliveredBytes.load() >= 13; }));
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.openFailure.kind == RefusalUnreachable; }));

    listener.close();
    listener = TestListener(4, 0, port);
    ASSERT_NO_FATAL_FAILURE(awaitServer());
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    settingsFirst(bytesOf({0, 0, 0x30, 0x39}));
    // Both ways at once, every byte once and in order: nothing from before the loss among it.
    const std::string toCable = escapeHeavy(48 * 1024, 7), toServer = escapeHeavy(48 * 1024, 8);
    std::string atCable;
    std::thread toCableThread([&] { server.sendAll(escaped(toCable)); });
    std::thread fromCable([&] { cable->send(toServer); });
    std::thread atCableThread([&] { atCable = cable->receive(toCable.size(), 10000); });
    const auto allThere = [&](const ServerView& v) { return v.data.size() >= toServer.size(); };
    const std::string atServer = readServer(server, allThere).data;
    for (std::thread* t : {&toCableThread, &fromCable, &atCableThread}) t->join();
    EXPECT_TRUE(atCable == toCable) << "server to cable: " << atCable.size() << " of " << toCable.size();
    EXPECT_TRUE(atServer == toServer) << "cable to server: " << atServer.size() << " of " << toServer.size();
}

// A server that sends nothing but commands, or asks for replies for ever and never reads, is let go
// with that reason in the status's words; the data it sent before reach the cable.
TEST_F(NetworkRelayTest, AServerThatSendsOnlyCommandsOrNeverReadsIsDroppedSayingSo) {
    std::string nops, asks;
    while (nops.size() < 128 * 1024) nops += bytesOf({IAC, 241});
    while (asks.size() < 30000) asks += bytesOf({IAC, DO, BINARY, IAC, DONT, BINARY});
    const struct { std::string stream; int receiveBuffer; PortRefusal kind; const char* says; } cases[] = {
        {nops, 0, RefusalNotServer, " sent only commands, no data (not a serial server), retrying"},
#ifndef _WIN32  // Wine's sockets take in far more than a system's before the port sees the replies pile up
        {asks + "x", 4096, RefusalNotReading, " reads nothing it is sent (not a serial server), retrying"},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        listener = TestListener(4, c.receiveBuffer);
        ASSERT_NO_FATAL_FAILURE(openBoth(rfc2217Path()));
        std::thread serverThread([&] {  // until the port lets go (bounded: far more than any socket buffers hold)
            TestSocket peer = listener.accept();
            bool open = peer.sendAll(serverAnswer(ComPortCommand::SetBaudRate, bytesOf({0, 1, 0xC2, 0})) + "ok");
            for (size_t sent = 0; open && sent < (256u << 20); sent += c.stream.size()) open = peer.sendAll(c.stream);
        });
        std::string status;  // taken at once: the next try may already be under way afterwards
        EXPECT_TRUE(stepUntil(*relay, [&] {
            status = portStatusText(*relay);
            return relay->serialPort1.openFailure.kind == c.kind;
        })) << status;
        EXPECT_EQ(status, "COM1: " + relay->comDevicePaths[0] + c.says);
        EXPECT_EQ(cable->receive(2, 10000), "ok");
        relay->stopRelayAndClosePorts();
        serverThread.join();
    }
}

// A link-local address without its interface is refused at once and not retried. A refused connect
// is unreachable, in the errno's words on both systems, and tried again after a back-off that
// doubles from half a second to 5 s, never sooner, at step times of the test's choosing.
TEST_F(NetworkRelayTest, ARefusedConnectIsRetriedAfterABackOffThatGrows) {
    relay = std::make_unique<Relay>();
    relay->comDevicePaths[0] = "tcp://[fe80::1]:4001";
    ASSERT_EQ(relay->openPort("com1", relay->serialPort1), PortOpenFailed);
    EXPECT_TRUE(relay->serialPort1.openFailure.kind == RefusalZoneMissing && relay->serialPort1.presence.load() == PortHalted);
    EXPECT_NE(portStatusText(*relay).find("link-local address: it needs the interface"), std::string::npos);

    TestListener closed(-1);
    ASSERT_NO_FATAL_FAILURE(openBoth("tcp://127.0.0.1:" + std::to_string(closed.port())));
    SerialPort& port = relay->serialPort1;
    auto t = std::chrono::steady_clock::now();
    for (auto backOff : {500ms, 1000ms, 2000ms, 4000ms, 5000ms, 5000ms}) {
        const int failures = port.networkRetry.connectFailures;
        ASSERT_TRUE(stepUntil(*relay, [&] { return port.networkRetry.connectFailures > failures; }, [&] { return t; }));
        EXPECT_EQ(port.nextOpenTry - t, backOff);
        reconnectPorts(*relay, port.nextOpenTry - 1ms);
        EXPECT_FALSE(port.networkRetry.connector) << "tried before its time";
        t = port.nextOpenTry;
    }
    EXPECT_TRUE(port.openFailure.kind == RefusalUnreachable && port.openFailure.systemError == ECONNREFUSED);
    EXPECT_EQ(portStatusText(*relay), "COM1: " + relay->comDevicePaths[0] + " not reachable: connection refused, retrying");
    EXPECT_EQ(port.presence.load(), PortAway) << "retried, not given up";
}

}  // namespace

// Network ports through real sockets on 127.0.0.1, on both systems: paths, the connect, a port against a test server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string_view>

#ifndef _WIN32
#include <netdb.h>  // gai_strerror
#endif

#include "tests/support/network_test_data.h"

using namespace telnet;

TEST(NetworkPath, ReadsSchemeHostAndPortOrRefusesThePath) {
    constexpr auto R = NetworkScheme::Rfc2217, T = NetworkScheme::Tcp;
    const std::tuple<const char*, NetworkScheme, const char*, uint16_t> valid[] = {
        {"rfc2217://lab-pi:4001", R, "lab-pi", 4001}, {"tcp://lab-pi.example.org:2000", T, "lab-pi.example.org", 2000},
        {"rfc2217://192.168.1.20:1", R, "192.168.1.20", 1}, {"tcp://10.0.0.1:65535", T, "10.0.0.1", 65535},
        {"rfc2217://[::1]:4001", R, "::1", 4001}, {"tcp://[2001:db8::20]:7000", T, "2001:db8::20", 7000},
        // A zone names the interface: a link-local address needs one.
        {"tcp://[fe80::1%eth0]:4002", T, "fe80::1%eth0", 4002}, {"rfc2217://[fe80::1%2]:4001", R, "fe80::1%2", 4001}};
    for (const auto& [path, scheme, host, port] : valid) {
        NetworkAddress address{NetworkScheme::Tcp, "untouched", 7};
        ASSERT_TRUE(parseNetworkPath(path, address) && isNetworkPath(path)) << path;
        EXPECT_TRUE(address.scheme == scheme && address.host == host && address.port == port) << path;
    }
    // Zones gone wrong; ports out of range or not a number; no scheme, another one, nothing after it; IPv6
    // without brackets, brackets not closed or not an address, no host; junk around or inside the host.
    const char* const refused[] = {
        "tcp://[fe80::1]:4002", "tcp://[fe80::1%]:4002", "tcp://[fe80::1%eth0/x]:4002", "tcp://[fe80::1%et h0]:4002",
        "tcp://fe80::1%eth0:4002", "rfc2217://lab-pi:0", "rfc2217://lab-pi:65536", "rfc2217://lab-pi:99999",
        "rfc2217://lab-pi:-1", "rfc2217://lab-pi:40a1", "rfc2217://lab-pi:", "rfc2217://lab-pi", "rfc2217://lab-pi:123456",
        "lab-pi:4001", "/dev/ttyUSB0", "http://lab-pi:4001", "rfc2217:/lab-pi:4001", "tcp://", "", "tcp://not even a host",
        "rfc2217://::1:4001", "rfc2217://[::1:4001", "rfc2217://[::1]4001", "rfc2217://[lab-pi]:4001", "rfc2217://[]:4001",
        "rfc2217://:4001", "rfc2217://lab pi:4001", "rfc2217://lab-pi:4001/", "tcp://user@lab-pi:4001",
        "tcp://lab-pi:4001 ", " tcp://lab-pi:4001", "tcp://-lab:4001", "tcp://.lab:4001"};
    for (const char* path : refused) {
        NetworkAddress address{NetworkScheme::Tcp, "untouched", 7};
        EXPECT_FALSE(parseNetworkPath(path, address)) << path;
        EXPECT_TRUE(address.host == "untouched" && address.port == 7) << "a refused path leaves the address as it was";
        EXPECT_EQ(isNetworkPath(path),
                  std::string_view(path).starts_with("rfc2217://") || std::string_view(path).starts_with("tcp://"));
        EXPECT_EQ(lacksZone(path), path == refused[0]) << path;
    }
}

TEST(NetworkConnectorTest, ConnectsOffThreadHandsOverATunedSocketOnceCallsBackOnceOrFailsSayingWhy) {
    TestListener listener;
    std::atomic<int> calls{0};
    NetworkConnector connector(loopback(listener.port()), NetworkConnector::kDefaultTimeout, [&] { ++calls; });
    ConnectResult r = awaitResult(connector);
    ASSERT_EQ(r.state, ConnectResult::State::Connected) << r.systemError;
    TestSocket taken(connector.take());
    ASSERT_TRUE(taken.valid() && connector.take() == kNoSocket) << "handed over once";
    const TestSocket accepted = listener.accept();  // held: the tuning is read of a live connection
    EXPECT_TRUE(accepted.valid());
    const SocketTuning tuning = tuningOf(taken.get());
    EXPECT_TRUE(tuning.noDelay && tuning.keepAlive && tuning.readsWithoutWaiting && tuning.keepAliveSeconds <= 30)
        << tuning.keepAliveSeconds << ": a silent dead peer is found within half a minute (-1: not known here)";
    EXPECT_TRUE(eventually([&] { return calls.load() == 1; }));

    // localhost may give ::1 first, where nothing listens: the next address is tried.
    NetworkConnector byName({NetworkScheme::Tcp, "localhost", listener.port()});
    ASSERT_EQ(awaitResult(byName).state, ConnectResult::State::Connected);
    EXPECT_TRUE(TestSocket(byName.take()).valid());

    // An unresolvable or silent address fails saying why.
    NetworkConnector unresolvable({NetworkScheme::Rfc2217, "no-such-host.invalid", 4001});
    r = awaitResult(unresolvable);
    EXPECT_TRUE(r.state == ConnectResult::State::Failed && r.failure == ConnectResult::Failure::Resolve);
    EXPECT_TRUE(r.resolverError != 0 && !r.resolverMessage.empty());
    EXPECT_EQ(r.resolverMessage.find('\n'), std::string::npos) << "one line: " << r.resolverMessage;
#ifndef _WIN32
    EXPECT_EQ(r.resolverMessage, gai_strerror(r.resolverError));
#endif

    SilentListener silent;
    NetworkConnector timedOut(loopback(silent.port()), std::chrono::milliseconds(300));
    r = awaitResult(timedOut);
    EXPECT_TRUE(r.state == ConnectResult::State::Failed && r.failure == ConnectResult::Failure::TimedOut);
    EXPECT_TRUE(r.systemError == ETIMEDOUT && timedOut.take() == kNoSocket) << r.systemError;
}

// Only the cancel (or the end of the connector) can end these connects in time: their own
// time-out is far longer than the test waits. Each must let go of its socket.
TEST(NetworkConnectorTest, CancelOrDestroyEndsAConnectInProgressAndNoCallbackFollows) {
    SilentListener silent;
    const int fillers = socketsConnectingTo(silent.port());
    if (fillers < 0) GTEST_SKIP() << "the system's connection table cannot be read here";
    std::atomic<int> calls{0};
    const std::chrono::minutes longTimeout(10);
    const auto connecting = [&](int count) { return eventually([&] { return socketsConnectingTo(silent.port()) == count; }); };
    {
        NetworkConnector connector(loopback(silent.port()), longTimeout, [&] { ++calls; });
        ASSERT_TRUE(connecting(fillers + 1)) << "the connect is under way";
        EXPECT_EQ(connector.result().state, ConnectResult::State::Pending);
        connector.cancel();
        EXPECT_TRUE(connector.result().state == ConnectResult::State::Cancelled && connector.take() == kNoSocket);
        EXPECT_TRUE(connecting(fillers)) << "the connect thread let go of its socket";
    }
    {
        NetworkConnector dropped(loopback(silent.port()), longTimeout, [&] { ++calls; });
        ASSERT_TRUE(connecting(fillers + 1));
    }
    EXPECT_TRUE(connecting(fillers) && calls.load() == 0) << calls.load();
}

// The negotiation, then every setting, then DTR and RTS raised; an odd rate goes as it is. The
// window in flight is what 100 ms of the rate carries, 16 KiB at the least.
TEST(NetworkPortTest, StartSendsTheNegotiationThenTheSettingsWithDtrAndRtsRaised) {
    const auto command = [](std::initializer_list<int> v) {
        return bytesOf({IAC, SB, COM_PORT_OPTION}) + bytesOf(v) + bytesOf({IAC, SE});
    };
    const std::string negotiation = bytesOf({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA, IAC,
                                             WILL, COM_PORT_OPTION}),
                      dtrAndRts = command({5, 8}) + command({5, 11});
    using F = NetworkLineSettings::Flow;
    const std::tuple<NetworkLineSettings, std::string, size_t> cases[] = {
        {{12345, 7, 2, true, F::RtsCts},
         command({1, 0, 0, 0x30, 0x39}) + command({2, 7}) + command({3, 3}) + command({4, 2}) + command({5, 3}), 16 * 1024},
        {{3000000, 8, 1, false, F::XonXoff},
         command({1, 0, 0x2D, 0xC6, 0xC0}) + command({2, 8}) + command({3, 2}) + command({4, 1}) + command({5, 2}), 30000},
        {{}, command({1, 0, 0, 0x25, 0x80}) + command({2, 8}) + command({3, 1}) + command({4, 1}) + command({5, 1}), 16 * 1024}};
    for (const auto& [settings, expected, window] : cases) {
        SCOPED_TRACE(settings.baudRate);
        Connected c(NetworkScheme::Rfc2217, 0, settings);
        EXPECT_EQ(c.server.receive((negotiation + expected + dtrAndRts).size()), negotiation + expected + dtrAndRts);
        EXPECT_EQ(c.port->inFlightLimit(), window);
    }
}

// Data before any answer that no close follows is the device's after all; the server's answers
// are the read-back, its notifications the line and modem state.
TEST(NetworkPortTest, EarlyDataIsTheDevicesAndTheServersAnswersAreTheReadBack) {
    Connected c(NetworkScheme::Rfc2217, 0, {12345, 7, 1, true});
    c.server.sendAll("early\xff\xff" + bytesOf({IAC, 241, IAC, WILL, BINARY, IAC, 241}) +
                     serverAnswer(ComPortCommand::NotifyModemState, "0") +
                     serverAnswer(ComPortCommand::NotifyLineState, "\x60"));
    EXPECT_EQ(readPortUntil(*c.port, 6), "early\xff");
    EXPECT_FALSE(c.port->readBack().anyAnswered());
    EXPECT_EQ(c.port->modemState(), 0x30);
    EXPECT_EQ(c.port->lineState(), 0x60);

    // The server sets another rate (3000000: a window of 30000 bytes), takes the data size, parity and two stop
    // bits as asked, and answers the DTR command (the same SET-CONTROL code), which says nothing about the flow.
    c.server.sendAll(serverAnswer(ComPortCommand::SetControl, "\x08") +
                     serverAnswer(ComPortCommand::SetBaudRate, bytesOf({0, 0x2D, 0xC6, 0xC0})) +
                     serverAnswer(ComPortCommand::SetDataSize, "\x07") +
                     serverAnswer(ComPortCommand::SetParity, "\x02") +
                     serverAnswer(ComPortCommand::SetStopSize, "\x02") + "x");
    EXPECT_EQ(readPortUntil(*c.port, 1), "x");
    const NetworkReadBack rb = c.port->readBack();
    EXPECT_TRUE(rb.asked.baudRate == 12345u && rb.baudRate == 3000000u && rb.dataBits == 7 && rb.parity == 1);
    EXPECT_TRUE(rb.baudAnswered && rb.dataBitsAnswered && rb.parityAnswered && rb.stopBitsAnswered && rb.twoStopBits);
    EXPECT_TRUE(rb.differs() && !rb.flowAnswered);
    EXPECT_EQ(c.port->inFlightLimit(), 30000u);

    // The rate answered as asked: nothing differs any more.
    c.server.sendAll(serverAnswer(ComPortCommand::SetBaudRate, bytesOf({0, 0, 0x30, 0x39})) + "y");
    EXPECT_EQ(readPortUntil(*c.port, 1), "y");
    EXPECT_FALSE(c.port->readBack().differs());

    // A suspend holds the writer (the output wait with it) until the resume.
    c.server.sendAll(serverAnswer(ComPortCommand::FlowControlSuspend, "") + "s");
    EXPECT_TRUE(readPortUntil(*c.port, 1) == "s" && c.port->sendingPaused());
    EXPECT_TRUE(c.write("ab") == -1 && errno == EAGAIN && c.port->outputQueued() > 0);
    c.server.sendAll(serverAnswer(ComPortCommand::FlowControlResume, "") + "r");
    EXPECT_TRUE(readPortUntil(*c.port, 1) == "r" && !c.port->sendingPaused());
    EXPECT_EQ(c.write("ab"), 2);
}

// ser2net with its device missing accepts, says so as plain data and closes (or resets): that line is the server's,
// not the device's. After an answer, or on raw TCP at once, it is data; a reset with nothing said is a failure.
TEST(NetworkPortTest, ALineBeforeAnyAnswerThenACloseIsTheServersMessage) {
    const std::string line = "Device open failure: Value or file not found\r\n", raw = escapeHeavy(30000, 2) + line;
    const std::tuple<const char*, NetworkScheme, std::string, bool, std::string, NetworkLoss> cases[] = {
        {"stream ended", NetworkScheme::Rfc2217, line, false, "", NetworkLoss::ServerMessage},
        {"closed with the settings unread", NetworkScheme::Rfc2217, line, true, "", NetworkLoss::ServerMessage},
        {"answered first", NetworkScheme::Rfc2217, serverAnswer(ComPortCommand::SetDataSize, "\x08") + "last", false, "last",
         NetworkLoss::Closed},
        {"raw", NetworkScheme::Tcp, raw, false, raw, NetworkLoss::Closed},
#ifndef _WIN32  // Wine closes a socket with unread data in order, without a reset
        {"nothing said, reset", NetworkScheme::Rfc2217, "", true, "", NetworkLoss::Failed},
#endif
    };
    for (const auto& [name, scheme, said, reset, data, loss] : cases) {
        SCOPED_TRACE(name);
        Connected c(scheme);
        EXPECT_TRUE(scheme == NetworkScheme::Rfc2217 || (!c.port->carriesSettings() && c.port->inFlightLimit() == 256u * 1024));
        c.server.sendAll(said);
        reset ? c.server.close() : c.server.shutdownWrite();
        EXPECT_TRUE(readPortUntil(*c.port) == data && c.port->loss() == loss) << int(c.port->loss());
        EXPECT_TRUE(c.port->serverMessage() == (said == line ? "Device open failure: Value or file not found" : "") &&
                    c.port->lossError() == (loss == NetworkLoss::Failed ? ECONNRESET : 0)) << c.port->serverMessage();
        uint8_t buffer[16];
        EXPECT_TRUE(c.port->readData(buffer, sizeof buffer) == -1 && c.port->writeData(buffer, 1) == -1);
    }
}

// A server that keeps asking for replies (DO and DONT BINARY, over and over, a data byte now and then) and
// never reads: what the port holds for it grows to 320 KiB at most, then the port lets go of it.
TEST(NetworkPortTest, AServerThatNeverReadsItsRepliesIsDroppedOnce320KiBAreHeldForIt) {
#ifdef _WIN32
    GTEST_SKIP() << "Wine's sockets take in far more than a system's before the port holds anything";
#endif
    Connected c(NetworkScheme::Rfc2217, 4096);
    std::string block = "x";
    while (block.size() < 30000) block += bytesOf({IAC, DO, BINARY, IAC, DONT, BINARY});
    std::thread server([&] { while (c.server.sendAll(block)) continue; });
    size_t peak = 0;
    uint8_t buffer[4096];
    while (!c.port->lost() && peak <= (1u << 20) && waitPortInput(*c.port, 10000) > 0) {
        c.port->readData(buffer, sizeof buffer);
        peak = std::max(peak, c.port->heldBytes());
    }
    EXPECT_TRUE(c.port->loss() == NetworkLoss::NotReading && c.port->lossError() == ENOBUFS);
    EXPECT_TRUE(peak > 320u * 1024 - sizeof buffer && peak <= 320u * 1024 && c.port->heldBytes() == 0u) << peak;
    c.port.reset();
    server.join();
}

TEST(NetworkPortTest, WriteTheSocketTakesInPartKeepsItsRestWholeBeforeAnythingElse) {
    // Small buffers and the largest window: the socket fills before the window does.
    Connected c(NetworkScheme::Rfc2217, 4096, {100000000});
    // Write until the socket refuses: the last write taken was taken in part, its rest held here.
    const std::string chunk = escapeHeavy(777, 3) + std::string(9, '\xFF');
    std::string accepted;
    ssize_t w = 0;
    for (int i = 0; i < 100000 && (w = c.write(chunk)) == static_cast<ssize_t>(chunk.size()); ++i) accepted += chunk;
    ASSERT_TRUE(w == -1 && errno == EAGAIN && !accepted.empty() && c.port->heldBytes() > 0u) << w;

    // A reply owed to the server while the rest waits goes after it, not into it.
    c.server.sendAll(bytesOf({IAC, DO, ECHO_OPTION}));
    uint8_t buffer[64];
    for (bool read = true; read;) {
        ASSERT_GT(waitPortInput(*c.port, 10000), 0);
        read = c.port->readData(buffer, sizeof buffer) >= 0 || errno != EAGAIN;
    }
    const std::string refusal = bytesOf({IAC, WONT, ECHO_OPTION});
    ServerView view;
    const auto refused = [&](const ServerView& v) { return !v.negotiations.empty() && v.negotiations.back() == refusal; };
    std::thread serverReader([&] { view = readServer(c.server, refused); });
    flushPort(*c.port);
    serverReader.join();
    EXPECT_TRUE(!c.port->lost() && view.data == accepted) << "server got " << view.data.size() << " of " << accepted.size();
    ASSERT_EQ(view.negotiations.back(), refusal);
    EXPECT_EQ(view.negotiationAt.back(), accepted.size());
}

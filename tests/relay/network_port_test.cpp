// Network ports through real sockets on 127.0.0.1, the same on both systems: the device paths
// that name them, the connect that runs on its own thread (refused, unresolvable, silent,
// cancelled), and a connected port against a server of the test's own that reads and writes the
// raw Telnet stream, so that what crosses the wire is checked byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

#ifndef _WIN32
#include <netdb.h>  // gai_strerror
#endif

#include "relay/network_port.h"
#include "tests/support/network_test_data.h"
#include "tests/support/test_socket.h"

using namespace telnet;

namespace {

constexpr int kWaitMs = 10000;

// Sends what the port holds until nothing is left (or the port is lost).
void flushPort(NetworkPort& port) {
    while (port.outputQueued() > 0 && !port.lost()) {
        port.flush();
        waitPortRoom(port, 10);
    }
}

// A client port connected to a socket the test holds as the server.
struct Connected {
    TestListener listener;
    TestSocket server;
    std::unique_ptr<NetworkPort> port;

    explicit Connected(NetworkScheme scheme = NetworkScheme::Rfc2217, int bufferSize = 0)
        : listener(1, bufferSize) {
        TestSocket client = connectLocal(listener.port(), bufferSize);
        server = listener.accept();
        EXPECT_TRUE(client.valid() && server.valid());
        if (bufferSize > 0) server.setBuffers(bufferSize);
        port = std::make_unique<NetworkPort>(client.release(), scheme);
    }
    void started(const NetworkLineSettings& settings = {}) { ASSERT_EQ(port->start(settings), 0); }
    // The server's reading of everything until `enough`, or until the stream pauses for long.
    ServerView serverReads(const std::function<bool(const ServerView&)>& enough) {
        ServerView view;
        while (!enough(view)) {
            const std::string more = server.receiveSome();
            if (more.empty()) break;
            view.feed(more);
        }
        return view;
    }
    ssize_t write(const std::string& data) {
        return port->writeData(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
};

}  // namespace

// ---- Device paths ----

struct PathCase {
    const char* path;
    bool valid;
    NetworkScheme scheme = NetworkScheme::Rfc2217;
    const char* host = "";
    uint16_t port = 0;
};

class NetworkPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(NetworkPathTest, ReadsSchemeHostAndPortOrRefusesThePath) {
    const PathCase& c = GetParam();
    NetworkAddress address{NetworkScheme::Tcp, "untouched", 7};
    ASSERT_EQ(parseNetworkPath(c.path, address), c.valid) << c.path;
    EXPECT_EQ(isNetworkPath(c.path), std::string_view(c.path).starts_with("rfc2217://") ||
                                         std::string_view(c.path).starts_with("tcp://"));
    if (c.valid) {
        EXPECT_EQ(address.scheme, c.scheme);
        EXPECT_EQ(address.host, c.host);
        EXPECT_EQ(address.port, c.port);
    } else {
        EXPECT_EQ(address.host, "untouched");  // a refused path leaves the address as it was
        EXPECT_EQ(address.port, 7);
    }
}

constexpr auto R = NetworkScheme::Rfc2217;
constexpr auto T = NetworkScheme::Tcp;
INSTANTIATE_TEST_SUITE_P(
    Paths, NetworkPathTest,
    testing::Values(
        PathCase{"rfc2217://lab-pi:4001", true, R, "lab-pi", 4001},
        PathCase{"tcp://lab-pi.example.org:2000", true, T, "lab-pi.example.org", 2000},
        PathCase{"rfc2217://192.168.1.20:1", true, R, "192.168.1.20", 1},
        PathCase{"tcp://10.0.0.1:65535", true, T, "10.0.0.1", 65535},
        PathCase{"rfc2217://[::1]:4001", true, R, "::1", 4001},
        PathCase{"tcp://[2001:db8::20]:7000", true, T, "2001:db8::20", 7000},
        // A zone names the interface: a link-local address needs one.
        PathCase{"tcp://[fe80::1%eth0]:4002", true, T, "fe80::1%eth0", 4002},
        PathCase{"rfc2217://[fe80::1%2]:4001", true, R, "fe80::1%2", 4001},
        PathCase{"tcp://[fe80::1]:4002", false}, PathCase{"tcp://[fe80::1%]:4002", false},
        PathCase{"tcp://[fe80::1%eth0/x]:4002", false}, PathCase{"tcp://[fe80::1%et h0]:4002", false},
        PathCase{"tcp://fe80::1%eth0:4002", false},
        // Ports out of range or not a number.
        PathCase{"rfc2217://lab-pi:0", false}, PathCase{"rfc2217://lab-pi:65536", false},
        PathCase{"rfc2217://lab-pi:99999", false}, PathCase{"rfc2217://lab-pi:-1", false},
        PathCase{"rfc2217://lab-pi:40a1", false}, PathCase{"rfc2217://lab-pi:", false},
        PathCase{"rfc2217://lab-pi", false}, PathCase{"rfc2217://lab-pi:123456", false},
        // No scheme, another scheme, nothing after it.
        PathCase{"lab-pi:4001", false}, PathCase{"/dev/ttyUSB0", false},
        PathCase{"http://lab-pi:4001", false}, PathCase{"rfc2217:/lab-pi:4001", false},
        PathCase{"tcp://", false}, PathCase{"", false}, PathCase{"tcp://not even a host", false},
        // IPv6 without brackets, brackets not closed or not an address, no host.
        PathCase{"rfc2217://::1:4001", false}, PathCase{"rfc2217://[::1:4001", false},
        PathCase{"rfc2217://[::1]4001", false}, PathCase{"rfc2217://[lab-pi]:4001", false},
        PathCase{"rfc2217://[]:4001", false}, PathCase{"rfc2217://:4001", false},
        // Junk around or inside the host.
        PathCase{"rfc2217://lab pi:4001", false}, PathCase{"rfc2217://lab-pi:4001/", false},
        PathCase{"tcp://user@lab-pi:4001", false}, PathCase{"tcp://lab-pi:4001 ", false},
        PathCase{" tcp://lab-pi:4001", false}));

// ---- Connecting ----

TEST(NetworkConnectorTest, ConnectsOffThreadHandsOverATunedSocketOnceAndCallsBackOnce) {
    TestListener listener;
    std::atomic<int> calls{0};
    NetworkConnector connector(loopback(listener.port()), NetworkConnector::kDefaultTimeout, [&] { ++calls; });
    const ConnectResult r = awaitResult(connector);
    ASSERT_EQ(r.state, ConnectResult::State::Connected) << r.systemError;
    TestSocket taken(connector.take());
    ASSERT_TRUE(taken.valid());
    EXPECT_EQ(connector.take(), kNoSocket) << "handed over once";
    const TestSocket accepted = listener.accept();
    EXPECT_TRUE(accepted.valid());

    const SocketTuning tuning = tuningOf(taken.get());
    EXPECT_TRUE(tuning.noDelay);
    EXPECT_TRUE(tuning.keepAlive);
    EXPECT_TRUE(tuning.readsWithoutWaiting);
    if (tuning.keepAliveSeconds >= 0) {
        EXPECT_LE(tuning.keepAliveSeconds, 30) << "a silent dead peer is found within half a minute";
    }
    for (int i = 0; i < kWaitMs / 5 && calls.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(calls.load(), 1);
}

TEST(NetworkConnectorTest, ConnectsByName) {
    TestListener listener;
    NetworkConnector connector({NetworkScheme::Tcp, "localhost", listener.port()});
    // localhost may give ::1 first, where nothing listens: the next address is tried.
    ASSERT_EQ(awaitResult(connector).state, ConnectResult::State::Connected);
    EXPECT_TRUE(TestSocket(connector.take()).valid());
}

TEST(NetworkConnectorTest, ClosedPortIsRefused) {
    TestListener notListening(-1);
    NetworkConnector connector(loopback(notListening.port()));
    const ConnectResult r = awaitResult(connector);
    EXPECT_EQ(r.state, ConnectResult::State::Failed);
    EXPECT_EQ(r.failure, ConnectResult::Failure::Connect);
    EXPECT_EQ(r.systemError, ECONNREFUSED);
    EXPECT_EQ(connector.take(), kNoSocket);
}

TEST(NetworkConnectorTest, UnresolvableNameIsTheResolversFailureInItsWords) {
    NetworkConnector connector({NetworkScheme::Rfc2217, "no-such-host.invalid", 4001});
    const ConnectResult r = awaitResult(connector);
    EXPECT_EQ(r.state, ConnectResult::State::Failed);
    EXPECT_EQ(r.failure, ConnectResult::Failure::Resolve);
    EXPECT_NE(r.resolverError, 0);
    EXPECT_FALSE(r.resolverMessage.empty());
    EXPECT_EQ(r.resolverMessage.find('\n'), std::string::npos) << "one line: " << r.resolverMessage;
#ifndef _WIN32
    EXPECT_EQ(r.resolverMessage, gai_strerror(r.resolverError));
#endif
}

TEST(NetworkConnectorTest, AddressThatNeverAnswersTimesOut) {
    SilentListener silent;
    NetworkConnector connector(loopback(silent.port()), std::chrono::milliseconds(300));
    const ConnectResult r = awaitResult(connector);
    EXPECT_EQ(r.state, ConnectResult::State::Failed);
    EXPECT_EQ(r.failure, ConnectResult::Failure::TimedOut);
    EXPECT_EQ(r.systemError, ETIMEDOUT);
    EXPECT_EQ(connector.take(), kNoSocket);
}

bool awaitConnecting(uint16_t port, int count) {
    for (int i = 0; i < kWaitMs / 5; ++i) {
        if (socketsConnectingTo(port) == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Only the cancel (or the end of the connector) can end these connects in time: their own
// time-out is far longer than the test waits. Each must let go of its socket.
TEST(NetworkConnectorTest, CancelOrDestroyEndsAConnectInProgressAndNoCallbackFollows) {
    SilentListener silent;
    const int fillers = socketsConnectingTo(silent.port());
    if (fillers < 0) GTEST_SKIP() << "the system's connection table cannot be read here";
    std::atomic<int> calls{0};
    const std::chrono::minutes longTimeout(10);
    {
        NetworkConnector connector(loopback(silent.port()), longTimeout, [&] { ++calls; });
        ASSERT_TRUE(awaitConnecting(silent.port(), fillers + 1)) << "the connect is under way";
        EXPECT_EQ(connector.result().state, ConnectResult::State::Pending);
        connector.cancel();
        EXPECT_EQ(connector.result().state, ConnectResult::State::Cancelled);
        EXPECT_EQ(connector.take(), kNoSocket);
        EXPECT_TRUE(awaitConnecting(silent.port(), fillers)) << "the connect thread let go of its socket";
    }
    {
        NetworkConnector dropped(loopback(silent.port()), longTimeout, [&] { ++calls; });
        ASSERT_TRUE(awaitConnecting(silent.port(), fillers + 1));
    }
    EXPECT_TRUE(awaitConnecting(silent.port(), fillers));
    EXPECT_EQ(calls.load(), 0);
}

// ---- A connected port ----

// The negotiation, then every setting, then DTR and RTS raised; an odd rate goes as it is, and
// DTR/DSR flow (which Flow::None stands for as well) is asked as no flow.
TEST(NetworkPortTest, StartSendsTheNegotiationThenTheSettingsWithDtrAndRtsRaised) {
    const auto command = [](std::initializer_list<int> codeAndValue) {
        return bytesOf({IAC, SB, COM_PORT_OPTION}) + bytesOf(codeAndValue) + bytesOf({IAC, SE});
    };
    const std::string negotiation =
        bytesOf({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA, IAC, WILL, COM_PORT_OPTION});
    const std::string dtrAndRts = command({5, 8}) + command({5, 11});
    NetworkLineSettings odd;
    odd.baudRate = 12345;
    odd.dataBits = 7;
    odd.parity = 2;
    odd.twoStopBits = true;
    odd.flow = NetworkLineSettings::Flow::RtsCts;
    const std::pair<NetworkLineSettings, std::string> cases[] = {
        {odd, command({1, 0, 0, 0x30, 0x39}) + command({2, 7}) + command({3, 3}) + command({4, 2}) + command({5, 3})},
        {NetworkLineSettings{}, command({1, 0, 0, 0x25, 0x80}) + command({2, 8}) + command({3, 1}) + command({4, 1}) +
                                    command({5, 1})},
    };
    for (const auto& [settings, expected] : cases) {
        SCOPED_TRACE(settings.baudRate);
        Connected c;
        c.started(settings);
        const std::string wire = negotiation + expected + dtrAndRts;
        EXPECT_EQ(c.server.receive(wire.size()), wire);
    }
}

TEST(NetworkPortTest, RawTcpSendsNoSettingsAndCarriesTheBytesAsTheyAreBothWays) {
    Connected c(NetworkScheme::Tcp);
    EXPECT_FALSE(c.port->carriesSettings());
    c.started();
    const std::string out = escapeHeavy(20000, 1), in = escapeHeavy(30000, 2);
    ASSERT_EQ(c.write(out), static_cast<ssize_t>(out.size()));
    flushPort(*c.port);
    EXPECT_TRUE(c.server.receive(out.size()) == out) << "nothing before the data, and 0xFF not doubled";
    ASSERT_TRUE(c.server.sendAll(in));
    EXPECT_TRUE(readPortUntil(*c.port, atLeast(in.size())) == in);
    EXPECT_FALSE(c.port->lost());
}

TEST(NetworkPortTest, DataWithManyIacsCrossesBothWaysExactlyAndCommandsNeverBecomeData) {
    Connected c;
    c.started();
    const std::string toServer = escapeHeavy(200000, 1);
    const std::string toClient = escapeHeavy(200000, 2);

    // The server sends its data escaped, with commands (a NOP, a DO ECHO to refuse, a line state
    // notification) between the pieces, and takes in the client's stream meanwhile.
    std::thread server([&] {
        for (size_t at = 0; at < toClient.size(); at += 997) {
            c.server.sendAll(escaped(toClient.substr(at, 997)) + bytesOf({IAC, 241, IAC, DO, ECHO_OPTION}) +
                             serverAnswer(ComPortCommand::NotifyLineState, "\x60"));
        }
    });
    ServerView view;
    std::thread serverReader([&] { view = c.serverReads([&](const ServerView& v) { return v.data.size() >= toServer.size(); }); });
    std::thread writer([&] {
        for (size_t at = 0; at < toServer.size() && !c.port->lost();) {
            const size_t n = std::min<size_t>(1500, toServer.size() - at);
            const ssize_t w = c.write(toServer.substr(at, n));
            if (w > 0) {
                ASSERT_LE(w, static_cast<ssize_t>(n));  // what the window in flight has room for
                at += static_cast<size_t>(w);
            } else {
                ASSERT_EQ(errno, EAGAIN);
                waitPortRoom(*c.port, 100);
            }
        }
        flushPort(*c.port);
    });
    const std::string got = readPortUntil(*c.port, atLeast(toClient.size()));
    writer.join();
    server.join();
    serverReader.join();

    EXPECT_FALSE(c.port->lost());
    EXPECT_TRUE(got == toClient) << "received " << got.size() << " of " << toClient.size();
    EXPECT_TRUE(view.data == toServer) << "server got " << view.data.size() << " of " << toServer.size();
    EXPECT_EQ(c.port->lineState(), 0x60);

    // The server ends its stream: the client takes in the last commands (no data among them),
    // and once it has closed, everything it answered is at the server.
    c.server.shutdownWrite();
    EXPECT_EQ(readPortUntil(*c.port, never), "");
    EXPECT_EQ(c.port->loss(), NetworkLoss::Closed);
    c.port.reset();
    for (std::string more; !(more = c.server.receiveSome()).empty();) view.feed(more);
    EXPECT_EQ(std::count(view.negotiations.begin(), view.negotiations.end(), bytesOf({IAC, WONT, ECHO_OPTION})), 1)
        << "refused once, however often the server asked";
}

TEST(NetworkPortTest, ReadOfOnlyCommandsGivesNoDataAndIsNotEndOfFile) {
    Connected c;
    c.started();
    c.server.sendAll(bytesOf({IAC, 241, IAC, WILL, BINARY, IAC, 241}) + serverAnswer(ComPortCommand::NotifyModemState, "\x30"));
    uint8_t buffer[256];
    while (c.port->modemState() < 0) {
        ASSERT_GT(waitPortInput(*c.port, kWaitMs), 0);
        ASSERT_EQ(c.port->readData(buffer, sizeof buffer), -1);
        ASSERT_EQ(errno, EAGAIN);
    }
    EXPECT_EQ(c.port->modemState(), 0x30);
    EXPECT_FALSE(c.port->lost());
    c.server.sendAll("after");  // data after the commands still comes through the same port
    EXPECT_EQ(readPortUntil(*c.port, atLeast(5)), "after");
}

TEST(NetworkPortTest, ServerAnswersAreTheReadBack) {
    Connected c;
    NetworkLineSettings settings;
    settings.baudRate = 12345;
    settings.dataBits = 7;
    settings.parity = 1;
    c.started(settings);
    EXPECT_FALSE(c.port->readBack().anyAnswered());

    // The server sets another rate, takes the data size and parity as asked, and answers the DTR
    // command (the same SET-CONTROL code), which says nothing about the flow.
    c.server.sendAll(serverAnswer(ComPortCommand::SetControl, "\x08") +
                     serverAnswer(ComPortCommand::SetBaudRate, bytesOf({0, 0, 0x10, 0})) +
                     serverAnswer(ComPortCommand::SetDataSize, "\x07") +
                     serverAnswer(ComPortCommand::SetParity, "\x02") + "x");
    EXPECT_EQ(readPortUntil(*c.port, atLeast(1)), "x");
    const NetworkReadBack rb = c.port->readBack();
    EXPECT_EQ(rb.asked.baudRate, 12345u);
    EXPECT_TRUE(rb.baudAnswered);
    EXPECT_EQ(rb.baudRate, 4096u);
    EXPECT_TRUE(rb.dataBitsAnswered);
    EXPECT_EQ(rb.dataBits, 7);
    EXPECT_TRUE(rb.parityAnswered);
    EXPECT_EQ(rb.parity, 1);
    EXPECT_FALSE(rb.flowAnswered);
    EXPECT_FALSE(rb.stopBitsAnswered);
    EXPECT_TRUE(rb.differs());

    // The rate answered as asked: nothing differs any more.
    c.server.sendAll(serverAnswer(ComPortCommand::SetBaudRate, bytesOf({0, 0, 0x30, 0x39})) + "y");
    EXPECT_EQ(readPortUntil(*c.port, atLeast(1)), "y");
    EXPECT_FALSE(c.port->readBack().differs());
}

TEST(NetworkPortTest, OverlongAnswerIsDroppedWholeAndDataGoesOn) {
    Connected c;
    c.started();
    // A rate answer padded past the longest subnegotiation kept: not a read-back, not data.
    c.server.sendAll(serverAnswer(ComPortCommand::SetBaudRate,
                                  bytesOf({0, 0, 0x10, 0}) + std::string(TelnetCodec::kMaxSubnegotiation, 'p')) + "z");
    EXPECT_EQ(readPortUntil(*c.port, atLeast(1)), "z");
    EXPECT_FALSE(c.port->readBack().baudAnswered);
    EXPECT_FALSE(c.port->lost());
}

TEST(NetworkPortTest, PeerClosingLosesThePortAsClosedAndItStaysLost) {
    Connected c;
    c.started();
    // Answered first: what follows is the device's, not a message of the server's.
    c.server.sendAll(serverAnswer(ComPortCommand::SetDataSize, "\x08") + "last");
    c.server.shutdownWrite();
    EXPECT_EQ(readPortUntil(*c.port, never), "last");
    EXPECT_EQ(c.port->loss(), NetworkLoss::Closed);
    uint8_t buffer[16];
    EXPECT_EQ(c.port->readData(buffer, sizeof buffer), -1);
    EXPECT_EQ(c.port->writeData(buffer, 1), -1);
}

TEST(NetworkPortTest, PeerResettingLosesThePortAsFailedWithTheReset) {
#ifdef _WIN32
    GTEST_SKIP() << "Wine closes a socket whose linger is 0 in order, without a reset";
#endif
    Connected c(NetworkScheme::Tcp);
    c.started();
    c.server.reset();
    readPortUntil(*c.port, never);
    EXPECT_EQ(c.port->loss(), NetworkLoss::Failed);
    EXPECT_EQ(c.port->lossError(), ECONNRESET);
}

// ser2net with its device missing accepts, says so as plain data and closes: that line is the
// server's, not the device's, whether the close reads as an end or (the port's settings unread
// at the server) as a reset.
TEST(NetworkPortTest, LineBeforeAnyAnswerThenCloseIsTheServersMessage) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "closed with the settings unread" : "stream ended");
        Connected c;
        c.started();
        c.server.sendAll("Device open failure: Value or file not found\r\n");
        if (reset) c.server.close();
        else c.server.shutdownWrite();
        EXPECT_EQ(readPortUntil(*c.port, never), "") << "the message is not device data";
        EXPECT_EQ(c.port->loss(), NetworkLoss::ServerMessage);
        EXPECT_EQ(c.port->serverMessage(), "Device open failure: Value or file not found");
    }
}

// Data before any answer that is not followed by the close is the device's after all, and comes
// through whole and in order.
TEST(NetworkPortTest, DataBeforeAnyAnswerWithoutACloseIsTheDevices) {
    Connected c;
    c.started();
    c.server.sendAll("early\xff\xff");  // an escaped 0xFF among it
    EXPECT_EQ(readPortUntil(*c.port, atLeast(6)), "early\xff");
    c.server.sendAll("later");
    EXPECT_EQ(readPortUntil(*c.port, atLeast(5)), "later");
    EXPECT_FALSE(c.port->lost());
}

// A raw port has no answers to wait for: its first bytes are the device's at once, even when
// the close follows.
TEST(NetworkPortTest, RawPortsFirstBytesAreTheDevicesEvenBeforeAClose) {
    Connected c(NetworkScheme::Tcp);
    c.started();
    c.server.sendAll("bye");
    c.server.shutdownWrite();
    EXPECT_EQ(readPortUntil(*c.port, never), "bye");
    EXPECT_EQ(c.port->loss(), NetworkLoss::Closed);
}

TEST(NetworkPortTest, CommandFloodClosesThePortWithItsReason) {
    Connected c;
    c.started();
    std::string nops;
    for (size_t i = 0; i < TelnetCodec::kCommandFloodBytes; i += 2) nops += bytesOf({IAC, 241});
    std::thread server([&] { c.server.sendAll(serverAnswer(ComPortCommand::SetDataSize, "\x08") + "ok" + nops + nops); });
    EXPECT_EQ(readPortUntil(*c.port, never), "ok");
    EXPECT_EQ(c.port->loss(), NetworkLoss::CommandFlood);
    c.port.reset();  // closed, so that the server's send ends instead of waiting for a reader
    server.join();
}

TEST(NetworkPortTest, SuspendHoldsTheWriterUntilResume) {
    Connected c;
    c.started();
    c.server.sendAll(serverAnswer(ComPortCommand::FlowControlSuspend, "") + "s");
    EXPECT_EQ(readPortUntil(*c.port, atLeast(1)), "s");
    EXPECT_TRUE(c.port->sendingPaused());
    EXPECT_EQ(c.write("ab"), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GT(c.port->outputQueued(), 0);  // the output wait holds the writer meanwhile

    c.server.sendAll(serverAnswer(ComPortCommand::FlowControlResume, "") + "r");
    EXPECT_EQ(readPortUntil(*c.port, atLeast(1)), "r");
    EXPECT_FALSE(c.port->sendingPaused());
    EXPECT_EQ(c.write("ab"), 2);
}

TEST(NetworkPortTest, WriteTheSocketTakesInPartKeepsItsRestWholeBeforeAnythingElse) {
    Connected c(NetworkScheme::Rfc2217, 4096);  // small buffers: the socket fills quickly
    NetworkLineSettings fast;
    fast.baudRate = 100000000;  // the largest window: the socket fills before it does
    c.started(fast);

    // Write until the socket refuses: the last write that was taken was taken in part by the
    // system, its rest held here.
    const std::string chunk = escapeHeavy(777, 3) + std::string(9, '\xFF');
    std::string accepted;
    for (int i = 0; i < 100000; ++i) {
        const ssize_t w = c.write(chunk);
        if (w < 0) {
            ASSERT_EQ(errno, EAGAIN);
            break;
        }
        ASSERT_EQ(w, static_cast<ssize_t>(chunk.size()));
        accepted += chunk;
    }
    ASSERT_FALSE(accepted.empty());
    EXPECT_GT(c.port->heldBytes(), 0u);

    // A reply owed to the server while the rest waits goes after it, not into it.
    c.server.sendAll(bytesOf({IAC, DO, ECHO_OPTION}));
    uint8_t buffer[64];
    for (;;) {
        ASSERT_GT(waitPortInput(*c.port, kWaitMs), 0);
        if (c.port->readData(buffer, sizeof buffer) < 0 && errno == EAGAIN) break;
    }
    const std::string refusal = bytesOf({IAC, WONT, ECHO_OPTION});
    ServerView view;
    std::thread serverReader([&] {
        view = c.serverReads([&](const ServerView& v) { return !v.negotiations.empty() && v.negotiations.back() == refusal; });
    });
    flushPort(*c.port);
    serverReader.join();
    EXPECT_FALSE(c.port->lost());
    EXPECT_TRUE(view.data == accepted) << "server got " << view.data.size() << " of " << accepted.size();
    ASSERT_EQ(view.negotiations.back(), refusal);
    EXPECT_EQ(view.negotiationAt.back(), accepted.size());
}

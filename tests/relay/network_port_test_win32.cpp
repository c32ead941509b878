// Network ports through Winsock, against servers of the test's own on 127.0.0.1 (under Wine,
// Linux sockets behind Wine's Winsock): the connect on its own thread (refused, unresolvable,
// tuned), a connected port in both schemes with what crosses the wire checked byte for byte,
// the worker's waits on the socket with two workers on one socket, and the relay with one end a
// network port and the other a COM cable, through a loss and the reconnect.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "relay/network_port.h"
#include "relay/network_win32.h"
#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "relay/telnet_codec.h"
#include "relay/worker_wait.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"
#include "tests/support/network_test_data.h"

using namespace telnet;
using namespace std::chrono_literals;

namespace {

// Generous bounds for waits that end as soon as what they wait for happens; reaching one is a
// failure of the test, not a time being measured.
constexpr int kWaitMs = 10000;

void startWinsock() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    ASSERT_TRUE(started);
}

struct Socket {
    SOCKET s = INVALID_SOCKET;
    Socket() = default;
    explicit Socket(SOCKET s_) : s(s_) {}
    Socket(Socket&& o) noexcept : s(o.s) { o.s = INVALID_SOCKET; }
    Socket& operator=(Socket&& o) noexcept {
        std::swap(s, o.s);
        return *this;
    }
    ~Socket() { close(); }
    void close() {
        if (s != INVALID_SOCKET) closesocket(s);
        s = INVALID_SOCKET;
    }
    SOCKET release() {
        const SOCKET r = s;
        s = INVALID_SOCKET;
        return r;
    }
    bool valid() const { return s != INVALID_SOCKET; }
};

uint16_t localPort(SOCKET s) {
    sockaddr_in addr{};
    int length = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
}

// A socket bound to a free port of 127.0.0.1, listening unless `listening` is false.
Socket boundSocket(bool listening = true) {
    startWinsock();
    Socket s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(s.s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    if (listening) {
        EXPECT_EQ(::listen(s.s, 4), 0);
    }
    return s;
}

// The next connection on the listener, or an invalid socket when none came in time.
Socket acceptWithin(SOCKET listener, int timeoutMs = kWaitMs) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener, &ready);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (::select(0, &ready, nullptr, nullptr, &wait) != 1) return Socket();
    return Socket(::accept(listener, nullptr, nullptr));
}

Socket connectTo(uint16_t port) {
    Socket c(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    EXPECT_EQ(::connect(c.s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return c;
}

void sendAll(SOCKET s, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const int n = ::send(s, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        ASSERT_GT(n, 0) << "send failed: " << WSAGetLastError();
        done += static_cast<size_t>(n);
    }
}

// Reads on a blocking socket until `count` bytes came, the peer closed, or nothing came for
// timeoutMs.
std::string receiveSome(SOCKET s, size_t count, int timeoutMs = kWaitMs) {
    std::string got;
    char buffer[16384];
    while (got.size() < count) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(s, &ready);
        timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (::select(0, &ready, nullptr, nullptr, &wait) != 1) break;
        const int n = ::recv(s, buffer, static_cast<int>(std::min(sizeof buffer, count - got.size())), 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

std::string doubled(const std::string& data) {
    std::string out;
    for (char c : data) {
        out += c;
        if (static_cast<uint8_t>(c) == IAC) out += c;
    }
    return out;
}

// The server's side of a Telnet stream, read independently of the port's own codec: the data
// bytes (IAC IAC undoubled) and the Com Port Control commands the client sent, each as its
// command byte followed by its value bytes.
struct TelnetSeen {
    std::string data;
    std::vector<std::string> comPortCommands;
    int negotiations = 0;
};

TelnetSeen readTelnet(const std::string& wire) {
    TelnetSeen seen;
    for (size_t i = 0; i < wire.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(wire[i]);
        if (b != IAC) {
            seen.data += wire[i];
            continue;
        }
        if (++i >= wire.size()) break;
        const uint8_t command = static_cast<uint8_t>(wire[i]);
        if (command == IAC) {
            seen.data += static_cast<char>(IAC);
        } else if (command == WILL || command == WONT || command == DO || command == DONT) {
            ++i;
            ++seen.negotiations;
        } else if (command == SB) {
            std::string body;
            for (++i; i + 1 < wire.size() && !(static_cast<uint8_t>(wire[i]) == IAC && static_cast<uint8_t>(wire[i + 1]) == SE); ++i) {
                body += wire[i];
                if (static_cast<uint8_t>(wire[i]) == IAC) ++i;  // a doubled IAC inside the value
            }
            ++i;
            if (!body.empty() && static_cast<uint8_t>(body[0]) == COM_PORT_OPTION) seen.comPortCommands.push_back(body.substr(1));
        }
    }
    return seen;
}

// A connected port and the server's end of its connection.
struct PortPair {
    Socket listener, server;
    std::unique_ptr<NetworkPort> port;

    explicit PortPair(NetworkScheme scheme) {
        listener = boundSocket();
        Socket client = connectTo(localPort(listener.s));
        server = acceptWithin(listener.s);
        EXPECT_TRUE(server.valid());
        port = std::make_unique<NetworkPort>(static_cast<NetworkSocket>(client.release()), scheme);
    }

    // Reads the port as its worker does: a wait on the socket, then a read, until `count` data
    // bytes came or the port was lost.
    std::string readPort(size_t count) {
        std::string got;
        uint8_t buffer[4096];
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (got.size() < count && !port->lost() && std::chrono::steady_clock::now() < giveUp) {
            const int events = waitForNetworkInput(*port, kNoWake, 1000);
            EXPECT_GE(events, 0) << "the socket cannot be waited on: " << errno;
            if (events < 0) break;
            const ssize_t n = port->readData(buffer, sizeof buffer);
            if (n > 0) got.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
            if (n == 0) break;
        }
        return got;
    }
};

// Raises a wake-up after a long while, so that a wait that never ends fails the test instead of
// hanging it; its destructor takes the wake-up away.
struct Watchdog {
    WakeHandle wake = kNoWake;
    std::thread thread;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Watchdog() {
        makeWake(wake);
        thread = std::thread([this] {
            if (WaitForSingleObject(done, kWaitMs) == WAIT_TIMEOUT) raiseWake(wake);
        });
    }
    ~Watchdog() {
        SetEvent(done);
        thread.join();
        CloseHandle(done);
        closeWake(wake);
    }
};

// ---- Connecting ----

TEST(NetworkConnectorWin32, ConnectsAndHandsOverANonBlockingSocketWithNoDelayAndKeepalive) {
    Socket listener = boundSocket();
    NetworkConnector connector(loopback(localPort(listener.s)));
    const ConnectResult r = awaitResult(connector);
    ASSERT_EQ(r.state, ConnectResult::State::Connected) << "error " << r.systemError;
    Socket taken(static_cast<SOCKET>(connector.take()));
    ASSERT_TRUE(taken.valid());
    EXPECT_EQ(connector.take(), kNoSocket) << "handed over once";
    Socket accepted = acceptWithin(listener.s);
    EXPECT_TRUE(accepted.valid());

    BOOL value = FALSE;
    int length = sizeof value;
    ASSERT_EQ(getsockopt(taken.s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length), 0);
    EXPECT_TRUE(value) << "TCP_NODELAY";
    value = FALSE;
    length = sizeof value;
    ASSERT_EQ(getsockopt(taken.s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&value), &length), 0);
    EXPECT_TRUE(value) << "SO_KEEPALIVE";
    // Nothing sent yet: a read must say so rather than wait.
    char c;
    EXPECT_EQ(::recv(taken.s, &c, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST(NetworkConnectorWin32, ARefusedConnectIsAConnectFailureWithEconnrefused) {
    Socket notListening = boundSocket(false);  // holds the port so that nobody else listens there
    NetworkConnector connector(loopback(localPort(notListening.s)));
    const ConnectResult r = awaitResult(connector);
    EXPECT_EQ(r.state, ConnectResult::State::Failed);
    EXPECT_EQ(r.failure, ConnectResult::Failure::Connect);
    EXPECT_EQ(r.systemError, ECONNREFUSED);
    EXPECT_EQ(connector.take(), kNoSocket);
}

TEST(NetworkConnectorWin32, ANameThatDoesNotResolveIsAResolveFailureWithTheResolversWords) {
    NetworkConnector connector({NetworkScheme::Tcp, "vorlinex-no-such-host.invalid", 4001});
    const ConnectResult r = awaitResult(connector);
    EXPECT_EQ(r.state, ConnectResult::State::Failed);
    EXPECT_EQ(r.failure, ConnectResult::Failure::Resolve);
    EXPECT_NE(r.resolverError, 0);
    EXPECT_FALSE(r.resolverMessage.empty());
    EXPECT_EQ(r.resolverMessage.find('\n'), std::string::npos) << "one line: " << r.resolverMessage;
}

TEST(NetworkConnectorWin32, TheCallbackComesOnceAndACancelledConnectorNeverCallsBack) {
    Socket listener = boundSocket();
    std::atomic<int> calls{0};
    {
        NetworkConnector connector(loopback(localPort(listener.s)), NetworkConnector::kDefaultTimeout,
                                   [&] { calls.fetch_add(1); });
        ASSERT_EQ(awaitResult(connector).state, ConnectResult::State::Connected);
        for (int i = 0; i < 200 && calls.load() == 0; ++i) std::this_thread::sleep_for(5ms);
        EXPECT_EQ(calls.load(), 1);
    }
    NetworkConnector cancelled({NetworkScheme::Tcp, "vorlinex-no-such-host.invalid", 4001},
                               NetworkConnector::kDefaultTimeout, [&] { calls.fetch_add(1); });
    cancelled.cancel();
    EXPECT_EQ(cancelled.result().state, ConnectResult::State::Cancelled);
    EXPECT_EQ(calls.load(), 1);
}

// A listener whose accept queue is full drops the SYNs of further connects: an address that
// never answers, made on this machine.
struct SilentListener {
    Socket listener;
    std::vector<Socket> fillers;
    SilentListener() {
        listener = boundSocket(false);
        EXPECT_EQ(::listen(listener.s, 0), 0);
        for (int i = 0; i < 4; ++i) {
            Socket f(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
            u_long nonBlocking = 1;
            ioctlsocket(f.s, FIONBIO, &nonBlocking);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(port());
            ::connect(f.s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers.push_back(std::move(f));
        }
    }
    uint16_t port() const { return localPort(listener.s); }
};

// The sockets of this machine still connecting (SYN sent) to 127.0.0.1:`port`, as the system's
// connection table lists them; -1 when the table cannot be read. Looked up, so that the test
// program needs no more libraries.
int socketsConnectingTo(uint16_t port) {
    using GetTable = DWORD(WINAPI*)(PMIB_TCPTABLE, PULONG, BOOL);
    static const auto getTable = reinterpret_cast<GetTable>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("iphlpapi.dll"), "GetTcpTable")));
    if (getTable == nullptr) return -1;
    ULONG size = 0;
    getTable(nullptr, &size, FALSE);
    std::vector<char> buffer(size + 4096);
    size = static_cast<ULONG>(buffer.size());
    const auto table = reinterpret_cast<PMIB_TCPTABLE>(buffer.data());
    if (getTable(table, &size, FALSE) != NO_ERROR) return -1;
    int n = 0;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW& row = table->table[i];
        if (row.dwState == MIB_TCP_STATE_SYN_SENT && ntohs(static_cast<u_short>(row.dwRemotePort)) == port &&
            row.dwRemoteAddr == htonl(INADDR_LOOPBACK))
            ++n;
    }
    return n;
}

bool awaitConnecting(uint16_t port, int count) {
    for (int i = 0; i < kWaitMs / 5; ++i) {
        if (socketsConnectingTo(port) == count) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

TEST(NetworkConnectorWin32, AnAddressThatNeverAnswersTimesOut) {
    SilentListener silent;
    NetworkConnector connector(loopback(silent.port()), 300ms);
    const ConnectResult r = awaitResult(connector);
    EXPECT_EQ(r.state, ConnectResult::State::Failed);
    EXPECT_EQ(r.failure, ConnectResult::Failure::TimedOut);
    EXPECT_EQ(r.systemError, ETIMEDOUT);
    EXPECT_EQ(connector.take(), kNoSocket);
}

// Only the cancel can end this connect in time: its own time-out is far longer than the test
// waits. The cancel must reach the connect thread's wait and close its socket.
TEST(NetworkConnectorWin32, CancelEndsAConnectInProgressAndNoCallbackFollows) {
    SilentListener silent;
    const int fillers = socketsConnectingTo(silent.port());
    if (fillers < 0) GTEST_SKIP() << "the system's connection table cannot be read here";
    std::atomic<int> calls{0};
    {
        NetworkConnector connector(loopback(silent.port()), std::chrono::minutes(10), [&] { calls.fetch_add(1); });
        ASSERT_TRUE(awaitConnecting(silent.port(), fillers + 1)) << "the connect is under way";
        EXPECT_EQ(connector.result().state, ConnectResult::State::Pending);
        connector.cancel();
        EXPECT_EQ(connector.result().state, ConnectResult::State::Cancelled);
        EXPECT_TRUE(awaitConnecting(silent.port(), fillers)) << "the connect thread let go of its socket";
    }
    EXPECT_EQ(calls.load(), 0);
}

// ---- A connected port ----

TEST(NetworkPortWin32, RawTcpCarriesTheBytesAsTheyAreBothWays) {
    PortPair pair(NetworkScheme::Tcp);
    ASSERT_EQ(pair.port->start({}), 0);
    const std::string out = escapeHeavy(20000, 1), in = escapeHeavy(30000, 2);
    ASSERT_EQ(pair.port->writeData(reinterpret_cast<const uint8_t*>(out.data()), out.size()),
              static_cast<ssize_t>(out.size()));
    for (int i = 0; i < 1000 && pair.port->heldBytes() > 0; ++i) {
        waitForNetworkRoom(*pair.port, kNoWake, 100);
        pair.port->flush();
    }
    EXPECT_TRUE(receiveSome(pair.server.s, out.size()) == out) << "no settings, no escapes";
    sendAll(pair.server.s, in);
    EXPECT_TRUE(pair.readPort(in.size()) == in);
    EXPECT_FALSE(pair.port->lost());
}

TEST(NetworkPortWin32, ComPortControlDoublesIacOutUndoublesItInAndTakesTheServersCommands) {
    PortPair pair(NetworkScheme::Rfc2217);
    NetworkLineSettings settings;
    settings.baudRate = 115200;
    ASSERT_EQ(pair.port->start(settings), 0);
    const std::string out = escapeHeavy(5000, 3);
    ASSERT_EQ(pair.port->writeData(reinterpret_cast<const uint8_t*>(out.data()), out.size()),
              static_cast<ssize_t>(out.size()));
    for (int i = 0; i < 1000 && pair.port->heldBytes() > 0; ++i) {
        waitForNetworkRoom(*pair.port, kNoWake, 100);
        pair.port->flush();
    }
    // The negotiation, the settings (SET-BAUDRATE 115200 first), then the data, each 0xFF doubled.
    std::string wire;
    for (int i = 0; i < 100; ++i) {
        wire += receiveSome(pair.server.s, SIZE_MAX / 2, 200);
        if (readTelnet(wire).data.size() >= out.size()) break;
    }
    const TelnetSeen seen = readTelnet(wire);
    EXPECT_GT(seen.negotiations, 0);
    ASSERT_FALSE(seen.comPortCommands.empty());
    EXPECT_EQ(seen.comPortCommands[0], bytes({1, 0, 1, 0xC2, 0}));  // SET-BAUDRATE 115200
    EXPECT_TRUE(seen.data == out) << "the data, undoubled, is what was written";

    // From the server: the baud answer and a modem state among escaped data.
    const std::string in = escapeHeavy(3000, 4);
    sendAll(pair.server.s, bytes({IAC, SB, COM_PORT_OPTION, 101, 0, 1, 0xC2, 0, IAC, SE}) + doubled(in.substr(0, 1000)) +
                               bytes({IAC, SB, COM_PORT_OPTION, 107, 0x30, IAC, SE}) + doubled(in.substr(1000)));
    EXPECT_TRUE(pair.readPort(in.size()) == in) << "no command byte among the data";
    EXPECT_TRUE(pair.port->readBack().baudAnswered);
    EXPECT_EQ(pair.port->readBack().baudRate, 115200u);
    EXPECT_EQ(pair.port->modemState(), 0x30);
}

TEST(NetworkPortWin32, ThePeerClosingEndsTheReadAndLosesThePortAsClosed) {
    PortPair pair(NetworkScheme::Tcp);
    ASSERT_EQ(pair.port->start({}), 0);
    sendAll(pair.server.s, "last words");
    pair.server.close();
    EXPECT_EQ(pair.readPort(SIZE_MAX / 2), "last words");
    EXPECT_TRUE(pair.port->lost());
    EXPECT_EQ(pair.port->loss(), NetworkLoss::Closed);
    // A wait after the end returns at once: the worker sees it lost, never waits for ever.
    Watchdog watchdog;
    EXPECT_EQ(waitForNetworkInput(*pair.port, watchdog.wake, -1) & WaitReady, WaitReady);
}

// A server whose device is missing says so as data and closes before it answers a setting: that
// is its message, not device data, whether the close reads as an end or (after the port's
// settings reached a closed socket) as a reset.
TEST(NetworkPortWin32, AServerThatSpeaksAndClosesBeforeAnyAnswerLeavesItsMessage) {
    PortPair pair(NetworkScheme::Rfc2217);
    ASSERT_EQ(pair.port->start({}), 0);
    sendAll(pair.server.s, "Device open failure: Value or file not found\r\n");
    pair.server.close();
    EXPECT_EQ(pair.readPort(SIZE_MAX / 2), "") << "the message is not device data";
    EXPECT_EQ(pair.port->loss(), NetworkLoss::ServerMessage);
    EXPECT_EQ(pair.port->serverMessage(), "Device open failure: Value or file not found");
}

TEST(NetworkPortWin32, AWaitEndsOnTheStopRequestAndOnTheTimeOut) {
    PortPair pair(NetworkScheme::Tcp);
    ASSERT_EQ(pair.port->start({}), 0);
    WakeHandle wake = kNoWake;
    ASSERT_EQ(makeWake(wake), 0);
    EXPECT_EQ(waitForNetworkInput(*pair.port, wake, 20), 0) << "nothing came, nothing raised";
    raiseWake(wake);
    EXPECT_EQ(waitForNetworkInput(*pair.port, wake, -1), WaitWoken);
    closeWake(wake);
}

// Reader and writer wait on one socket at once: whichever takes the socket's events must hand
// the other's on. The writer fills the socket and waits for room while the reader waits for
// input; then the server drains and answers. Both must wake for their own reason, not for the
// watchdog's wake-up. Which of the two takes the events is up to the system, so the round is
// played several times.
void fillThenDrainWithBothWaiting(PortPair& pair) {
    const std::string block(64 * 1024, 'w');
    size_t written = 0;
    // Until the socket takes no more: the port holds the rest and refuses the next write.
    for (int i = 0; i < 4096; ++i) {
        const ssize_t n = pair.port->writeData(reinterpret_cast<const uint8_t*>(block.data()), block.size());
        if (n < 0) {
            ASSERT_EQ(errno, EAGAIN);
            break;
        }
        written += static_cast<size_t>(n);  // what the window in flight had room for
    }
    ASSERT_GT(pair.port->heldBytes(), 0u) << "the socket never filled";

    Watchdog watchdog;
    std::atomic<int> readerSaw{-2}, writerSaw{-2};
    std::thread reader([&] { readerSaw = waitForNetworkInput(*pair.port, watchdog.wake, -1); });
    std::thread writer([&] {
        int events = 0;
        // Room comes and goes as the server drains; the writer sends on what it holds, as the
        // worker does, until nothing is held.
        while (pair.port->heldBytes() > 0 && !pair.port->lost()) {
            events = waitForNetworkRoom(*pair.port, watchdog.wake, -1);
            if (events & WaitWoken) break;
            pair.port->flush();
        }
        writerSaw = events;
    });
    // The server drains everything, then answers with one byte.
    EXPECT_EQ(receiveSome(pair.server.s, written, 2000).size(), written);
    writer.join();
    sendAll(pair.server.s, "r");
    reader.join();
    EXPECT_EQ(writerSaw.load() & WaitWoken, 0) << "the writer never saw room";
    EXPECT_EQ(readerSaw.load(), WaitReady) << "the reader never saw the input";
    uint8_t c = 0;
    EXPECT_EQ(pair.port->readData(&c, 1), 1);
    EXPECT_EQ(c, 'r');
}

TEST(NetworkPortWin32, ReaderAndWriterWaitingOnOneSocketBothWakeForTheirOwnEvents) {
    PortPair pair(NetworkScheme::Tcp);
    ASSERT_EQ(pair.port->start({}), 0);
    for (int round = 0; round < 8 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fillThenDrainWithBothWaiting(pair);
    }
}

// ---- Through the relay ----

// Both ways at once between the server's end and the cable's far end, every byte once and in order.
void exchangeExactly(SOCKET server, PtyCable& cable, size_t n, unsigned seed, bool telnet) {
    const std::string toCable = escapeHeavy(n, seed), toServer = escapeHeavy(n, seed + 1);
    std::string atCable, atServer;
    std::thread a([&] { sendAll(server, telnet ? doubled(toCable) : toCable); });
    std::thread b([&] { cable.send(toServer); });
    std::thread c([&] { atCable = cable.receive(toCable.size(), 10000); });
    if (telnet) {
        std::string wire;
        for (int i = 0; i < 1000 && readTelnet(wire).data.size() < toServer.size(); ++i) {
            const std::string more = receiveSome(server, SIZE_MAX / 2, 3000);
            if (more.empty()) break;
            wire += more;
        }
        atServer = readTelnet(wire).data;
    } else {
        atServer = receiveSome(server, toServer.size());
    }
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(atCable.size(), toCable.size());
    EXPECT_TRUE(atCable == toCable) << "server to cable: every byte once, in order";
    EXPECT_EQ(atServer.size(), toServer.size());
    EXPECT_TRUE(atServer == toServer) << "cable to server: every byte once, in order";
}

class NetworkRelayWin32 : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("VORLINEX_WINE_CABLES") == nullptr)
            GTEST_SKIP() << "needs the Wine runner's COM cables (VORLINEX_WINE_CABLES)";
        cable = std::make_unique<PtyCable>();
        listener = boundSocket();
    }
    void TearDown() override {
        relay.reset();
        cable.reset();
    }
    // COM1 on the test's server, COM2 on the cable; the network port connects in the background.
    void openBoth(NetworkScheme scheme) {
        relay = std::make_unique<Relay>();
        relay->comDevicePaths[0] = std::string(scheme == NetworkScheme::Tcp ? "tcp" : "rfc2217") +
                                   "://127.0.0.1:" + std::to_string(localPort(listener.s));
        relay->comDevicePaths[1] = cable->slavePath();
        relay->serialPort1.settings = PortSettings{0, 115200, 8, 0, 0, FlowNone};
        relay->serialPort2.settings = PortSettings{1, 115200, 8, 0, 0, FlowNone};
        ASSERT_EQ(relay->openPort("com1", relay->serialPort1), PortOpenPending);
        EXPECT_FALSE(relay->serialPort1.isOpen()) << "nothing waits for the connect";
        ASSERT_EQ(relay->openPort("com2", relay->serialPort2), PortOpened);
        ASSERT_EQ(configurePort(relay->serialPort2), 0);
        ASSERT_EQ(startRelayWorker(relay->relayChannel2), 0);
        ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.presence.load() == PortPresent; }));
        server = acceptWithin(listener.s);
        ASSERT_TRUE(server.valid());
    }

    std::unique_ptr<PtyCable> cable;
    Socket listener, server;
    std::unique_ptr<Relay> relay;
};

TEST_F(NetworkRelayWin32, RawTcpRelaysExactlyLetsGoWhenThePeerClosesAndReconnects) {
    openBoth(NetworkScheme::Tcp);
    exchangeExactly(server.s, *cable, 64 * 1024, 1, false);

    // The server closes: the port is let go as a lost connection, the other direction goes on
    // and counts what it cannot deliver.
    server.close();
    ASSERT_TRUE(stepUntil(*relay, [&] {
        return relay->serialPort1.presence.load() == PortAway && !relay->serialPort1.isOpen();
    }));
    EXPECT_EQ(relay->serialPort1.openFailure.kind, RefusalConnectionLost);
    cable->send("undeliverable");
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->relayChannel2.undeliveredBytes.load() >= 13; }));

    // The listener is still there: connected again by itself, exact again.
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.presence.load() == PortPresent; }));
    server = acceptWithin(listener.s);
    ASSERT_TRUE(server.valid());
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    exchangeExactly(server.s, *cable, 16 * 1024, 3, false);
}

// A server that stops reading: the socket fills, the port keeps what it could not send and the
// output wait holds the writer, which neither drops nor counts anything as undelivered; once the
// server reads again every byte arrives, in order.
TEST_F(NetworkRelayWin32, AServerThatStopsReadingHoldsTheWriterAndNothingIsLost) {
    openBoth(NetworkScheme::Tcp);
    NetworkPort* const port = relay->serialPort1.connection();
    ASSERT_NE(port, nullptr);
    // Small buffers both sides, so that the socket fills soon instead of after megabytes.
    const int small = 16 * 1024;
    setsockopt(server.s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
    setsockopt(static_cast<SOCKET>(port->fd()), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small),
               sizeof small);
    const std::string toServer = escapeHeavy(256 * 1024, 11);
    std::thread sender([&] { cable->send(toServer); });
    // Held back at the port at some moment: the socket and the server's side are full.
    EXPECT_TRUE(stepUntil(*relay, [&] { return port->heldBytes() > 0 && port->outputQueued() > 0; }))
        << "the socket never filled";
    // The writer stays held while the server does not read: nothing is counted undelivered.
    std::this_thread::sleep_for(1500ms);
    EXPECT_GT(port->heldBytes(), 0u);
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    const std::string atServer = receiveSome(server.s, toServer.size());
    sender.join();
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    EXPECT_EQ(atServer.size(), toServer.size());
    EXPECT_TRUE(atServer == toServer) << "cable to server: every byte once, in order";
}

TEST_F(NetworkRelayWin32, ComPortControlRelaysExactlyWithTheSettingsSentFirst) {
    openBoth(NetworkScheme::Rfc2217);
    // The server answers the rate: the data that follows is device data at once.
    sendAll(server.s, bytes({IAC, SB, COM_PORT_OPTION, 101, 0, 1, 0xC2, 0, IAC, SE}));
    ASSERT_TRUE(stepUntil(*relay, [&] {
        const NetworkPort* network = relay->serialPort1.connection();
        return network != nullptr && network->readBack().baudAnswered;
    }));
    exchangeExactly(server.s, *cable, 48 * 1024, 5, true);
}

TEST_F(NetworkRelayWin32, ARefusedConnectIsReportedAsUnreachableWithConnectionRefusedAndRetried) {
    Socket closed = boundSocket(false);
    relay = std::make_unique<Relay>();
    relay->comDevicePaths[0] = "tcp://127.0.0.1:" + std::to_string(localPort(closed.s));
    relay->serialPort1.settings = PortSettings{0, 115200, 8, 0, 0, FlowNone};
    ASSERT_EQ(relay->openPort("com1", relay->serialPort1), PortOpenPending);
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.openFailure.kind == RefusalUnreachable; }));
    EXPECT_EQ(relay->serialPort1.openFailure.systemError, ECONNREFUSED);
    // Worded as on Linux: the errno's words, not those of a Windows error with the same number.
    EXPECT_EQ(portStatusText(*relay), "COM1: " + relay->comDevicePaths[0] + " not reachable: connection refused, retrying");
    EXPECT_EQ(relay->serialPort1.presence.load(), PortAway) << "retried, not given up";
    EXPECT_FALSE(relay->serialPort1.isOpen());
}

// The far end of the cable that the runner's ser2net serves: a COM port opened here, raw, with
// overlapped reads and writes so that sending and receiving may run at once.
class ComEnd {
public:
    explicit ComEnd(const std::string& name) {
        h_ = CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
        if (h_ == INVALID_HANDLE_VALUE) return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(h_, &dcb);
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = 1;
        dcb.fParity = 0;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = 0;
        SetCommState(h_, &dcb);
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        SetCommTimeouts(h_, &timeouts);
        PurgeComm(h_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
    ~ComEnd() {
        if (valid()) CloseHandle(h_);
    }
    ComEnd(ComEnd&&) = delete;
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

    void send(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            OVERLAPPED io{};
            io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            DWORD n = 0;
            if (!WriteFile(h_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, &io) &&
                (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h_, &io, &n, TRUE)))
                n = 0;
            CloseHandle(io.hEvent);
            ASSERT_GT(n, 0u) << "COM write failed: " << GetLastError();
            done += n;
        }
    }
    // Until `count` bytes came or none came for timeoutMs; only what the input queue holds is
    // read, as Wine keeps an empty read pending.
    std::string receive(size_t count, int timeoutMs) {
        std::string out;
        char buffer[4096];
        for (auto quietSince = std::chrono::steady_clock::now();
             out.size() < count && std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(timeoutMs);) {
            COMSTAT status{};
            DWORD errors = 0, n = 0;
            ClearCommError(h_, &errors, &status);
            if (status.cbInQue > 0) {
                OVERLAPPED io{};
                io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                const DWORD want = static_cast<DWORD>(std::min({sizeof buffer, count - out.size(), size_t{status.cbInQue}}));
                if (!ReadFile(h_, buffer, want, &n, &io) &&
                    (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h_, &io, &n, TRUE)))
                    n = 0;
                CloseHandle(io.hEvent);
            }
            if (n > 0) {
                out.append(buffer, n);
                quietSince = std::chrono::steady_clock::now();
            } else {
                std::this_thread::sleep_for(2ms);
            }
        }
        return out;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Against Debian's ser2net on the Linux side: the negotiation with a real server through Wine's
// Winsock, its answer to the rate as the read-back, and data with many 0xFF exact both ways
// between the device behind the server and the cable of the other port.
TEST(NetworkRelayWin32Ser2net, RelaysExactlyThroughARealServerThatAnswersTheRate) {
    const char* port = std::getenv("VORLINEX_WINE_SER2NET_PORT");
    const char* device = std::getenv("VORLINEX_WINE_SER2NET_DEVICE");
    if (port == nullptr || device == nullptr || std::getenv("VORLINEX_WINE_CABLES") == nullptr)
        GTEST_SKIP() << "needs the Wine runner's ser2net and cables (VORLINEX_WINE_SER2NET_PORT)";
    ComEnd served(device);
    ASSERT_TRUE(served.valid()) << "cannot open " << device << ": " << GetLastError();
    PtyCable cable;
    Relay relay;
    relay.comDevicePaths[0] = std::string("rfc2217://127.0.0.1:") + port;
    relay.comDevicePaths[1] = cable.slavePath();
    relay.serialPort1.settings = PortSettings{0, 115200, 8, 0, 0, FlowNone};
    relay.serialPort2.settings = PortSettings{1, 115200, 8, 0, 0, FlowNone};
    ASSERT_EQ(relay.openPort("com1", relay.serialPort1), PortOpenPending);
    ASSERT_EQ(relay.openPort("com2", relay.serialPort2), PortOpened);
    ASSERT_EQ(configurePort(relay.serialPort2), 0);
    ASSERT_EQ(startRelayWorker(relay.relayChannel2), 0);
    ASSERT_TRUE(stepUntil(relay, [&] { return relay.serialPort1.presence.load() == PortPresent; }))
        << "openFailure " << relay.serialPort1.openFailure.kind << " error " << relay.serialPort1.openFailure.systemError;
    ASSERT_TRUE(stepUntil(relay, [&] {
        const NetworkPort* network = relay.serialPort1.connection();
        return network != nullptr && network->readBack().baudAnswered;
    }));
    EXPECT_EQ(relay.serialPort1.connection()->readBack().baudRate, 115200u);

    // The served device is the far end, the cable's far end the near one.
    ::exchangeExactly(served, cable, 32 * 1024, 7);
    relay.stopRelayAndClosePorts();
}

}  // namespace

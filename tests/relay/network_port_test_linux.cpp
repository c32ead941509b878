// Network ports through real sockets on 127.0.0.1: the device paths that name them, the connect
// that runs on its own thread (refused, unresolvable, silent, cancelled), and a connected port
// against a small Com Port Control server of the test's own that reads and writes the raw
// Telnet stream, so that what crosses the wire is checked byte for byte.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "relay/network_port.h"
#include "tests/support/network_test_data.h"
#include "tests/support/own_network.h"

using namespace telnet;

namespace {

// Generous bounds for waits that end as soon as what they wait for happens; reaching one is a
// failure of the test, not a time being measured.
constexpr int kWaitMs = 10000;

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int release() {
        const int f = fd;
        fd = -1;
        return f;
    }
};

uint16_t localPort(int fd) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
}

// A socket bound to a free port of 127.0.0.1; listening with `backlog` unless it is negative.
Fd boundSocket(int backlog, int receiveBuffer = 0) {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0)
        setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(s.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    if (backlog >= 0) {
        EXPECT_EQ(::listen(s.fd, backlog), 0);
    }
    return s;
}

Fd connectTo(uint16_t port, int sendBuffer = 0) {
    Fd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sendBuffer > 0) setsockopt(c.fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    EXPECT_EQ(::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return c;
}

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

std::string escaped(const std::string& data) {
    std::string out;
    for (char c : data) {
        out += c;
        if (static_cast<uint8_t>(c) == IAC) out += c;
    }
    return out;
}

std::string serverAnswer(ComPortCommand command, const std::string& value) {
    return bytes({IAC, SB, COM_PORT_OPTION, static_cast<int>(command) + 100}) + escaped(value) +
           bytes({IAC, SE});
}

std::string randomBytesWithManyIacs(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() % 3 == 0 ? 0xFF : rng() & 0xFF);
    return s;
}

// The server's reading of the client's stream, written apart from the port's codec: data with
// escapes undone, each negotiation as its three bytes, each subnegotiation's content.
struct ServerView {
    std::string data;
    std::vector<std::string> negotiations;
    std::vector<size_t> negotiationAt;  // how much data had come before each negotiation
    std::vector<std::string> subnegotiations;

    void feed(const std::string& in) {
        for (char ch : in) {
            const auto b = static_cast<uint8_t>(ch);
            switch (state) {
                case 0:
                    if (b == IAC) state = 1; else data += ch;
                    break;
                case 1:
                    if (b == IAC) { data += ch; state = 0; }
                    else if (b >= WILL && b <= DONT) { verb = b; state = 2; }
                    else if (b == SB) { sub.clear(); state = 3; }
                    else state = 0;
                    break;
                case 2:
                    negotiations.push_back(bytes({IAC, verb, b}));
                    negotiationAt.push_back(data.size());
                    state = 0;
                    break;
                case 3:
                    if (b == IAC) state = 4; else sub += ch;
                    break;
                case 4:
                    if (b == SE) { subnegotiations.push_back(sub); state = 0; }
                    else { if (b == IAC) sub += ch; state = 3; }
                    break;
            }
        }
    }

private:
    int state = 0;
    uint8_t verb = 0;
    std::string sub;
};

// Reads what is there now from a non-blocking or blocking socket, waiting up to `waitMs` for the
// first byte.
std::string readAvailable(int fd, int waitMs = kWaitMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return {};
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string{};
}

void sendAll(int fd, const std::string& s) {
    size_t sent = 0;
    while (sent < s.size()) {
        const ssize_t n = ::send(fd, s.data() + sent, s.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

// Reads the port as a worker does (wait for input, read) until `enough` says so or the port is
// lost; returns the data. Fails the test if readData ever reports end of file without the
// port being lost.
std::string readPortUntil(NetworkPort& port, const std::function<bool(const std::string&)>& enough) {
    std::string got;
    uint8_t buffer[4096];
    while (!enough(got) && !port.lost()) {
        // As the worker waits: for input, or until data held back is due.
        const int due = port.readWaitMs();
        pollfd p{port.fd(), POLLIN, 0};
        const int ready = ::poll(&p, 1, due >= 0 ? std::min(due, kWaitMs) : kWaitMs);
        if (ready < 0 || (ready == 0 && due < 0)) {
            ADD_FAILURE() << "no input from the server";
            break;
        }
        const ssize_t n = port.readData(buffer, sizeof buffer);
        if (n > 0) got.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
        // End of file and failures only ever come with the port lost.
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            EXPECT_TRUE(port.lost());
        }
    }
    return got;
}

// A client port connected to a socket the test holds as the server.
struct Connected {
    Fd listener;
    Fd server;
    std::unique_ptr<NetworkPort> port;

    explicit Connected(NetworkScheme scheme = NetworkScheme::Rfc2217, int bufferSize = 0) {
        listener = boundSocket(1, bufferSize);
        Fd client = connectTo(localPort(listener.fd), bufferSize);
        server = Fd(::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
        port = std::make_unique<NetworkPort>(client.release(), scheme);
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
    if (c.valid) {
        EXPECT_EQ(address.scheme, c.scheme);
        EXPECT_EQ(address.host, c.host);
        EXPECT_EQ(address.port, c.port);
    } else {
        EXPECT_EQ(address.host, "untouched");  // a refused path leaves the address as it was
        EXPECT_EQ(address.port, 7);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, NetworkPathTest,
    testing::Values(
        PathCase{"rfc2217://lab-pi:4001", true, NetworkScheme::Rfc2217, "lab-pi", 4001},
        PathCase{"tcp://lab-pi.example.org:2000", true, NetworkScheme::Tcp, "lab-pi.example.org", 2000},
        PathCase{"rfc2217://192.168.1.20:1", true, NetworkScheme::Rfc2217, "192.168.1.20", 1},
        PathCase{"tcp://10.0.0.1:65535", true, NetworkScheme::Tcp, "10.0.0.1", 65535},
        PathCase{"rfc2217://[::1]:4001", true, NetworkScheme::Rfc2217, "::1", 4001},
        PathCase{"tcp://[2001:db8::20]:7000", true, NetworkScheme::Tcp, "2001:db8::20", 7000},
        // A zone names the interface: a link-local address needs one.
        PathCase{"tcp://[fe80::1%eth0]:4002", true, NetworkScheme::Tcp, "fe80::1%eth0", 4002},
        PathCase{"rfc2217://[fe80::1%2]:4001", true, NetworkScheme::Rfc2217, "fe80::1%2", 4001},
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
        PathCase{"tcp://", false}, PathCase{"", false},
        // IPv6 without brackets, brackets not closed or not an address, no host.
        PathCase{"rfc2217://::1:4001", false}, PathCase{"rfc2217://[::1:4001", false},
        PathCase{"rfc2217://[::1]4001", false}, PathCase{"rfc2217://[lab-pi]:4001", false},
        PathCase{"rfc2217://[]:4001", false}, PathCase{"rfc2217://:4001", false},
        // Junk around or inside the host.
        PathCase{"rfc2217://lab pi:4001", false}, PathCase{"rfc2217://lab-pi:4001/", false},
        PathCase{"tcp://user@lab-pi:4001", false}, PathCase{"tcp://lab-pi:4001 ", false},
        PathCase{" tcp://lab-pi:4001", false}));

TEST(NetworkPathTest, SchemeAloneTellsANetworkPathFromADevice) {
    EXPECT_TRUE(isNetworkPath("rfc2217://lab-pi:4001"));
    EXPECT_TRUE(isNetworkPath("tcp://not even a host"));
    EXPECT_FALSE(isNetworkPath("/dev/ttyS0"));
    EXPECT_FALSE(isNetworkPath("rfc2217:lab-pi:4001"));
}

// ---- Connecting ----

TEST(NetworkConnectorTest, ConnectsOffThreadWithNoDelayAndKeepaliveAndCallsBackOnce) {
    Fd listener = boundSocket(4);
    std::atomic<int> calls{0};
    NetworkConnector connector(loopback(localPort(listener.fd)), NetworkConnector::kDefaultTimeout,
                               [&] { ++calls; });
    const ConnectResult r = awaitResult(connector);
    ASSERT_EQ(r.state, ConnectResult::State::Connected);
    Fd fd(connector.take());
    ASSERT_GE(fd.fd, 0);
    EXPECT_EQ(connector.take(), -1);  // handed over once
    Fd accepted(::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_GE(accepted.fd, 0);

    int value = 0;
    socklen_t length = sizeof value;
    ASSERT_EQ(getsockopt(fd.fd, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
    EXPECT_NE(value, 0);
    ASSERT_EQ(getsockopt(fd.fd, SOL_SOCKET, SO_KEEPALIVE, &value, &length), 0);
    EXPECT_NE(value, 0);
    int idle = 0, interval = 0, count = 0;
    getsockopt(fd.fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &length);
    getsockopt(fd.fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &length);
    getsockopt(fd.fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &length);
    EXPECT_GT(idle, 0);
    EXPECT_LE(idle + interval * count, 30);  // a silent dead peer is found within half a minute
    EXPECT_NE(fcntl(fd.fd, F_GETFL) & O_NONBLOCK, 0);

    for (int i = 0; i < kWaitMs / 5 && calls.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(calls.load(), 1);
}

TEST(NetworkConnectorTest, ConnectsByName) {
    Fd listener = boundSocket(4);
    NetworkConnector connector({NetworkScheme::Tcp, "localhost", localPort(listener.fd)});
    // localhost may give ::1 first, where nothing listens: the next address is tried.
    ASSERT_EQ(awaitResult(connector).state, ConnectResult::State::Connected);
    Fd fd(connector.take());
    EXPECT_GE(fd.fd, 0);
}

TEST(NetworkConnectorTest, ClosedPortIsRefused) {
    Fd notListening = boundSocket(-1);  // held, so that no one else listens there meanwhile
    NetworkConnector connector(loopback(localPort(notListening.fd)));
    const ConnectResult r = awaitResult(connector);
    EXPECT_EQ(r.state, ConnectResult::State::Failed);
    EXPECT_EQ(r.failure, ConnectResult::Failure::Connect);
    EXPECT_EQ(r.systemError, ECONNREFUSED);
    EXPECT_EQ(connector.take(), -1);
}

TEST(NetworkConnectorTest, UnresolvableNameIsTheResolversFailure) {
    NetworkConnector connector({NetworkScheme::Rfc2217, "no-such-host.invalid", 4001});
    const ConnectResult r = awaitResult(connector);
    EXPECT_EQ(r.state, ConnectResult::State::Failed);
    EXPECT_EQ(r.failure, ConnectResult::Failure::Resolve);
    EXPECT_NE(r.resolverError, 0);
    EXPECT_EQ(r.resolverMessage, gai_strerror(r.resolverError));
}

// A listener whose accept queue is full drops the SYNs of further connects: an address that
// never answers, made on this machine.
struct SilentListener {
    Fd listener = boundSocket(0);
    std::vector<Fd> fillers;
    SilentListener() {
        for (int i = 0; i < 4; ++i) {
            Fd f(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(localPort(listener.fd));
            ::connect(f.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers.push_back(std::move(f));
        }
    }
    uint16_t port() const { return localPort(listener.fd); }
};

TEST(NetworkConnectorTest, AddressThatNeverAnswersTimesOut) {
    SilentListener silent;
    std::atomic<int> calls{0};
    NetworkConnector connector(loopback(silent.port()), std::chrono::milliseconds(300),
                               [&] { ++calls; });
    const ConnectResult r = awaitResult(connector);
    EXPECT_EQ(r.state, ConnectResult::State::Failed);
    EXPECT_EQ(r.failure, ConnectResult::Failure::TimedOut);
    EXPECT_EQ(r.systemError, ETIMEDOUT);
    EXPECT_EQ(connector.take(), -1);
}

// The sockets of this machine that connect to 127.0.0.1:`port`, as the kernel lists them (a
// connect whose SYN gets no answer is one until its socket is closed).
size_t socketsConnectingTo(uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    size_t n = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const size_t colon = remote.find(':');
        if (colon == std::string::npos) continue;
        const auto remotePort = std::stoul(remote.substr(colon + 1), nullptr, 16);
        const bool timeWait = state == "06";
        if (remotePort == port && remote.substr(0, colon) == "0100007F" && !timeWait) ++n;
    }
    return n;
}

// Waits until `count` sockets connect to the port; false if that never comes.
bool awaitConnecting(uint16_t port, size_t count) {
    for (int i = 0; i < kWaitMs / 5; ++i) {
        if (socketsConnectingTo(port) == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST(NetworkConnectorTest, CancelEndsAConnectInProgressAndNoCallbackFollows) {
    SilentListener silent;
    std::atomic<int> calls{0};
    const size_t fillers = socketsConnectingTo(silent.port());
    // Far longer than the test waits: only the cancel can end these attempts in time.
    const std::chrono::minutes longTimeout(10);
    {
        NetworkConnector connector(loopback(silent.port()), longTimeout, [&] { ++calls; });
        ASSERT_TRUE(awaitConnecting(silent.port(), fillers + 1));  // the connect is under way
        EXPECT_EQ(connector.result().state, ConnectResult::State::Pending);
        connector.cancel();
        EXPECT_EQ(connector.result().state, ConnectResult::State::Cancelled);
        EXPECT_EQ(connector.take(), -1);
        // The thread gave up: its socket is closed.
        EXPECT_TRUE(awaitConnecting(silent.port(), fillers));
    }
    {
        // Destroyed while connecting, without a cancel first: the destructor lets it go alike.
        NetworkConnector dropped(loopback(silent.port()), longTimeout, [&] { ++calls; });
        ASSERT_TRUE(awaitConnecting(silent.port(), fillers + 1));
    }
    EXPECT_TRUE(awaitConnecting(silent.port(), fillers));
    EXPECT_EQ(calls.load(), 0);
}

// A name whose first address never answers (::1, its listener's accept queue full, so SYNs are
// dropped) and whose second listens (127.0.0.1): the second is tried while the first still
// waits, and wins.
TEST(NetworkConnectorTest, NameWhoseFirstAddressIsSilentConnectsToTheNext) {
    inOwnNetwork("::1 relay-box\n127.0.0.1 relay-box\n", "", [] {
        Fd silent(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int on = 1;
        setsockopt(silent.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 at6{};
        at6.sin6_family = AF_INET6;
        at6.sin6_addr = in6addr_loopback;
        ASSERT_EQ(::bind(silent.fd, reinterpret_cast<sockaddr*>(&at6), sizeof at6), 0);
        ASSERT_EQ(::listen(silent.fd, 0), 0);
        socklen_t length = sizeof at6;
        getsockname(silent.fd, reinterpret_cast<sockaddr*>(&at6), &length);
        const uint16_t port = ntohs(at6.sin6_port);
        // One connection fills the queue; wait until it is in.
        Fd filler(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::connect(filler.fd, reinterpret_cast<sockaddr*>(&at6), sizeof at6), 0);

        Fd listening(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in at4{};
        at4.sin_family = AF_INET;
        at4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at4.sin_port = htons(port);
        ASSERT_EQ(::bind(listening.fd, reinterpret_cast<sockaddr*>(&at4), sizeof at4), 0);
        ASSERT_EQ(::listen(listening.fd, 4), 0);

        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        ASSERT_EQ(getaddrinfo("relay-box", nullptr, &hints, &found), 0);
        const int firstFamily = found->ai_family;
        freeaddrinfo(found);
        ASSERT_EQ(firstFamily, AF_INET6) << "the silent address must come first";

        NetworkConnector connector({NetworkScheme::Tcp, "relay-box", port});
        const ConnectResult r = awaitResult(connector);
        ASSERT_EQ(r.state, ConnectResult::State::Connected) << r.systemError;
        Fd fd(connector.take());
        sockaddr_storage peer{};
        length = sizeof peer;
        ASSERT_EQ(getpeername(fd.fd, reinterpret_cast<sockaddr*>(&peer), &length), 0);
        EXPECT_EQ(peer.ss_family, AF_INET);
        Fd accepted(::accept4(listening.fd, nullptr, nullptr, SOCK_CLOEXEC));
        EXPECT_GE(accepted.fd, 0);
    });
}

// ---- A connected port ----

TEST(NetworkPortTest, StartSendsTheNegotiationThenTheSettingsWithDtrAndRtsRaised) {
    Connected c;
    NetworkLineSettings settings;
    settings.baudRate = 12345;  // an odd rate goes as it is
    settings.dataBits = 7;
    settings.parity = 2;
    settings.twoStopBits = true;
    settings.flow = NetworkLineSettings::Flow::RtsCts;
    ASSERT_EQ(c.port->start(settings), 0);

    TelnetCodec reference(TelnetCodec::Mode::Rfc2217);
    std::string expected;
    reference.start(expected);
    reference.setBaudRate(12345, expected);
    reference.setDataSize(7, expected);
    reference.setParity(TelnetCodec::Parity::Even, expected);
    reference.setStopSize(TelnetCodec::StopSize::Two, expected);
    reference.setControl(TelnetCodec::Control::FlowRtsCts, expected);
    reference.setControl(TelnetCodec::Control::DtrOn, expected);
    reference.setControl(TelnetCodec::Control::RtsOn, expected);

    std::string got;
    while (got.size() < expected.size()) {
        const std::string more = readAvailable(c.server.fd);
        if (more.empty()) break;
        got += more;
    }
    EXPECT_EQ(got, expected);

    ServerView view;
    view.feed(got);
    EXPECT_EQ(view.data, "");
    // Never DO COM-PORT-OPTION: servers answer WONT.
    for (const std::string& n : view.negotiations) EXPECT_NE(n, bytes({IAC, DO, COM_PORT_OPTION}));
    EXPECT_EQ(view.subnegotiations,
              (std::vector<std::string>{bytes({44, 1, 0, 0, 0x30, 0x39}), bytes({44, 2, 7}),
                                        bytes({44, 3, 3}), bytes({44, 4, 2}), bytes({44, 5, 3}),
                                        bytes({44, 5, 8}), bytes({44, 5, 11})}));
}

TEST(NetworkPortTest, DtrFlowIsAskedAsNoFlowAndRawTcpSendsNoSettings) {
    {
        Connected c;
        NetworkLineSettings settings;  // Flow::None stands for DTR/DSR as well
        ASSERT_EQ(c.port->start(settings), 0);
        ServerView view;
        while (view.subnegotiations.size() < 7) {
            const std::string more = readAvailable(c.server.fd);
            if (more.empty()) break;
            view.feed(more);
        }
        ASSERT_GE(view.subnegotiations.size(), 5u);
        EXPECT_EQ(view.subnegotiations[4], bytes({44, 5, 1}));
    }
    {
        Connected c(NetworkScheme::Tcp);
        EXPECT_FALSE(c.port->carriesSettings());
        ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
        const std::string data = bytes({0xFF, 0x00, 0xFF, 0xFF, 'a'});
        ASSERT_EQ(c.port->writeData(reinterpret_cast<const uint8_t*>(data.data()), data.size()),
                  static_cast<ssize_t>(data.size()));
        std::string got;
        while (got.size() < data.size()) {
            const std::string more = readAvailable(c.server.fd);
            if (more.empty()) break;
            got += more;
        }
        EXPECT_EQ(got, data);  // nothing before the data, and 0xFF not doubled
    }
}

TEST(NetworkPortTest, DataWithManyIacsCrossesBothWaysExactlyAndCommandsNeverBecomeData) {
    Connected c;
    ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
    const std::string toServer = randomBytesWithManyIacs(200000, 1);
    const std::string toClient = randomBytesWithManyIacs(200000, 2);

    // The server: takes in the client's stream and sends its own data escaped, with commands
    // (a refusal, a NOP, a line state notification) put between the pieces.
    ServerView view;
    std::thread server([&] {
        for (size_t at = 0; at < toClient.size(); at += 997) {
            sendAll(c.server.fd, escaped(toClient.substr(at, 997)) + bytes({IAC, 241}) +
                                     bytes({IAC, DO, ECHO_OPTION}) +
                                     serverAnswer(ComPortCommand::NotifyLineState, "\x60"));
        }
    });
    const auto echoRefused = [&] {
        return std::count(view.negotiations.begin(), view.negotiations.end(),
                          bytes({IAC, WONT, ECHO_OPTION}));
    };
    std::thread serverReader([&] {
        while (view.data.size() < toServer.size()) {
            const std::string more = readAvailable(c.server.fd);
            if (more.empty()) break;
            view.feed(more);
        }
    });

    std::thread writer([&] {
        size_t at = 0;
        while (at < toServer.size() && !c.port->lost()) {
            const size_t n = std::min<size_t>(1500, toServer.size() - at);
            const ssize_t w =
                c.port->writeData(reinterpret_cast<const uint8_t*>(toServer.data()) + at, n);
            if (w > 0) {
                ASSERT_LE(w, static_cast<ssize_t>(n));  // what the window in flight has room for
                at += static_cast<size_t>(w);
            } else {
                ASSERT_EQ(errno, EAGAIN);
                pollfd p{c.port->fd(), POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
        while (c.port->outputQueued() > 0 && !c.port->lost()) {
            c.port->flush();
            pollfd p{c.port->fd(), POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    });
    const std::string got =
        readPortUntil(*c.port, [&](const std::string& s) { return s.size() >= toClient.size(); });
    writer.join();
    server.join();
    serverReader.join();

    EXPECT_FALSE(c.port->lost());
    EXPECT_TRUE(got == toClient) << "received " << got.size() << " of " << toClient.size();
    EXPECT_TRUE(view.data == toServer) << "server got " << view.data.size() << " of " << toServer.size();
    EXPECT_EQ(c.port->lineState(), 0x60);

    // The server ends its stream: the client takes in the last commands (no data among them),
    // and once it has closed, everything it answered is at the server.
    ::shutdown(c.server.fd, SHUT_WR);
    EXPECT_EQ(readPortUntil(*c.port, [](const std::string&) { return false; }), "");
    EXPECT_EQ(c.port->loss(), NetworkLoss::Closed);
    c.port.reset();
    for (std::string more; !(more = readAvailable(c.server.fd)).empty();) view.feed(more);
    EXPECT_EQ(echoRefused(), 1);  // however often the server asked
}

TEST(NetworkPortTest, ReadOfOnlyCommandsGivesNoDataAndIsNotEndOfFile) {
    Connected c;
    ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
    sendAll(c.server.fd, bytes({IAC, 241, IAC, WILL, BINARY, IAC, 241}) +
                             serverAnswer(ComPortCommand::NotifyModemState, "\x30"));
    uint8_t buffer[256];
    while (c.port->modemState() < 0) {
        pollfd p{c.port->fd(), POLLIN, 0};
        ASSERT_GT(::poll(&p, 1, kWaitMs), 0);
        const ssize_t n = c.port->readData(buffer, sizeof buffer);
        ASSERT_EQ(n, -1);
        ASSERT_EQ(errno, EAGAIN);
    }
    EXPECT_EQ(c.port->modemState(), 0x30);
    EXPECT_FALSE(c.port->lost());
    // Data after the commands still comes through the same port.
    sendAll(c.server.fd, "after");
    EXPECT_EQ(readPortUntil(*c.port, [](const std::string& s) { return s.size() >= 5; }), "after");
}

TEST(NetworkPortTest, ServerAnswersAreTheReadBack) {
    Connected c;
    NetworkLineSettings settings;
    settings.baudRate = 12345;
    settings.dataBits = 7;
    settings.parity = 1;
    ASSERT_EQ(c.port->start(settings), 0);
    EXPECT_FALSE(c.port->readBack().anyAnswered());

    // The server sets another rate, takes the data size and parity as asked, and answers the DTR
    // command (the same SET-CONTROL code), which says nothing about the flow.
    sendAll(c.server.fd, serverAnswer(ComPortCommand::SetControl, "\x08") +
                             serverAnswer(ComPortCommand::SetBaudRate, bytes({0, 0, 0x10, 0})) +
                             serverAnswer(ComPortCommand::SetDataSize, "\x07") +
                             serverAnswer(ComPortCommand::SetParity, "\x02") + "x");
    EXPECT_EQ(readPortUntil(*c.port, [](const std::string& s) { return !s.empty(); }), "x");
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
    sendAll(c.server.fd, serverAnswer(ComPortCommand::SetBaudRate, bytes({0, 0, 0x30, 0x39})) + "y");
    EXPECT_EQ(readPortUntil(*c.port, [](const std::string& s) { return !s.empty(); }), "y");
    EXPECT_FALSE(c.port->readBack().differs());
}

TEST(NetworkPortTest, OverlongAnswerIsDroppedWholeAndDataGoesOn) {
    Connected c;
    ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
    // A rate answer padded past the longest subnegotiation kept: not a read-back, not data.
    const std::string overlong =
        serverAnswer(ComPortCommand::SetBaudRate,
                     bytes({0, 0, 0x10, 0}) + std::string(TelnetCodec::kMaxSubnegotiation, 'p'));
    sendAll(c.server.fd, overlong + "z");
    EXPECT_EQ(readPortUntil(*c.port, [](const std::string& s) { return !s.empty(); }), "z");
    EXPECT_FALSE(c.port->readBack().baudAnswered);
    EXPECT_FALSE(c.port->lost());
}

TEST(NetworkPortTest, PeerClosingOrResettingLosesThePort) {
    {
        Connected c;
        ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
        // Answered first: what follows is the device's, not a message of the server's.
        sendAll(c.server.fd, serverAnswer(ComPortCommand::SetDataSize, "\x08") + "last");
        // The server's end of the stream; a close with the client's bytes unread would be a
        // reset instead, the second case below.
        ::shutdown(c.server.fd, SHUT_WR);
        EXPECT_EQ(readPortUntil(*c.port, [](const std::string&) { return false; }), "last");
        EXPECT_EQ(c.port->loss(), NetworkLoss::Closed);
        uint8_t buffer[16];
        EXPECT_EQ(c.port->readData(buffer, sizeof buffer), -1);  // stays lost
        EXPECT_EQ(c.port->writeData(buffer, 1), -1);
    }
    {
        Connected c(NetworkScheme::Tcp);
        ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
        const linger abort{1, 0};  // closes with a reset
        setsockopt(c.server.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        c.server = Fd();
        readPortUntil(*c.port, [](const std::string&) { return false; });
        EXPECT_EQ(c.port->loss(), NetworkLoss::Failed);
        EXPECT_EQ(c.port->lossError(), ECONNRESET);
    }
}

// ser2net with its device missing accepts, says so as plain data and closes: that line is the
// server's, not the device's. Data before any answer that is not followed by the close is the
// device's after all, and comes through whole and in order.
TEST(NetworkPortTest, LineBeforeAnyAnswerThenCloseIsTheServersMessage) {
    {
        Connected c;
        ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
        sendAll(c.server.fd, "Device open failure: Value or file not found\r\n");
        ::shutdown(c.server.fd, SHUT_WR);
        EXPECT_EQ(readPortUntil(*c.port, [](const std::string&) { return false; }), "");
        EXPECT_EQ(c.port->loss(), NetworkLoss::ServerMessage);
        EXPECT_EQ(c.port->serverMessage(), "Device open failure: Value or file not found");
    }
    {
        Connected c;
        ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
        sendAll(c.server.fd, "early\xff\xff");  // an escaped 0xFF among it
        EXPECT_EQ(readPortUntil(*c.port, [](const std::string& s) { return s.size() >= 6; }), "early\xff");
        sendAll(c.server.fd, "later");
        EXPECT_EQ(readPortUntil(*c.port, [](const std::string& s) { return s.size() >= 5; }), "later");
        EXPECT_FALSE(c.port->lost());
    }
    {
        // A raw port has no answers to wait for: its first bytes are the device's at once, even
        // when the close follows.
        Connected c(NetworkScheme::Tcp);
        ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
        sendAll(c.server.fd, "bye");
        ::shutdown(c.server.fd, SHUT_WR);
        EXPECT_EQ(readPortUntil(*c.port, [](const std::string&) { return false; }), "bye");
        EXPECT_EQ(c.port->loss(), NetworkLoss::Closed);
    }
}

TEST(NetworkPortTest, CommandFloodClosesThePortWithItsReason) {
    Connected c;
    ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
    std::string nops;
    for (size_t i = 0; i < TelnetCodec::kCommandFloodBytes; i += 2) nops += bytes({IAC, 241});
    std::thread server([&] { sendAll(c.server.fd, serverAnswer(ComPortCommand::SetDataSize, "\x08") + "ok" + nops + nops); });
    EXPECT_EQ(readPortUntil(*c.port, [](const std::string&) { return false; }), "ok");
    EXPECT_EQ(c.port->loss(), NetworkLoss::CommandFlood);
    c.port.reset();  // closed, so that the server's send ends instead of waiting for a reader
    server.join();
}

TEST(NetworkPortTest, SuspendHoldsTheWriterUntilResume) {
    Connected c;
    ASSERT_EQ(c.port->start(NetworkLineSettings{}), 0);
    sendAll(c.server.fd, serverAnswer(ComPortCommand::FlowControlSuspend, "") + "s");
    EXPECT_EQ(readPortUntil(*c.port, [](const std::string& s) { return !s.empty(); }), "s");
    EXPECT_TRUE(c.port->sendingPaused());
    const uint8_t data[] = {'a', 'b'};
    EXPECT_EQ(c.port->writeData(data, sizeof data), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GT(c.port->outputQueued(), 0);  // the output wait holds the writer meanwhile

    sendAll(c.server.fd, serverAnswer(ComPortCommand::FlowControlResume, "") + "r");
    EXPECT_EQ(readPortUntil(*c.port, [](const std::string& s) { return !s.empty(); }), "r");
    EXPECT_FALSE(c.port->sendingPaused());
    EXPECT_EQ(c.port->writeData(data, sizeof data), 2);
}

TEST(NetworkPortTest, WriteTheSocketTakesInPartKeepsItsRestWholeBeforeAnythingElse) {
    Connected c(NetworkScheme::Rfc2217, 4096);  // small buffers: the socket fills quickly
    NetworkLineSettings fast;
    fast.baudRate = 100000000;  // the largest window: the socket fills before it does
    ASSERT_EQ(c.port->start(fast), 0);

    // Write until the socket refuses: the last write that was taken was taken in part by the
    // kernel, its rest held here.
    const std::string chunk = randomBytesWithManyIacs(777, 3) + std::string(9, '\xFF');
    std::string accepted;
    for (int i = 0; i < 100000; ++i) {
        const ssize_t w =
            c.port->writeData(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
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
    sendAll(c.server.fd, bytes({IAC, DO, ECHO_OPTION}));
    uint8_t buffer[64];
    for (;;) {
        pollfd p{c.port->fd(), POLLIN, 0};
        ASSERT_GT(::poll(&p, 1, kWaitMs), 0);
        if (c.port->readData(buffer, sizeof buffer) < 0 && errno == EAGAIN) break;
    }

    ServerView view;
    std::thread serverReader([&] {
        while (view.negotiations.empty() || view.negotiations.back() != bytes({IAC, WONT, ECHO_OPTION})) {
            const std::string more = readAvailable(c.server.fd);
            if (more.empty()) break;
            view.feed(more);
        }
    });
    while (c.port->outputQueued() > 0 && !c.port->lost()) {
        c.port->flush();
        pollfd p{c.port->fd(), POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    serverReader.join();
    EXPECT_FALSE(c.port->lost());
    EXPECT_TRUE(view.data == accepted) << "server got " << view.data.size() << " of " << accepted.size();
    ASSERT_EQ(view.negotiations.back(), bytes({IAC, WONT, ECHO_OPTION}));
    EXPECT_EQ(view.negotiationAt.back(), accepted.size());
}

// What only Linux can stage for a network port: a server that never reads, a link with a real
// delay, and connects in a network of the test's own, with a name server of its own.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "shell/message_catalogue.h"
#include "tests/support/delayed_link.h"
#include "tests/support/pty_cable.h"
#include "tests/support/network_test_data.h"
#include "tests/support/own_network.h"

namespace {

using namespace std::chrono_literals;
using namespace telnet;

int listenOn(const sockaddr* at, socklen_t length) {
    const int s = ::socket(at->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::bind(s, at, length), 0) << strerror(errno);
    EXPECT_EQ(::listen(s, 4), 0);
    return s;
}

uint16_t portOf(int s) {
    sockaddr_storage at{};
    socklen_t length = sizeof at;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length);
    return ntohs(at.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&at)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&at)->sin_port);
}

// COM1 on the network port at `path`, COM2 on the near end of a local cable.
void connectTo(Relay& relay, const std::string& path, int32_t baud1, const PtyCable& near, int32_t baud2) {
    relay.comDevicePaths[0] = path;
    relay.comDevicePaths[1] = near.slavePath();
    relay.serialPort1.settings = PortSettings{0, baud1, 8, 0, 0, FlowNone};
    relay.serialPort2.settings = PortSettings{1, baud2, 8, 0, 0, FlowNone};
}

// A server that turns an option on and off for ever, with a data byte now and then, and never
// reads: the replies it is owed cannot pile up without end. The port is dropped with that
// reason, what came as data before was passed on, and the server is tried again. (Wine's sockets
// take in far more than a system's before the port sees the replies pile up.)
TEST(NetworkRelay, AServerThatAsksForRepliesAndNeverReadsIsDroppedAndTriedAgain) {
    TestListener listener(4, 4096);  // its receive buffer fills at once
    // DO BINARY, DONT BINARY: each pair owes a WILL and a WONT; a data byte every 30 kB.
    std::string block;
    while (block.size() < 30000) block += bytesOf({IAC, DO, BINARY, IAC, DONT, BINARY});
    block += 'x';
    PtyCable near;
    Relay relay;
    connectTo(relay, "rfc2217://127.0.0.1:" + std::to_string(listener.port()), 115200, near, 115200);
    ASSERT_EQ(relay.openPort("com1", relay.serialPort1), PortOpenPending);
    ASSERT_EQ(relay.openPort("com2", relay.serialPort2), PortOpened);
    configurePort(relay.serialPort2);
    startRelayWorker(relay.relayChannel2);
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
    EXPECT_TRUE(stepUntil(relay, [&] {
        status = portStatusText(relay);
        return relay.serialPort1.openFailure.kind == RefusalNotReading;
    })) << status;
    EXPECT_EQ(status, "COM1: " + relay.comDevicePaths[0] + " reads nothing it is sent (not a serial server), retrying");
    EXPECT_EQ(near.receive(1, 10000), "x");
    EXPECT_TRUE(stepUntil(relay, [&] { return accepted.load() >= 2; })) << "tried again";
    done = true;
    relay.stopRelayAndClosePorts();
    serverThread.join();
}

// Into a raw TCP server over a link that holds each packet 20 ms each way: the port keeps many
// chunks in flight (not one per acknowledgement), never more than its largest window, and every
// byte arrives once and in order.
TEST(NetworkRelay, OverADelayedLinkManyChunksAreInFlightAndEveryByteArrives) {
    DelayedLink link(20ms);
    if (!link.error().empty()) GTEST_SKIP() << "no delayed link here: " << link.error();
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, DelayedLink::kServerAddress, &address.sin_addr);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    PtyCable near;
    Relay relay;
    relay.comDevicePaths[0] =
        std::string("tcp://") + DelayedLink::kServerSeenFromClient + ":" + std::to_string(ntohs(address.sin_port));
    relay.comDevicePaths[1] = near.slavePath();
    relay.serialPort1.settings = PortSettings{0, 115200, 8, 0, 0, FlowNone};
    relay.serialPort2.settings = PortSettings{1, 115200, 8, 0, 0, FlowNone};
    ASSERT_EQ(relay.openPort("com1", relay.serialPort1), PortOpenPending);
    ASSERT_EQ(relay.openPort("com2", relay.serialPort2), PortOpened);
    configurePort(relay.serialPort2);
    startRelayWorker(relay.relayChannel2);
    ASSERT_TRUE(stepUntil(relay, [&] { return relay.serialPort1.presence.load() == PortPresent; }))
        << portStatusText(relay);
    const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(server, 0);

    const std::string sent = escapeHeavy(1 << 20, 7);
    std::thread writer([&] { near.send(sent); });
    std::string got;
    std::vector<char> buffer(65536);
    for (pollfd p{server, POLLIN, 0}; got.size() < sent.size() && ::poll(&p, 1, 10000) > 0;) {
        const ssize_t n = ::recv(server, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        got.append(buffer.data(), static_cast<size_t>(n));
    }
    writer.join();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "every byte once, in order";
    EXPECT_GE(link.peakInFlight(), 16u * 1024) << "more than a chunk or two in flight at once";
    EXPECT_LE(link.peakInFlight(), NetworkPort::kMaxInFlight);
    EXPECT_EQ(relay.relayChannel2.undeliveredBytes.load(), 0);
    relay.stopRelayAndClosePorts();
    ::close(server);
    ::close(listener);
}

// A name server on 127.0.0.1:53 that keeps every question and answers none until answer():
// then each question so far and after (an A question with 127.0.0.1, any other with none).
class HeldNameServer {
public:
    HeldNameServer() {
        socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = htons(53);
        EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        thread_ = std::thread([this] { serve(); });
    }
    ~HeldNameServer() {
        const uint64_t one = 1;
        EXPECT_EQ(::write(stop_, &one, sizeof one), static_cast<ssize_t>(sizeof one));
        thread_.join();
        ::close(stop_);
        ::close(socket_);
    }
    // Each look-up asks from a socket of its own: the ports its questions came from.
    size_t askers() {
        std::lock_guard lock(mutex_);
        std::set<uint16_t> ports;
        for (const Question& q : questions_) ports.insert(q.from.sin_port);
        return ports.size();
    }
    void answer() {
        std::lock_guard lock(mutex_);
        answering_ = true;
        for (const Question& q : questions_) reply(q);
    }

private:
    struct Question {
        sockaddr_in from;
        std::string packet;
    };

    void serve() {
        for (;;) {
            pollfd fds[2] = {{socket_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || fds[1].revents) return;
            Question q{};
            char packet[512];
            socklen_t length = sizeof q.from;
            const ssize_t n = ::recvfrom(socket_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&q.from), &length);
            if (n < 12) continue;
            q.packet.assign(packet, static_cast<size_t>(n));
            std::lock_guard lock(mutex_);
            questions_.push_back(q);
            if (answering_) reply(q);
        }
    }
    void reply(const Question& q) {
        size_t end = 12;  // the question's name, then its type and class
        while (end < q.packet.size() && q.packet[end] != 0) end += 1 + static_cast<uint8_t>(q.packet[end]);
        end += 5;
        if (end > q.packet.size()) return;
        const bool askedA = q.packet[end - 4] == 0 && q.packet[end - 3] == 1;
        std::string out = q.packet.substr(0, end);
        out[2] = static_cast<char>(0x80 | (q.packet[2] & 0x01));  // an answer, recursion as asked
        out[3] = static_cast<char>(0x80);
        const char counts[8] = {0, 1, 0, static_cast<char>(askedA ? 1 : 0), 0, 0, 0, 0};
        out.replace(4, 8, counts, 8);
        if (askedA) out += std::string("\xC0\x0C\x00\x01\x00\x01\x00\x00\x00\x3C\x00\x04\x7F\x00\x00\x01", 16);
        ::sendto(socket_, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&q.from), sizeof q.from);
    }

    int socket_ = -1;
    int stop_ = eventfd(0, EFD_CLOEXEC);
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Question> questions_;
    bool answering_ = false;
};

// A name server that does not answer: every retry of the port waits for the one look-up already
// asked, instead of asking again and leaving a thread behind each time; its late answer is used.
TEST(NetworkRelay, ANameServerThatDoesNotAnswerIsAskedOnceWhateverTheRetries) {
    inOwnNetwork("127.0.0.1 localhost\n", "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n", [] {
        HeldNameServer names;
        TestListener listener;
        Relay relay;
        relay.comDevicePaths[0] = "tcp://relay-box.test:" + std::to_string(listener.port());
        const size_t threadsBefore = threadsNow();
        ASSERT_EQ(relay.openPort("com1", relay.serialPort1), PortOpenPending);
        ASSERT_TRUE(stepUntil(relay, [&] { return relay.serialPort1.networkRetry.connectFailures >= 2; }));
        EXPECT_EQ(relay.serialPort1.openFailure.kind, RefusalUnreachable);
        EXPECT_EQ(relay.serialPort1.openFailure.systemError, ETIMEDOUT);
        EXPECT_EQ(names.askers(), 1u);
        // The attempts' own threads end at their time-outs: the look-up's alone is left.
        bool settled = false;
        for (int i = 0; i < 2000 && !settled; ++i) {
            settled = threadsNow() <= threadsBefore + 1;
            if (!settled) std::this_thread::sleep_for(5ms);
        }
        EXPECT_TRUE(settled) << threadsNow() - threadsBefore << " threads more than before";

        names.answer();
        ASSERT_TRUE(stepUntil(relay, [&] { return relay.serialPort1.presence.load() == PortPresent; }));
        EXPECT_EQ(names.askers(), 1u);
        relay.stopRelayAndClosePorts();
    });
}

// A link-local address is only reachable through its interface: with it (`%lo` here) the port
// connects; without it the path is refused at once, saying what it lacks, and not retried.
TEST(NetworkRelay, ALinkLocalAddressConnectsThroughTheInterfaceItNames) {
    inOwnNetwork("127.0.0.1 localhost\n", "", [] {
        ASSERT_TRUE(addLinkLocalToLoopback());
        sockaddr_in6 at{};
        at.sin6_family = AF_INET6;
        inet_pton(AF_INET6, "fe80::1", &at.sin6_addr);
        at.sin6_scope_id = if_nametoindex("lo");
        const int listener = listenOn(reinterpret_cast<sockaddr*>(&at), sizeof at);
        const std::string port = std::to_string(portOf(listener));

        Relay relay;
        relay.comDevicePaths[0] = "tcp://[fe80::1]:" + port;
        ASSERT_EQ(relay.openPort("com1", relay.serialPort1), PortOpenFailed);
        EXPECT_EQ(relay.serialPort1.openFailure.kind, RefusalZoneMissing);
        EXPECT_EQ(relay.serialPort1.presence.load(), PortHalted);
        EXPECT_NE(portStatusText(relay).find("link-local address: it needs the interface"), std::string::npos)
            << portStatusText(relay);

        relay.comDevicePaths[0] = "tcp://[fe80::1%lo]:" + port;
        ASSERT_EQ(relay.openPort("com1", relay.serialPort1), PortOpenPending);
        ASSERT_TRUE(stepUntil(relay, [&] { return relay.serialPort1.presence.load() == PortPresent; }));
        relay.stopRelayAndClosePorts();
        ::close(listener);
    });
}

// A name whose first address never answers (::1, its listener's accept queue full, so SYNs are
// dropped) and whose second listens (127.0.0.1): the second is tried while the first still
// waits, and wins.
TEST(NetworkConnectorTest, NameWhoseFirstAddressIsSilentConnectsToTheNext) {
    inOwnNetwork("::1 relay-box\n127.0.0.1 relay-box\n", "", [] {
        sockaddr_in6 at6{};
        at6.sin6_family = AF_INET6;
        at6.sin6_addr = in6addr_loopback;
        const int silent = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(silent, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&at6), sizeof at6), 0);
        ASSERT_EQ(::listen(silent, 0), 0);
        at6.sin6_port = htons(portOf(silent));
        // One connection fills the queue.
        const int filler = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&at6), sizeof at6), 0);
        sockaddr_in at4{};
        at4.sin_family = AF_INET;
        at4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at4.sin_port = at6.sin6_port;
        const int listening = listenOn(reinterpret_cast<sockaddr*>(&at4), sizeof at4);

        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        ASSERT_EQ(getaddrinfo("relay-box", nullptr, &hints, &found), 0);
        const int firstFamily = found->ai_family;
        freeaddrinfo(found);
        ASSERT_EQ(firstFamily, AF_INET6) << "the silent address must come first";

        NetworkConnector connector({NetworkScheme::Tcp, "relay-box", portOf(listening)});
        const ConnectResult r = awaitResult(connector);
        ASSERT_EQ(r.state, ConnectResult::State::Connected) << r.systemError;
        const int fd = connector.take();
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        ASSERT_EQ(getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length), 0);
        EXPECT_EQ(peer.ss_family, AF_INET);
        for (int s : {fd, listening, filler, silent}) ::close(s);
    });
}

}  // namespace

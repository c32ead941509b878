// What only Linux can stage for a network port: a server that never reads, a link with a real
// delay, and connects in a network of the test's own, with a name server of its own.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "relay/relay.h"
#include "shell/message_catalogue.h"
#include "tests/support/delayed_link.h"
#include "tests/support/network_test_data.h"
#include "tests/support/own_network.h"

namespace {

using namespace std::chrono_literals;
using namespace telnet;

int listenOn(const sockaddr* at, socklen_t length, int backlog = 4) {
    const int s = ::socket(at->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;  // an IPv6 listener leaves IPv4 to another
    if (at->sa_family == AF_INET6) ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    EXPECT_EQ(::bind(s, at, length), 0) << strerror(errno);
    EXPECT_EQ(::listen(s, backlog), 0);
    return s;
}

uint16_t portOf(int s) {
    sockaddr_in6 at{};  // the port is at the same place in both families' addresses
    socklen_t length = sizeof at;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length);
    return ntohs(at.sin6_port);
}

size_t threadsNow() {
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

// A server that turns an option on and off for ever, with a data byte now and then, and never
// reads: the port is dropped with that reason, what came as data before was passed on, and the
// server is tried again. (Wine's sockets take in far more than a system's before the port sees
// the replies pile up.)
TEST_F(NetworkRelayTest, AServerThatAsksForRepliesAndNeverReadsIsDroppedAndTriedAgain) {
    listener = TestListener(4, 4096);  // its receive buffer fills at once
    std::string block;
    while (block.size() < 30000) block += bytesOf({IAC, DO, BINARY, IAC, DONT, BINARY});
    block += 'x';
    ASSERT_NO_FATAL_FAILURE(openBoth(pathOf(NetworkScheme::Rfc2217)));
    std::atomic<int> accepted{0};
    std::atomic<bool> done{false};
    std::thread serverThread([&] {
        while (!done) {
            TestSocket peer = listener.accept(50);
            if (!peer.valid()) continue;
            accepted += 1;
            // It answers the rate, as a serial server does, so its data count as the device's.
            peer.sendAll(serverAnswer(ComPortCommand::SetBaudRate, bytesOf({0, 1, 0xC2, 0})));
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

// Into a raw TCP server over a link that holds each packet 20 ms each way: the port keeps many
// chunks in flight (not one per acknowledgement), never more than its largest window (256 KiB),
// and every byte arrives once and in order.
TEST_F(NetworkRelayTest, OverADelayedLinkManyChunksAreInFlightAndEveryByteArrives) {
    DelayedLink link(20ms);
    if (!link.error().empty()) GTEST_SKIP() << "no delayed link here: " << link.error();
    sockaddr_in at{};
    at.sin_family = AF_INET;
    ::inet_pton(AF_INET, DelayedLink::kServerAddress, &at.sin_addr);
    const int far = listenOn(reinterpret_cast<sockaddr*>(&at), sizeof at);
    ASSERT_NO_FATAL_FAILURE(
        openBoth(std::string("tcp://") + DelayedLink::kServerSeenFromClient + ":" + std::to_string(portOf(far))));
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.presence.load() == PortPresent; }));
    server = TestSocket(::accept4(far, nullptr, nullptr, SOCK_CLOEXEC));
    const std::string sent = escapeHeavy(1 << 20, 7);
    std::thread writer([&] { cable->send(sent); });
    const std::string got = server.receive(sent.size());
    writer.join();
    EXPECT_TRUE(got == sent) << "every byte once, in order: " << got.size() << " of " << sent.size();
    EXPECT_GE(link.peakInFlight(), 16u * 1024) << "more than a chunk or two in flight at once";
    EXPECT_LE(link.peakInFlight(), 256u * 1024);
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    relay->stopRelayAndClosePorts();
    ::close(far);
}

// A name server on 127.0.0.1:53 that keeps every question and answers none until answer():
// then each question so far and after (an A question with 127.0.0.1, any other with none).
class HeldNameServer {
public:
    HeldNameServer() {
        sockaddr_in at{AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        thread_ = std::thread([this] {
            for (pollfd p{socket_, POLLIN, 0}; !stop_;) {
                if (::poll(&p, 1, 20) <= 0) continue;
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
        });
    }
    ~HeldNameServer() {
        stop_ = true;
        thread_.join();
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

    int socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> stop_{false};
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
        for (int i = 0; i < 2000 && !(settled = threadsNow() <= threadsBefore + 1); ++i) std::this_thread::sleep_for(5ms);
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
        sockaddr_in6 at{};
        at.sin6_family = AF_INET6;
        inet_pton(AF_INET6, "fe80::1", &at.sin6_addr);
        at.sin6_scope_id = if_nametoindex("lo");
        // The kernel's in6_ifreq, which <linux/ipv6.h> would bring with definitions that clash
        // with the C library's: the loopback gets the address a link would have.
        struct {
            in6_addr address;
            uint32_t prefixLength;
            int interfaceIndex;
        } request{at.sin6_addr, 64, static_cast<int>(at.sin6_scope_id)};
        const int control = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(ioctl(control, SIOCSIFADDR, &request), 0) << strerror(errno);
        ::close(control);
        // The kernel finishes adding it on a work queue of its own: until then it cannot be bound.
        int listener = -1;
        for (int i = 0; i < 2000 && listener < 0; ++i) {
            listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && ::listen(listener, 4) == 0) break;
            ::close(listener);
            listener = -1;
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_GE(listener, 0) << "fe80::1 never became usable";
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
        const int silent = listenOn(reinterpret_cast<sockaddr*>(&at6), sizeof at6, 0);
        at6.sin6_port = htons(portOf(silent));
        const int filler = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);  // fills the queue
        ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&at6), sizeof at6), 0);
        sockaddr_in at4{AF_INET, at6.sin6_port, {htonl(INADDR_LOOPBACK)}, {}};
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

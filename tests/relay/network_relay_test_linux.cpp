// What only Linux can stage for a network port: a link with a real delay, and connects in a network
// of the test's own, with a name server of its own.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>

#include "tests/support/delayed_link.h"
#include "tests/support/network_test_data.h"
#include "tests/support/own_network.h"

namespace {

using namespace std::chrono_literals;

// A listener on `at` (an IPv6 one leaves IPv4 to another); -1 when it cannot bind yet.
template <typename Address>
int listenOn(const Address& at, int backlog = 4) {
    const int s = ::socket(reinterpret_cast<const sockaddr*>(&at)->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
    ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 && ::listen(s, backlog) == 0) return s;
    ::close(s);
    return -1;
}

uint16_t portOf(int s) {
    sockaddr_in6 at{};  // the port is at the same place in both families' addresses
    socklen_t length = sizeof at;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length);
    return ntohs(at.sin6_port);
}

size_t threadsNow() { return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }

// Into a raw TCP server over a link that holds each packet 20 ms each way: the port keeps many chunks in flight (not
// one per acknowledgement), never more than its largest window (256 KiB), and every byte arrives once and in order.
TEST_F(NetworkRelayTest, OverADelayedLinkManyChunksAreInFlightAndEveryByteArrives) {
    DelayedLink link(20ms);
    if (!link.error().empty()) GTEST_SKIP() << "no delayed link here: " << link.error();
    sockaddr_in at{AF_INET, 0, {}, {}};
    ::inet_pton(AF_INET, DelayedLink::kServerAddress, &at.sin_addr);
    const int far = listenOn(at);
    ASSERT_NO_FATAL_FAILURE(
        openBoth(std::string("tcp://") + DelayedLink::kServerSeenFromClient + ":" + std::to_string(portOf(far))));
    ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.presence.load() == PortPresent; }));
    server = TestSocket(::accept4(far, nullptr, nullptr, SOCK_CLOEXEC));
    const std::string sent = escapeHeavy(1 << 20, 7);
    std::atomic<bool> done{false};
    int peak = 0;  // the port's socket's bytes sent and not yet acknowledged (or not yet sent), at their most
    std::thread writer([&] { cable->send(sent); }), sampler([&, fd = relay->serialPort1.handle.load()] {
        for (int queued = 0; !done; std::this_thread::sleep_for(1ms))
            peak = std::max(peak, ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : 0);
    });
    const std::string got = server.receive(sent.size());
    done = true;
    writer.join();
    sampler.join();
    EXPECT_TRUE(got == sent) << "every byte once, in order: " << got.size() << " of " << sent.size();
    EXPECT_TRUE(peak >= 16 * 1024 && peak <= 256 * 1024)
        << peak << ": more than a chunk or two in flight at once, within the window";
    EXPECT_EQ(relay->relayChannel2.undeliveredBytes.load(), 0);
    relay->stopRelayAndClosePorts();
    ::close(far);
}

// A name server on 127.0.0.1:53 that takes its questions at each serve() and answers none until answer(): then
// each so far and after (an A question with 127.0.0.1, any other with none).
class HeldNameServer {
public:
    HeldNameServer() {
        sockaddr_in at{AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    }
    ~HeldNameServer() { ::close(socket_); }
    // Always true: a step's condition can serve on its way.
    bool serve() {
        Question q{};
        char packet[512];
        socklen_t length = sizeof q.first;
        for (ssize_t n; (n = ::recvfrom(socket_, packet, sizeof packet, MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&q.first), &length)) >= 0;) {
            if (n < 12) continue;
            questions_.emplace_back(q.first, std::string(packet, static_cast<size_t>(n)));
            if (answering_) reply(questions_.back());
        }
        return true;
    }
    // Each look-up asks from a socket of its own: the ports its questions came from.
    size_t askers() const {
        std::set<uint16_t> ports;
        for (const Question& q : questions_) ports.insert(q.first.sin_port);
        return ports.size();
    }
    void answer() {
        answering_ = true;
        std::ranges::for_each(questions_, [this](const Question& q) { reply(q); });
    }

private:
    using Question = std::pair<sockaddr_in, std::string>;  // from where, the packet
    void reply(const Question& q) {
        const std::string& packet = q.second;
        size_t end = 12;  // the question's name, then its type and class
        while (end < packet.size() && packet[end] != 0) end += 1 + static_cast<uint8_t>(packet[end]);
        if ((end += 5) > packet.size()) return;
        const bool askedA = packet[end - 4] == 0 && packet[end - 3] == 1;
        std::string out = packet.substr(0, end);
        out[2] = static_cast<char>(0x80 | (packet[2] & 0x01));  // an answer, recursion as asked
        out[3] = static_cast<char>(0x80);
        const char counts[8] = {0, 1, 0, static_cast<char>(askedA ? 1 : 0), 0, 0, 0, 0};
        out.replace(4, 8, counts, 8);
        if (askedA) out += std::string("\xC0\x0C\x00\x01\x00\x01\x00\x00\x00\x3C\x00\x04\x7F\x00\x00\x01", 16);
        ::sendto(socket_, out.data(), out.size(), 0, reinterpret_cast<const sockaddr*>(&q.first), sizeof q.first);
    }

    int socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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
        // A thread started and ended first: a sanitizer's own helper thread, which comes with
        // the first thread a process starts, is then counted before.
        std::thread([] {}).join();
        const size_t threadsBefore = threadsNow();
        ASSERT_EQ(relay.openPort("com1", relay.serialPort1), PortOpenPending);
        ASSERT_TRUE(
            stepUntil(relay, [&] { return names.serve() && relay.serialPort1.networkRetry.connectFailures >= 2; }));
        EXPECT_TRUE(relay.serialPort1.openFailure.kind == RefusalUnreachable &&
                    relay.serialPort1.openFailure.systemError == ETIMEDOUT);
        EXPECT_EQ(names.askers(), 1u);
        // The attempts' own threads end at their time-outs: the look-up's alone is left.
        EXPECT_TRUE(eventually([&] { return threadsNow() <= threadsBefore + 1; }, [&] { names.serve(); }))
            << threadsNow() - threadsBefore << " threads more than before";
        names.answer();
        const auto connected = [&] { return names.serve() && relay.serialPort1.presence.load() == PortPresent; };
        ASSERT_TRUE(stepUntil(relay, connected));
        EXPECT_EQ(names.askers(), 1u);
        relay.stopRelayAndClosePorts();
    });
}

// A name whose first address never answers (::1, its listener's accept queue full, so SYNs are dropped) and
// whose second listens (127.0.0.1): the second is tried while the first still waits, and wins.
TEST(NetworkConnectorTest, NameWhoseFirstAddressIsSilentConnectsToTheNext) {
    inOwnNetwork("::1 relay-box\n127.0.0.1 relay-box\n", "", [] {
        sockaddr_in6 at6{AF_INET6, 0, 0, in6addr_loopback, 0};
        const int silent = listenOn(at6, 0);
        at6.sin6_port = htons(portOf(silent));
        const int filler = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);  // fills the queue
        ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&at6), sizeof at6), 0);
        TestListener listening(4, 0, portOf(silent));
        addrinfo hints{0, 0, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr}, *found = nullptr;
        ASSERT_EQ(getaddrinfo("relay-box", nullptr, &hints, &found), 0);
        const int firstFamily = found->ai_family;
        freeaddrinfo(found);
        ASSERT_EQ(firstFamily, AF_INET6) << "the silent address must come first";

        NetworkConnector connector({NetworkScheme::Tcp, "relay-box", listening.port()});
        const ConnectResult r = awaitResult(connector);
        ASSERT_EQ(r.state, ConnectResult::State::Connected) << r.systemError;
        const int fd = connector.take();
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        EXPECT_TRUE(getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.ss_family == AF_INET);
        for (int s : {fd, filler, silent}) ::close(s);
    });
}

}  // namespace

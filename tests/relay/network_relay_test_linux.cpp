// The relay with one end on a real serial server (ser2net on 127.0.0.1, serving a pty whose
// master the test holds as the far device) and the other on a local pty cable.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "shell/message_catalogue.h"
#include "tests/support/delayed_link.h"
#include "tests/support/pty_cable.h"
#include "tests/support/network_test_data.h"
#include "tests/support/serial_servers.h"

namespace {

using namespace std::chrono_literals;

TEST(NetworkRelay, RelaysExactlyThroughTheServerLetsGoWhenItDiesAndComesBackWhenItReturns) {
    SKIP_UNLESS_SERVER_AVAILABLE(Ser2netServer);
    PtyCable far, near;
    Ser2netServer server(far.slavePath());
    ASSERT_TRUE(server.start()) << server.error();

    Relay relay;
    relay.comDevicePaths[0] = "rfc2217://127.0.0.1:" + std::to_string(server.rfc2217Port());
    relay.comDevicePaths[1] = near.slavePath();
    for (SerialPort* port : {&relay.serialPort1, &relay.serialPort2}) {
        port->settings = PortSettings{port == &relay.serialPort1 ? 0 : 1, 115200, 8, 0, 0, FlowNone};
    }
    // The network port is not open when its open returns: nothing waits for the connect.
    ASSERT_EQ(relay.openPort("com1", relay.serialPort1), PortOpenPending);
    EXPECT_FALSE(relay.serialPort1.isOpen());
    ASSERT_EQ(relay.openPort("com2", relay.serialPort2), PortOpened);
    configurePort(relay.serialPort2);
    startRelayWorker(relay.relayChannel2);
    ASSERT_TRUE(stepUntil(relay, [&] { return relay.serialPort1.presence.load() == PortPresent; }));
    ASSERT_TRUE(stepUntil(relay, [&] {
        const NetworkPort* network = relay.serialPort1.network.get();
        return network != nullptr && network->readBack().baudAnswered;
    }));
    EXPECT_EQ(relay.serialPort1.network->readBack().baudRate, 115200u);

    exchangeExactly(far, near, 48 * 1024, 1);

    // The server dies: the port is let go and waits for it; the other direction goes on and
    // what it cannot deliver is counted.
    server.stop();
    ASSERT_TRUE(stepUntil(relay, [&] {
        return relay.serialPort1.presence.load() == PortAway && !relay.serialPort1.isOpen();
    }));
    const PortRefusal why = relay.serialPort1.openFailure.kind;
    EXPECT_TRUE(why == RefusalConnectionLost || why == RefusalUnreachable) << why;
    near.send("undeliverable");
    ASSERT_TRUE(stepUntil(relay, [&] { return relay.relayChannel2.undeliveredBytes.load() >= 13; }));
    ASSERT_TRUE(stepUntil(relay, [&] { return relay.serialPort1.openFailure.kind == RefusalUnreachable; }));
    EXPECT_EQ(relay.serialPort1.openFailure.systemError, ECONNREFUSED);

    // Back on the same port: connected again by itself, the settings sent again, exact again.
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(stepUntil(relay, [&] { return relay.serialPort1.presence.load() == PortPresent; }));
    EXPECT_EQ(relay.relayChannel2.undeliveredBytes.load(), 0);
    ASSERT_TRUE(stepUntil(relay, [&] {
        const NetworkPort* network = relay.serialPort1.network.get();
        return network != nullptr && network->readBack().baudAnswered;
    }));
    EXPECT_EQ(far.receive(1, 300), "") << "nothing from before the loss arrives late";
    exchangeExactly(far, near, 16 * 1024, 3);
}

// A server of the test's own that answers the rate with another one and tells its modem lines:
// the status bar names what the server set instead, and the tooltip the lines it reported.
TEST(NetworkRelay, TheServersOtherAnswerAndItsModemStateAreTold) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    PtyCable near;
    Relay relay;
    relay.comDevicePaths[0] = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    relay.comDevicePaths[1] = near.slavePath();
    relay.serialPort1.settings = PortSettings{0, 12345, 8, 0, 0, FlowNone};
    relay.serialPort2.settings = PortSettings{1, 9600, 8, 0, 0, FlowNone};
    ASSERT_EQ(relay.openPort("com1", relay.serialPort1), PortOpenPending);
    ASSERT_EQ(relay.openPort("com2", relay.serialPort2), PortOpened);
    EXPECT_EQ(portStatusText(relay), "COM1: " + relay.comDevicePaths[0] + " connecting");
    ASSERT_TRUE(stepUntil(relay, [&] { return relay.serialPort1.presence.load() == PortPresent; }));
    const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(server, 0);
    // SET-BAUDRATE answered as 4096 (0x1000), then NOTIFY-MODEMSTATE with CD and CTS up.
    const unsigned char answers[] = {255, 250, 44, 101, 0, 0, 0x10, 0, 255, 240,
                                     255, 250, 44, 107, 0x90, 255, 240, 'x'};
    ASSERT_EQ(::send(server, answers, sizeof answers, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof answers));
    EXPECT_EQ(near.receive(1, 10000), "x");
    EXPECT_EQ(portStatusText(relay), "COM1: the server set 4096 baud instead of 12345");
    EXPECT_EQ(portLineStateText(relay), "COM1 (" + relay.comDevicePaths[0] + "): modem state 0x90 (CD CTS up)");
    relay.stopRelayAndClosePorts();
    ::close(server);
    ::close(listener);
}

// A server that turns an option on and off for ever, with a data byte now and then, and never
// reads: the replies it is owed cannot pile up without end. The port is dropped with that
// reason, what came as data before was passed on, and the server is tried again.
TEST(NetworkRelay, AServerThatAsksForRepliesAndNeverReadsIsDroppedAndTriedAgain) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;  // its receive buffer fills at once
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    // DO BINARY, DONT BINARY: each pair owes a WILL and a WONT; a data byte every 30 kB.
    std::string block;
    const std::string toggle("\xff\xfd\x00\xff\xfe\x00", 6);
    while (block.size() < 30000) block += toggle;
    block += 'x';

    PtyCable near;
    Relay relay;
    relay.comDevicePaths[0] = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    relay.comDevicePaths[1] = near.slavePath();
    relay.serialPort1.settings = PortSettings{0, 115200, 8, 0, 0, FlowNone};
    relay.serialPort2.settings = PortSettings{1, 115200, 8, 0, 0, FlowNone};
    ASSERT_EQ(relay.openPort("com1", relay.serialPort1), PortOpenPending);
    ASSERT_EQ(relay.openPort("com2", relay.serialPort2), PortOpened);
    configurePort(relay.serialPort2);
    startRelayWorker(relay.relayChannel2);
    // Started once nothing can end the test early, so that it is always joined.
    std::atomic<int> accepted{0};
    std::atomic<bool> done{false};
    std::thread server([&] {
        while (!done) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0) continue;
            accepted += 1;
            // It answers the rate, as a serial server does, so its data count as the device's.
            const unsigned char rate[] = {255, 250, 44, 101, 0, 1, 0xC2, 0, 255, 240};
            ::send(peer, rate, sizeof rate, MSG_NOSIGNAL);
            // Until the port lets go (bounded: far more than any socket buffers hold).
            for (size_t sent = 0; !done && sent < (256u << 20);) {
                const ssize_t n = ::send(peer, block.data(), block.size(), MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            ::close(peer);
        }
    });

    std::string status;  // taken at once: the next try may already be under way afterwards
    EXPECT_TRUE(stepUntil(relay, [&] {
        status = portStatusText(relay);
        return relay.serialPort1.openFailure.kind == RefusalNotReading;
    })) << status;
    EXPECT_EQ(status, "COM1: " + relay.comDevicePaths[0] + " reads nothing it is sent (not a serial server), retrying");
    const std::string data = near.receive(1, 10000);
    EXPECT_EQ(data, "x");
    EXPECT_TRUE(stepUntil(relay, [&] { return accepted.load() >= 2; })) << "tried again";
    done = true;
    relay.stopRelayAndClosePorts();
    server.join();
    ::close(listener);
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

}  // namespace

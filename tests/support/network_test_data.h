// What the network tests share: their data, a port or a relay on a test server, the waits, the server's reading.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "relay/network_port.h"
#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "relay/telnet_codec.h"
#include "tests/support/pty_cable.h"
#include "tests/support/test_socket.h"

// Random bytes, a quarter of them 0xFF: the byte Telnet escapes.
inline std::string escapeHeavy(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(random() % 4 == 0 ? 0xFF : random() % 256);
    return s;
}

inline std::string bytesOf(std::initializer_list<int> values) { return std::string(values.begin(), values.end()); }

// Data as a Telnet server sends it: each 0xFF doubled.
inline std::string escaped(const std::string& data) {
    std::string out;
    for (char c : data) out += static_cast<uint8_t>(c) == telnet::IAC ? std::string(2, c) : std::string(1, c);
    return out;
}

// A server's answer to `command` (its code plus 100), the value escaped.
inline std::string serverAnswer(ComPortCommand command, const std::string& value) {
    using namespace telnet;
    return bytesOf({IAC, SB, COM_PORT_OPTION, static_cast<int>(command) + 100}) + escaped(value) + bytesOf({IAC, SE});
}

// The server's reading of the client's stream: data with escapes undone, each negotiation as its
// three bytes (and how much data had come before it), each subnegotiation's content.
struct ServerView {
    std::string data;
    std::vector<std::string> negotiations, subnegotiations;
    std::vector<size_t> negotiationAt;

    void feed(const std::string& in) {
        using namespace telnet;
        for (char ch : in) {
            const auto b = static_cast<uint8_t>(ch);
            if (state_ == 1) {  // after IAC
                if (b == IAC) data += ch;
                verb_ = b;
                sub_.clear();
                state_ = b >= WILL && b <= DONT ? 2 : b == SB ? 3 : 0;
            } else if (state_ == 2) {
                negotiations.push_back(bytesOf({IAC, verb_, b}));
                negotiationAt.push_back(data.size());
                state_ = 0;
            } else if (state_ == 4) {  // IAC inside a subnegotiation
                if (b == SE) subnegotiations.push_back(sub_);
                if (b == IAC) sub_ += ch;
                state_ = b == SE ? 0 : 3;
            } else if (b == IAC) state_ = state_ == 0 ? 1 : 4;
            else (state_ == 0 ? data : sub_) += ch;
        }
    }

private:
    int state_ = 0;  // 0 data, 1 after IAC, 2 a negotiation's option, 3 a subnegotiation, 4 IAC in it
    uint8_t verb_ = 0;
    std::string sub_;
};

// The server's reading until `enough`, or until the stream pauses for long.
inline ServerView readServer(TestSocket& server, const std::function<bool(const ServerView&)>& enough) {
    ServerView view;
    for (std::string more; !enough(view) && !(more = server.receiveSome()).empty();) view.feed(more);
    return view;
}

// A client port connected to a socket the test holds as the server.
struct Connected {
    TestListener listener;
    TestSocket server;
    std::unique_ptr<NetworkPort> port;

    explicit Connected(NetworkScheme scheme = NetworkScheme::Rfc2217, int bufferSize = 0,
                       const NetworkLineSettings& settings = {})
        : listener(1, bufferSize) {
        TestSocket client = connectLocal(listener.port(), bufferSize);
        server = listener.accept();
        EXPECT_TRUE(client.valid() && server.valid());
        if (bufferSize > 0) server.setBuffers(bufferSize);
        port = std::make_unique<NetworkPort>(client.release(), scheme);
        EXPECT_EQ(port->start(settings), 0);
    }
    ssize_t write(const std::string& data) {
        return port->writeData(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
};

inline NetworkAddress loopback(uint16_t port) { return {NetworkScheme::Rfc2217, "127.0.0.1", port}; }

// Asks the connector until the attempt has ended, as an owner's timer would.
inline ConnectResult awaitResult(const NetworkConnector& connector) {
    ConnectResult r;
    eventually([&] { return (r = connector.result()).state != ConnectResult::State::Pending; });
    return r;
}

// Reads the port as a worker does (wait for input or until data held back is due, read) until
// `atLeast` bytes came (0: until the loss). End of file and failures only ever come with the loss.
inline std::string readPortUntil(NetworkPort& port, size_t atLeast = 0) {
    std::string got;
    uint8_t buffer[4096];
    while ((atLeast == 0 || got.size() < atLeast) && !port.lost()) {
        const int due = port.readWaitMs();
        const int ready = waitPortInput(port, due >= 0 ? std::min(due, 10000) : 10000);
        if (ready < 0 || (ready == 0 && due < 0)) {
            ADD_FAILURE() << "no input from the server";
            return got;
        }
        const ssize_t n = port.readData(buffer, sizeof buffer);
        if (n > 0) got.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
        EXPECT_TRUE(n > 0 || (n < 0 && errno == EAGAIN) || port.lost());
    }
    return got;
}

// Sends what the port holds back, waiting for room as a worker does.
inline void flushPort(NetworkPort& port) {
    for (; port.outputQueued() > 0 && !port.lost(); waitPortRoom(port, 10)) port.flush();
}

// Steps the relay as the program's timer does (at `now()`) until `done`, or gives up after 20 s.
inline bool stepUntil(Relay& relay, const std::function<bool()>& done,
                      const std::function<std::chrono::steady_clock::time_point()>& now = std::chrono::steady_clock::now) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (std::chrono::steady_clock::now() > end) return false;
        else reconnectPorts(relay, now());
    return true;
}

// The relay with COM1 on a network port to the test's server on 127.0.0.1 and COM2 on a serial
// cable, relaying to COM1.
class NetworkRelayTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef _WIN32
        if (std::getenv("VORLINEX_WINE_CABLES") == nullptr)
            GTEST_SKIP() << "needs the Wine runner's COM cables (VORLINEX_WINE_CABLES)";
#endif
        cable = std::make_unique<PtyCable>();
    }
    // COM1 on `path`, COM2 on the cable; the network port connects in the background, and nothing waits for it.
    void openBoth(const std::string& path, int32_t baud1 = 115200) {
        relay = std::make_unique<Relay>();
        relay->comDevicePaths[0] = path;
        relay->comDevicePaths[1] = cable->slavePath();
        relay->serialPort1.settings = {0, baud1, 8, 0, 0, FlowNone};
        relay->serialPort2.settings = {1, 115200, 8, 0, 0, FlowNone};
        ASSERT_EQ(relay->openPort("com1", relay->serialPort1), PortOpenPending);
        EXPECT_FALSE(relay->serialPort1.isOpen()) << "nothing waits for the connect";
        ASSERT_TRUE(relay->openPort("com2", relay->serialPort2) == PortOpened && configurePort(relay->serialPort2) == 0);
        ASSERT_EQ(startRelayWorker(relay->relayChannel2), 0);
    }
    std::string rfc2217Path() const { return "rfc2217://127.0.0.1:" + std::to_string(listener.port()); }
    // Steps until COM1 is connected and takes the server's end of it from the listener.
    void awaitServer() {
        ASSERT_TRUE(stepUntil(*relay, [&] { return relay->serialPort1.presence.load() == PortPresent; }));
        ASSERT_TRUE((server = listener.accept()).valid());
    }

    std::unique_ptr<PtyCable> cable;
    TestListener listener;
    TestSocket server;
    std::unique_ptr<Relay> relay;  // ended first
};

// What the network port tests of both systems share: their data, their address, the wait for a
// connector, the exchange both ways between two ends that send and receive, and a server's
// reading of the Telnet stream written apart from the port's own codec.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "relay/network_port.h"
#include "relay/port_reconnect.h"
#include "relay/relay.h"
#include "relay/telnet_codec.h"
#include "tests/support/test_socket.h"

// Random bytes, a quarter of them 0xFF: the byte Telnet escapes.
inline std::string escapeHeavy(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(random() % 4 == 0 ? 0xFF : random() % 256);
    return s;
}

// Bytes from their values: bytesOf({telnet::IAC, telnet::DO, 1}).
inline std::string bytesOf(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

// Data as a Telnet server sends it: each 0xFF doubled.
inline std::string escaped(const std::string& data) {
    std::string out;
    for (char c : data) {
        out += c;
        if (static_cast<uint8_t>(c) == telnet::IAC) out += c;
    }
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
    std::vector<std::string> negotiations;
    std::vector<size_t> negotiationAt;
    std::vector<std::string> subnegotiations;

    void feed(const std::string& in) {
        using namespace telnet;
        for (char ch : in) {
            const auto b = static_cast<uint8_t>(ch);
            switch (state_) {
                case 0:
                    if (b == IAC) state_ = 1; else data += ch;
                    break;
                case 1:
                    if (b == IAC) { data += ch; state_ = 0; }
                    else if (b >= WILL && b <= DONT) { verb_ = b; state_ = 2; }
                    else if (b == SB) { sub_.clear(); state_ = 3; }
                    else state_ = 0;
                    break;
                case 2:
                    negotiations.push_back(bytesOf({IAC, verb_, b}));
                    negotiationAt.push_back(data.size());
                    state_ = 0;
                    break;
                case 3:
                    if (b == IAC) state_ = 4; else sub_ += ch;
                    break;
                case 4:
                    if (b == SE) { subnegotiations.push_back(sub_); state_ = 0; }
                    else { if (b == IAC) sub_ += ch; state_ = 3; }
                    break;
            }
        }
    }

private:
    int state_ = 0;
    uint8_t verb_ = 0;
    std::string sub_;
};

inline NetworkAddress loopback(uint16_t port, NetworkScheme scheme = NetworkScheme::Rfc2217) {
    return {scheme, "127.0.0.1", port};
}

// Asks the connector until the attempt has ended, as an owner's timer would.
inline ConnectResult awaitResult(const NetworkConnector& connector, int waitMs = 10000) {
    ConnectResult r;
    for (int i = 0; i < waitMs / 5; ++i) {
        r = connector.result();
        if (r.state != ConnectResult::State::Pending) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return r;
}

// For readPortUntil: read until the port is lost, or until at least n bytes came.
inline bool never(const std::string&) { return false; }
inline std::function<bool(const std::string&)> atLeast(size_t n) {
    return [n](const std::string& s) { return s.size() >= n; };
}

// Reads the port as a worker does (wait for input or until data held back is due, read) until
// `enough` says so or the port is lost. End of file and failures only ever come with the loss.
inline std::string readPortUntil(NetworkPort& port, const std::function<bool(const std::string&)>& enough) {
    std::string got;
    uint8_t buffer[4096];
    while (!enough(got) && !port.lost()) {
        const int due = port.readWaitMs();
        const int ready = waitPortInput(port, due >= 0 ? std::min(due, 10000) : 10000);
        if (ready < 0 || (ready == 0 && due < 0)) {
            ADD_FAILURE() << "no input from the server";
            break;
        }
        const ssize_t n = port.readData(buffer, sizeof buffer);
        if (n > 0) got.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            EXPECT_TRUE(port.lost());
        }
    }
    return got;
}

// Steps the relay as the program's timer does until `done`, or gives up after 20 s.
inline bool stepUntil(Relay& relay, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        reconnectPorts(relay);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Both ways at once between two device ends (anything with send(bytes) and receive(count,
// timeoutMs)), every byte once and in order. (Not "far" and "near": Windows' headers take those.)
template <typename Far, typename Near>
void exchangeExactly(Far& farEnd, Near& nearEnd, size_t n, unsigned seed) {
    const std::string toNear = escapeHeavy(n, seed), toFar = escapeHeavy(n, seed + 1);
    std::string atNear, atFar;
    std::thread a([&] { farEnd.send(toNear); });
    std::thread b([&] { nearEnd.send(toFar); });
    std::thread c([&] { atNear = nearEnd.receive(toNear.size(), 10000); });
    atFar = farEnd.receive(toFar.size(), 10000);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(atNear.size(), toNear.size());
    EXPECT_TRUE(atNear == toNear) << "far to near: every byte once, in order";
    EXPECT_EQ(atFar.size(), toFar.size());
    EXPECT_TRUE(atFar == toFar) << "near to far: every byte once, in order";
}

// What the network port tests of both systems share: their data, their address, the wait for a
// connector, and the exchange both ways between two ends that send and receive.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <cstdint>
#include <random>
#include <string>
#include <thread>

#include "relay/network_port.h"
#include "relay/port_reconnect.h"
#include "relay/relay.h"

// Random bytes, a quarter of them 0xFF: the byte Telnet escapes.
inline std::string escapeHeavy(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(random() % 4 == 0 ? 0xFF : random() % 256);
    return s;
}

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

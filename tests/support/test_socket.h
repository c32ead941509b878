// Sockets of a test's own on 127.0.0.1, one API on both systems: the server a test plays against
// a network port or the relay, a port that refuses, a listener that never answers. Waits end as
// soon as what they wait for happens; reaching one's bound is a failure, not a time measured.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "relay/network_port.h"

class TestSocket {
public:
    TestSocket() = default;
    explicit TestSocket(NetworkSocket s) : s_(s) {}
    TestSocket(TestSocket&& o) noexcept : s_(o.release()) {}
    TestSocket& operator=(TestSocket&& o) noexcept { return std::swap(s_, o.s_), *this; }  // o closes the old one
    ~TestSocket() { close(); }

    bool valid() const { return s_ != kNoSocket; }
    NetworkSocket get() const { return s_; }
    NetworkSocket release() { return std::exchange(s_, kNoSocket); }
    uint16_t localPort() const;

    void close();          // an orderly close, or a reset when data sent to it lie unread
    void reset();          // a close that resets the connection
    void shutdownWrite();  // the end of this side's stream; it still reads
    void setBuffers(int bytes);  // both socket buffers, so that a connection fills soon

    // Every byte, waiting while the socket is full; false when the connection failed.
    bool sendAll(const std::string& bytes);
    // What is there now, waiting up to waitMs for the first byte; empty at the end.
    std::string receiveSome(int waitMs = 10000);
    // Until `count` bytes came, the peer closed, or nothing came for quietMs.
    std::string receive(size_t count, int quietMs = 10000) {
        std::string got;
        for (std::string more; got.size() < count && !(more = receiveSome(quietMs)).empty();) got += more;
        return got;
    }

private:
    NetworkSocket s_ = kNoSocket;
};

// Listens on a free port of 127.0.0.1, or on `port` again (not listening at all when backlog < 0:
// connects to its port are refused, and nobody else takes the port meanwhile).
class TestListener {
public:
    explicit TestListener(int backlog = 4, int receiveBuffer = 0, uint16_t port = 0);
    uint16_t port() const { return socket_.localPort(); }
    void close() { socket_.close(); }
    // The next connection, or an invalid socket when none came within waitMs.
    TestSocket accept(int waitMs = 10000);

private:
    TestSocket socket_;
};

// A client connection to 127.0.0.1:port.
TestSocket connectLocal(uint16_t port, int sendBuffer = 0);

// A listener whose accept queue is full: connects to it are never answered.
class SilentListener {
public:
    SilentListener();
    uint16_t port() const { return listener_.port(); }

private:
    TestListener listener_{0};
    std::vector<TestSocket> fillers_;
};

// How many sockets of this machine connect to 127.0.0.1:port and have not been answered or
// closed yet, as the system's table lists them; -1 where it cannot be read.
int socketsConnectingTo(uint16_t port);

// What the connector made of a connected socket.
struct SocketTuning {
    bool noDelay = false, keepAlive = false;
    bool readsWithoutWaiting = false;  // a read with nothing there says so instead of waiting
    int keepAliveSeconds = -1;         // until a silent peer is found dead; -1: not known here
};
SocketTuning tuningOf(NetworkSocket s);

// Waits on a network port as its worker does, for input or for room: waitForNetworkInput's answer.
int waitPortInput(NetworkPort& port, int timeoutMs);
int waitPortRoom(NetworkPort& port, int timeoutMs);

// A network link with a real delay, for tests and benchmarks of what a round trip costs: inside
// a network namespace of the calling thread's own, two TUN devices joined by a forwarder thread
// that holds each packet for the delay before it passes it on (and, if asked, at a line's rate).
// A client reaches the server side only through the link, and the forwarder measures the first
// TCP connection the client makes across it (its unacknowledged bytes, at their most).
//
// The thread that makes the link lives in the namespace until the link ends, and so do the
// threads and processes it starts meanwhile; make and end it on the same thread. Needs root (or
// CAP_NET_ADMIN and user namespaces); error() says why it could not be made.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

class DelayedLink {
public:
    // Where a server listens (bind) and where a client connects to reach it.
    static constexpr const char* kServerAddress = "10.2.0.1";
    static constexpr const char* kServerSeenFromClient = "10.5.0.1";

    // Each packet is held `delay` in each direction; with `bytesPerSecond`, each direction also
    // carries no more than that, as a real line does (0: as fast as the forwarder goes).
    explicit DelayedLink(std::chrono::milliseconds delay, uint64_t bytesPerSecond = 0);
    ~DelayedLink();
    DelayedLink(const DelayedLink&) = delete;
    DelayedLink& operator=(const DelayedLink&) = delete;

    // Empty when the link is up, else why it could not be made.
    const std::string& error() const { return error_; }
    // The most the client had sent and not yet seen acknowledged, in bytes, so far.
    size_t peakInFlight() const { return peakInFlight_.load(); }

private:
    void forward();

    std::chrono::milliseconds delay_;
    uint64_t bytesPerSecond_;
    std::string error_;
    int homeNamespace_ = -1;
    int tunClient_ = -1, tunServer_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread forwarder_;
    std::atomic<size_t> peakInFlight_{0};
};

// A network link with a real delay: in a network namespace of the calling thread's own, two TUN devices joined by
// a thread that holds each packet for the delay (and, if asked, at a line's rate). The calling thread lives in the
// namespace until the link ends: make and end it on the same thread. Needs root (or CAP_NET_ADMIN).
#pragma once

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

    // With `bytesPerSecond`, each direction also carries no more than that (0: as fast as it goes).
    explicit DelayedLink(std::chrono::milliseconds delay, uint64_t bytesPerSecond = 0);
    ~DelayedLink();
    DelayedLink(DelayedLink&&) = delete;

    const std::string& error() const { return error_; }  // empty when the link is up, else why not

private:
    void forward();

    std::chrono::milliseconds delay_;
    uint64_t bytesPerSecond_;
    std::string error_;
    int homeNamespace_ = -1, tunClient_ = -1, tunServer_ = -1, stopPipe_[2] = {-1, -1};
    std::thread forwarder_;
};

// Debian's ser2net (4.x) on 127.0.0.1 as a child process, serving a pseudo-terminal's slave end as telnet(rfc2217)
// and as raw TCP on free ports, `chardelay` off so that device data pass on as they come.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/child_process.h"

// Skips the current test, saying why, when a server cannot run on this machine.
#define SKIP_UNLESS_SERVER_AVAILABLE(Server) \
    if (const std::string why_ = Server::unavailable(); !why_.empty()) GTEST_SKIP() << why_

class Ser2netServer {
public:
    static std::string unavailable();  // empty when ser2net can run here, else why not

    explicit Ser2netServer(const std::string& devicePath);
    ~Ser2netServer();
    Ser2netServer(Ser2netServer&&) = delete;

    // Starts it and waits up to 10 s until both ports listen; false, with its output in error(),
    // when it died or never listened.
    bool start();
    void stop();  // SIGTERM, then SIGKILL after 5 s, and waits for it

    uint16_t rfc2217Port() const { return rfc2217Port_; }
    uint16_t rawPort() const { return rawPort_; }
    const std::string& error() const { return error_; }

private:
    std::string folder_, error_;
    uint16_t rfc2217Port_ = 0, rawPort_ = 0;
    std::unique_ptr<ChildProcess> child_;
};

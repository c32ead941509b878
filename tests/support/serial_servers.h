// A real RFC 2217 serial server on 127.0.0.1 serving a pseudo-terminal's slave end, for tests
// that need to meet what another program really sends: Debian's ser2net. It picks free ports,
// runs as a child process with its own scratch folder for its configuration, and can be
// stopped and started again on the same ports.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

// Skips the current test, saying why, when a server cannot run on this machine.
#define SKIP_UNLESS_SERVER_AVAILABLE(Server)                               \
    do {                                                                   \
        if (const std::string why_ = Server::unavailable(); !why_.empty()) \
            GTEST_SKIP() << why_;                                          \
    } while (false)

// A free TCP port on 127.0.0.1 at the moment of the call.
uint16_t freeLocalPort();

// One child process with a scratch folder, stopped with its owner.
class ServerProcess {
  public:
    ServerProcess();
    ~ServerProcess();
    ServerProcess(ServerProcess&&) = delete;

    // Starts `argv` (its output to the log) and waits up to 10 s until every port listens on
    // 127.0.0.1; false, with the log in `error`, when the child died or never listened.
    bool start(const std::vector<std::string>& argv, const std::vector<uint16_t>& ports);
    // Ends the child (SIGTERM, then SIGKILL after 5 s) and waits for it.
    void stop();
    bool running() const { return child_ != nullptr; }

    std::string file(const std::string& name) const { return folder_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string log() const;
    const std::string& error() const { return error_; }

  private:
    std::string folder_;
    std::string error_, earlierLog_;
    std::unique_ptr<ChildProcess> child_;
};

// ser2net (4.x) in the foreground, serving one device as telnet(rfc2217) and as raw TCP, with
// `chardelay` off so that device data is passed on as it comes.
class Ser2netServer {
  public:
    // Empty when ser2net can run here, else why not.
    static std::string unavailable();

    explicit Ser2netServer(std::string devicePath);
    bool start();  // false with the reason in error()
    void stop() { process_.stop(); }

    uint16_t rfc2217Port() const { return rfc2217Port_; }
    uint16_t rawPort() const { return rawPort_; }
    const std::string& error() const { return process_.error(); }
    std::string log() const { return process_.log(); }

  private:
    std::string device_;
    uint16_t rfc2217Port_, rawPort_;
    ServerProcess process_;
};

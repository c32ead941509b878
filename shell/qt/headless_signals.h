// What the system asks of the headless relay and what the relay tells the system. On Linux:
// SIGTERM and SIGINT end it, SIGHUP reopens the captures (for logrotate), SIGUSR1 asks for a
// status line, and systemd hears of its state (sd_notify, the watchdog). On Windows: a console
// control event (Ctrl+C, Ctrl+Break, the console closed, log-off, shutdown) ends it; there is no
// rotation request and no service manager to tell.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct HeadlessRequests {
    std::function<void()> stop;
    std::function<void()> reopenCaptures;
    std::function<void()> sayStatus;
};

// Lives while the requests are taken; its end restores what was there before.
class HeadlessSignals {
public:
    virtual ~HeadlessSignals() = default;
    // Starts handing the requests to the event loop (the application object exists by now).
    // Those that arrived since the installation are handed over then.
    virtual void listen(HeadlessRequests requests) = 0;
};

// Installed before anything else is made, so that an early request is not lost. Null, with
// `error` set, when they could not be installed.
std::unique_ptr<HeadlessSignals> installHeadlessSignals(std::string& error);

// A notification to the service manager ("READY=1", "STATUS=...", "WATCHDOG=1"); nothing where
// there is none.
void notifyServiceManager(const std::string& state);

// How often the service manager wants to hear WATCHDOG=1, in microseconds; 0 when it does not.
uint64_t serviceWatchdogMicros();

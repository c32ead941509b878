// Unplugged devices and their return: a lost port is closed once both workers that use it have
// stopped, and reopened with the same settings as soon as its device path opens again.
#pragma once

#include <chrono>

struct Relay;

// One step, taken by the owner of the ports and workers (the thread that starts and stops them,
// every few hundred milliseconds): closes the ports that a worker found gone, tries to open each
// away port's device path again (a barred one's at most once a second), and restarts the workers
// around any change so that the other direction goes on. A pseudo-terminal whose other end
// closed is not reopened: its number soon belongs to another terminal. Nothing once port opens
// are refused or while a hold is taken. true when a port was closed or reopened (its label and
// titles change).
bool reconnectPorts(Relay& relay, std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

// How long a barred port (its device there, but refused) waits between two tries.
inline constexpr std::chrono::milliseconds kBarredRetryInterval{1000};

// Held while a restart reopens the ports: a step taken inside its message box's loop must not
// change the ports under it.
class ReconnectHold {
public:
    explicit ReconnectHold(Relay& relay);
    ~ReconnectHold();
    ReconnectHold(const ReconnectHold&) = delete;
    ReconnectHold& operator=(const ReconnectHold&) = delete;

private:
    Relay& relay_;
};

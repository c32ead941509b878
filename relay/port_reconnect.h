// Unplugged devices and their return: a lost port is closed once both workers that use it have
// stopped, and reopened with the same settings as soon as its device path opens again.
#pragma once

#include <string>

struct Relay;

// One step, taken by the owner of the ports and workers (the thread that starts and stops them,
// every few hundred milliseconds): closes the ports that a worker found gone, tries to open each
// away port's device path again, and restarts the workers around any change so that the other
// direction goes on. Nothing once port opens are refused or while a hold is taken. true when a
// port was closed or reopened (its label and titles change).
bool reconnectPorts(Relay& relay);

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

// What the user is told while a port is away: "COM1: /dev/ttyUSB0 unplugged, waiting" per port,
// then "12,345 bytes not delivered to COM2" per channel that could not deliver; "" when all is well.
std::string reconnectStatusText(const Relay& relay);

// 12345 as "12,345".
std::string withThousandsSeparators(long long value);

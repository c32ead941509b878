// Unplugged devices and their return: a lost port is closed once both workers that use it have
// stopped, and reopened with the same settings as soon as its device path opens again.
#pragma once

#include <chrono>
#include <string>

#include "relay/serial_port.h"

struct Relay;

// What came of the line settings asked of an open port, for its owner's status text.
struct SettingsReport {
    enum class Kind { Taken, NotCarried, DeviceError, DeviceDiffers, ServerDiffers } kind = Kind::Taken;
    LineReadBack device;     // DeviceError, DeviceDiffers: what the device held
    NetworkReadBack server;  // ServerDiffers: what its server answered
};

// What differs between the kinds of port once one is lost: how its loss reads, what it waits
// for, how it comes back, and what its owner tells and watches. Chosen by the port's path, once,
// as openPortPath chooses its device; nobody above asks which kind it is.
class PortKind {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~PortKind() = default;
    // How a port a worker found lost reads, before and after its close.
    virtual PortOpenFailure lossFailure(const SerialPort& port, const std::string& path) const = 0;
    // A lost port, its workers stopped: closes it and marks what it waits for.
    virtual void closeLost(SerialPort& port, const std::string& path, Clock::time_point now) const = 0;
    // One step of getting back a port that is not open; true when it is open again.
    virtual bool stepBack(Relay& relay, SerialPort& port, const std::string& path, Clock::time_point now) const = 0;
    // A loss told after the step closed the port, with the reason its connection gave, rather
    // than as soon as a worker found it.
    virtual bool lossToldAfterClose() const { return false; }
    // An open port that keeps reporting by itself (a server's notices): its owner keeps looking.
    virtual bool reportsWhileOpen() const { return false; }
    // Whether its first open is still under way (a connect in flight): its report is owed.
    virtual bool firstOpenPending(const SerialPort&) const { return false; }
    // Whether a try to open it has failed since it was asked: its open report is owed now.
    virtual bool openFailedSinceAsked(const SerialPort&) const { return false; }
    // What came of the settings asked of it while open: a device's read-back, or its server's
    // answers as they come (a tcp:// connection carries none).
    virtual SettingsReport settingsReport(const SerialPort& port) const = 0;
};

// The kind of the port at this path.
const PortKind& portKindOf(const std::string& path);
// The path of a port of the relay (empty for a port without one), and its kind.
std::string portPathOf(const Relay& relay, const SerialPort& port);
const PortKind& portKindOf(const Relay& relay, const SerialPort& port);

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

// One open serial port, its six user settings and the fixed choice tables they come from.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "relay/line_settings.h"
#include "relay/network_device.h"
#include "relay/port_device.h"
#include "relay/port_handle.h"

struct stat;

enum FlowControl : int32_t {
    FlowNone = 0,
    FlowHardwareRts = 1,
    FlowHardwareDtr = 2,
    FlowXonXoff13 = 3,
    FlowXonXoff93 = 4,
};

// The six choices of one port, as stored in the INI file.
struct PortSettings {
    int32_t comIndex = 0;     // 0..5 into portDeviceNames / portDisplayNames
    int32_t baudRate = 0;     // bits per second, not a list index
    uint8_t dataBits = 0;     // 5..8, not a list index
    uint8_t parity = 0;       // index into parityChoices
    uint8_t stopBits = 0;     // index into stopBitsChoices
    int32_t flowControl = 0;  // a FlowControl value
};

// Whether a port's device is there. A worker that finds it gone marks the port lost (the
// descriptor stays open until both workers that use it have stopped); the owner then closes
// it, and the port is away until the same path opens again. A device that is there but refused
// the open is barred and tried again now and then; a halted port waits for the user (a
// pseudo-terminal whose other end closed never comes back).
enum PortPresence : int32_t {
    PortPresent = 0,
    PortLost = 1,
    PortAway = 2,
    PortBarred = 3,
    PortHalted = 4,
};

// Why a port is not open, as its last open (or its loss) found it.
enum PortRefusal : int32_t {
    RefusalNone = 0,
    RefusalMissing = 1,        // the path is not there: unplugged, or not plugged in yet
    RefusalPermission = 2,     // the system forbids this user the device
    RefusalInUse = 3,          // another program holds it (its lock or its exclusive mode)
    RefusalOtherPort = 4,      // the relay's other port has the same device open
    RefusalLoginTerminal = 5,  // the controlling terminal of a session: a login's or a shell's
    RefusalPtyClosed = 6,      // a /dev/pts terminal whose other end closed
    RefusalPtyMissing = 7,     // a /dev/pts path that is not there: it does not come back
    RefusalNotSerial = 8,      // opened, but not a terminal
    RefusalFailed = 9,         // another reason of the system's (systemError)
    // A network port (rfc2217:// or tcp://):
    RefusalConnecting = 10,    // the first connect is still under way
    RefusalUnreachable = 11,   // the connect failed (systemError, or the resolver's `detail`)
    RefusalConnectionLost = 12,// the connection closed or failed (systemError 0 when closed)
    RefusalServerMessage = 13, // the server said `detail` and closed: its device did not open
    RefusalNotServer = 14,     // the server sent only commands: not a serial server
    RefusalBadAddress = 15,    // the path names a network port but is not HOST:PORT
    RefusalNotReading = 16,    // the server asked for replies and read none: not a serial server
    RefusalZoneMissing = 17,   // a link-local IPv6 host without the interface to reach it by
};

// What a refused open found, for the user's message; RefusalNone without a device path to tell.
struct PortOpenFailure {
    PortRefusal kind = RefusalNone;
    int systemError = 0;        // errno, 0 when none
    std::string path;           // the device path the port's name led to
    int holderPid = 0;          // RefusalInUse: the other program, when one was found
    std::string holderName;     // and its name
    std::string deviceGroup;    // RefusalPermission: the group whose members may use the device
    int32_t otherComIndex = -1; // RefusalOtherPort: the port that has it open
    std::string detail;         // the resolver's or the server's own words
};

// What the device made of the settings: a device may refuse one silently, so they are read back.
struct LineReadBack {
    int systemError = 0;  // the settings could not be set or read at all
    bool differs = false;
    LineSettings asked;
    LineSettings held;
};

struct SerialPort {
    // The open device's system handle (a descriptor, a HANDLE's or a SOCKET's value); -1 while
    // the port is not open (0 is a valid descriptor, so it cannot mean "closed"). It and `device`
    // are written by the owner's thread only while no worker uses the port; read by the workers.
    std::atomic<PortHandle> handle{kNoPortHandle};
    std::unique_ptr<PortDevice> device;
    PortSettings settings{};
    std::atomic<int32_t> presence{PortPresent};  // a PortPresence value

    // The owner's alone (start-up, restart, reconnect run on its thread); no worker reads them.
    PortOpenFailure openFailure;  // why the port is not open; kind RefusalNone once it is
    LineReadBack lineReadBack;    // set by configurePort and reconfigurePort
    std::chrono::steady_clock::time_point nextOpenTry{};  // a barred or lost port is tried again from then
    NetworkRetry networkRetry;    // a network port's connects

    bool isOpen() const { return handle.load(std::memory_order_acquire) >= 0; }
    // The server connection behind an open network port, for the reports of its answers; null
    // for a tty or a closed port.
    NetworkPort* connection() const { return device ? device->connection() : nullptr; }
};

extern const std::array<const char*, 6> portDeviceNames;   // "com1".."com6"
extern const std::array<const char*, 6> portDisplayNames;  // "COM1".."COM6"
extern const std::array<const char*, 21> baudRateChoices;
extern const std::array<const char*, 4> dataBitsChoices;
extern const std::array<const char*, 3> parityChoices;
extern const std::array<const char*, 3> stopBitsChoices;
extern const std::array<const char*, 5> flowControlChoices;

// The device paths "com1".."com6" open unless the INI section DEVICES names others
// (COM1=/dev/ttyUSB0 ...): /dev/ttyS0../dev/ttyS5 on Linux, the ports COM1..COM6 on Windows.
std::array<std::string, 6> defaultComDevicePaths();

// The portDeviceNames entry for a comIndex, or "" when the index has no entry.
const char* portDeviceNameAt(int32_t comIndex);
// The portDisplayNames entry for a comIndex, or "COM" when the index has no entry.
const char* portDisplayNameAt(int32_t comIndex);
// The one-based port number that messages and titles show: comIndex + 1 for every index the
// INI file can hold, in the table or not, without overflow.
int64_t portNumberOf(int32_t comIndex);
// "Com%d -> Com%d": the port the data come from, then the one they are relayed to.
std::string directionTitle(int32_t fromComIndex, int32_t toComIndex);

// What openPort did; the caller tells the user (0 is success, so `openPort(...) == 0` reads "open").
enum PortOpenResult : int {
    PortOpened = 0,
    PortOpenFailed = 1,   // no such name or device, in use, not permitted
    PortNotSerial = 2,    // opened, but not a serial line: closed again
    PortOpenRefused = 3,  // shutdown has begun: nothing to tell
    PortOpenPending = 4,  // a network port: connecting in the background (reconnectPorts ends it)
};

// The comIndex whose device name ("com1".."com6", in any case) this is; -1 for any other name.
int comIndexOfName(const char* deviceName);

// The relay's two ports, for an open that must not take a device the other one holds.
using RelayPorts = std::array<const SerialPort*, 2>;
// Opens the device at path for the port as Relay::openPort describes, once the name has led to
// it: a network path starts a connect (startNetworkOpen); a tty opens exclusively, for
// non-blocking reading and writing, refused when one of relayPorts other than `port` holds the
// device or when it is a session's controlling terminal. `reason` gets the system's errno of a
// refusal (0 when none).
int openPortPath(const std::string& path, SerialPort& port, const RelayPorts& relayPorts, int& reason);

// Empties both queues of the open device, then applies port.settings and reads them back into
// port.lineReadBack (a refused setting shows there). A network port sends them to the server,
// whose answers come later (NetworkPort::readBack). 0, else the system's errno.
int configurePort(SerialPort& port);
// Applies port.settings to the open device in place, discarding nothing: what its queues hold
// is still read and sent afterwards. Reads them back as configurePort does.
int reconfigurePort(SerialPort& port);

// The settings a network port asks the server for.
NetworkLineSettings networkSettingsFor(const PortSettings& settings);

// Whether the device path names a pseudo-terminal's slave (/dev/pts/N): it never comes back
// once its other end has closed, and its number is soon another terminal's.
bool pseudoTerminalPath(const std::string& path);
// Linux only, the next three: the system shows who holds a device only there.
// Whether two files are one device. A pseudo-terminal's device number is only its number within
// its devpts instance (a container's, another mount namespace's instance numbers its own from 0),
// so pseudo-terminals are told apart by their file: file system and inode. Any other device is
// its device number, whichever node names it.
bool sameCharDevice(const struct stat& a, const struct stat& b);
// The session whose controlling terminal the device at path is (a login's, a shell's), found
// among the other processes the system shows (the kernel answers TIOCGSID only for the caller's
// own terminal, which openPort asks after the open); 0 when it is nobody's.
int sessionOfTerminal(const std::string& path);
// A process other than this one that has the device at path open: its pid and name; pid 0 when
// none is seen (another user's processes may be hidden).
int holderOfDevice(const std::string& path, std::string* name);

// The device is not there (unplugged, not plugged in yet), as an errno of open, read or write.
bool deviceGoneError(int systemError);
// What a refused open leaves a closed port as: away (waited for), barred (tried again now and
// then), halted (waits for the user) or present (nothing to wait for).
int32_t presenceAfter(PortRefusal kind);
// A worker found the port's device gone; only a present port becomes lost (true when it did).
bool markPortLost(SerialPort& port);

// Closes the device and marks the port not open. Only call when no worker uses the port.
// Output that flow control holds back is given about a second and then discarded, so that the
// close never waits for the driver's closing wait (up to 30 s on a real UART).
// A connect under way is given up. 0, else the errno of the close.
int closePort(SerialPort& port);

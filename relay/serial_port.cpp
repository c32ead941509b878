#include "relay/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>
#include <cstring>

#include "relay/relay.h"
#include "relay/serial_termios_linux.h"

const std::array<const char*, 6> portDeviceNames = {"com1", "com2", "com3", "com4", "com5", "com6"};
const std::array<const char*, 6> portDisplayNames = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};
const std::array<const char*, 21> baudRateChoices = {
    "50",   "75",   "110",  "135",  "150",   "300",   "600",   "1200",   "1800",   "2000",  "2400",
    "3600", "4800", "7200", "9600", "19200", "38400", "57600", "115200", "230400", "460800"};
const std::array<const char*, 4> dataBitsChoices = {"5", "6", "7", "8"};
const std::array<const char*, 3> parityChoices = {"none", "odd", "even"};
const std::array<const char*, 3> stopBitsChoices = {"1", "1.5", "2"};
const std::array<const char*, 5> flowControlChoices = {"none", "hardware(RTS)", "hardware(DTR)",
                                                       "Xon/Xoff(x13)", "Xon/Xoff(x93)"};

std::array<std::string, 6> defaultComDevicePaths() {
    std::array<std::string, 6> paths;
    for (int i = 0; i < 6; ++i) paths[i] = "/dev/ttyS" + std::to_string(i);
    return paths;
}

const char* portDeviceNameAt(int32_t i) { return i >= 0 && i < 6 ? portDeviceNames[i] : ""; }
const char* portDisplayNameAt(int32_t i) { return i >= 0 && i < 6 ? portDisplayNames[i] : "COM"; }
int64_t portNumberOf(int32_t comIndex) { return int64_t{comIndex} + 1; }

std::string directionTitle(int32_t fromComIndex, int32_t toComIndex) {
    return "Com" + std::to_string(portNumberOf(fromComIndex)) + " -> Com" +
           std::to_string(portNumberOf(toComIndex));
}

namespace {

// The comIndex whose device name this is, or -1 for a name outside the table.
int comIndexOfName(const char* deviceName) {
    if (deviceName == nullptr) return -1;
    for (int i = 0; i < 6; ++i) {
        if (strcasecmp(deviceName, portDeviceNames[i]) == 0) return i;
    }
    return -1;
}

// A tty's close waits until its output is sent, for as long as the driver's closing wait (30 s
// by default on a UART) when flow control holds it back, and closes run on the UI thread. What
// still moves gets a bounded moment to go out; what stands still is dropped so that the close
// returns at once.
void discardHeldOutput(int fd) {
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::milliseconds(1000);
    int queued = 0;
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 && Clock::now() < giveUp) {
        const int before = queued;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued >= before) break;  // held back
    }
    if (queued > 0) tcflush(fd, TCOFLUSH);
}

}  // namespace

bool deviceGoneError(int systemError) {
    return systemError == ENOENT || systemError == ENODEV || systemError == ENXIO || systemError == EIO;
}

bool markPortLost(SerialPort& port) {
    int32_t present = PortPresent;
    return port.presence.compare_exchange_strong(present, PortLost, std::memory_order_acq_rel);
}

void Relay::refusePortOpens() { opensRefused.store(true); }
bool Relay::portOpensRefused() const { return opensRefused.load(); }

int Relay::openPort(const char* deviceName, SerialPort& port, int* systemError) {
    int ignored = 0;
    int& reason = systemError != nullptr ? *systemError : ignored;
    reason = 0;
    if (portOpensRefused()) return PortOpenRefused;
    const int index = comIndexOfName(deviceName);
    if (index < 0) return PortOpenFailed;

    const int fd = ::open(comDevicePaths[index].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = errno;
        if (!port.isOpen()) port.presence.store(deviceGoneError(reason) ? PortAway : PortPresent);
        return PortOpenFailed;
    }
    if (!port.isOpen()) port.presence.store(PortPresent);
    // No sharing: another holder of the lock (this program's other port, or another program)
    // makes the open fail. TIOCEXCL below keeps out openers that do not take the lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        reason = errno;
        ::close(fd);
        return PortOpenFailed;
    }
    // Opened, but not a serial line: it cannot take the line settings.
    termios probe{};
    if (tcgetattr(fd, &probe) != 0) {
        reason = errno;
        ::close(fd);
        return PortNotSerial;
    }
    ioctl(fd, TIOCEXCL);

    port.handle.store(fd, std::memory_order_release);
    return PortOpened;
}

LineSettings lineSettingsFor(const PortSettings& s) {
    LineSettings line;
    // A rate of 0 or less would mean "hang up" to the line; the device keeps its rate instead.
    line.baudRate = s.baudRate > 0 ? static_cast<uint32_t>(s.baudRate) : 0;
    line.dataBits = s.dataBits >= 5 && s.dataBits <= 8 ? s.dataBits : 8;
    line.parity = s.parity <= 2 ? s.parity : 0;
    // 1.5 stop bits do not exist here; 2 is the nearest the line can do.
    line.twoStopBits = s.stopBits == 1 || s.stopBits == 2;
    switch (s.flowControl) {
        case FlowHardwareRts:
            line.rtsCtsFlow = true;
            break;
        case FlowXonXoff13:
            line.xonXoffFlow = true;
            line.xoffChar = 0x13;
            break;
        case FlowXonXoff93:
            line.xonXoffFlow = true;
            line.xoffChar = 0x93;
            break;
        default:  // none, and DTR/DSR flow, which has no counterpart: DTR just stays raised
            break;
    }
    return line;
}

void configurePort(SerialPort& port) {
    const int fd = port.handle.load(std::memory_order_acquire);
    if (fd < 0) return;
    flushLineQueues(fd);
    reconfigurePort(port);
}

void reconfigurePort(SerialPort& port) {
    const int fd = port.handle.load(std::memory_order_acquire);
    if (fd < 0) return;
    const LineSettings line = lineSettingsFor(port.settings);
    applyLineSettings(fd, line);

    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
}

void closePort(SerialPort& port) {
    const int fd = port.handle.exchange(-1, std::memory_order_acq_rel);
    if (fd < 0) return;
    // The exclusive flag belongs to the device, not to this descriptor: clear it so that the
    // port can be opened again.
    ioctl(fd, TIOCNXCL);
    discardHeldOutput(fd);
    ::close(fd);
}

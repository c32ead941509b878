#include "relay/serial_port.h"

#include <strings.h>

#include <cerrno>
#include <filesystem>

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

const char* portDeviceNameAt(int32_t i) { return i >= 0 && i < 6 ? portDeviceNames[i] : ""; }
const char* portDisplayNameAt(int32_t i) { return i >= 0 && i < 6 ? portDisplayNames[i] : "COM"; }
int64_t portNumberOf(int32_t comIndex) { return int64_t{comIndex} + 1; }

std::string directionTitle(int32_t fromComIndex, int32_t toComIndex) {
    return "Com" + std::to_string(portNumberOf(fromComIndex)) + " -> Com" +
           std::to_string(portNumberOf(toComIndex));
}

int comIndexOfName(const char* deviceName) {
    if (deviceName == nullptr) return -1;
    for (int i = 0; i < 6; ++i) {
        if (strcasecmp(deviceName, portDeviceNames[i]) == 0) return i;
    }
    return -1;
}

bool deviceGoneError(int systemError) {
    return systemError == ENOENT || systemError == ENODEV || systemError == ENXIO || systemError == EIO;
}

bool markPortLost(SerialPort& port) {
    int32_t present = PortPresent;
    return port.presence.compare_exchange_strong(present, PortLost, std::memory_order_acq_rel);
}

// What a refusal makes of a port that is not open: a missing device is waited for, one that is
// there is tried again now and then, and what cannot change by itself waits for the user.
int32_t presenceAfter(PortRefusal kind) {
    switch (kind) {
        case RefusalMissing:
            return PortAway;
        case RefusalPermission:
        case RefusalInUse:
        case RefusalLoginTerminal:
            return PortBarred;
        case RefusalOtherPort:
        case RefusalPtyMissing:
        case RefusalPtyClosed:
            return PortHalted;
        default:
            return PortPresent;
    }
}

bool pseudoTerminalPath(const std::string& path) {
    return std::filesystem::path(path).lexically_normal().string().rfind("/dev/pts/", 0) == 0;
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
        case FlowHardwareDtr:
            line.dtrDsrFlow = true;  // a DCB takes it; Linux has no counterpart and keeps DTR raised
            break;
        case FlowXonXoff13:
            line.xonXoffFlow = true;
            line.xoffChar = 0x13;
            break;
        case FlowXonXoff93:
            line.xonXoffFlow = true;
            line.xoffChar = 0x93;
            break;
        default:
            break;
    }
    return line;
}

bool lineSettingsMatch(const LineSettings& asked, const LineSettings& held) {
    if (asked.baudRate != 0 && asked.baudRate != held.baudRate) return false;
    if (asked.xonXoffFlow && (asked.xonChar != held.xonChar || asked.xoffChar != held.xoffChar)) return false;
    return asked.dataBits == held.dataBits && asked.parity == held.parity && asked.twoStopBits == held.twoStopBits &&
           asked.rtsCtsFlow == held.rtsCtsFlow && asked.xonXoffFlow == held.xonXoffFlow;
}

NetworkLineSettings networkSettingsFor(const PortSettings& s) {
    const LineSettings line = lineSettingsFor(s);
    NetworkLineSettings n;
    // Any rate goes to the server as asked; 0 would ask it for its current rate instead.
    n.baudRate = line.baudRate != 0 ? line.baudRate : 9600;
    n.dataBits = line.dataBits;
    n.parity = line.parity;
    n.twoStopBits = line.twoStopBits;
    n.flow = line.rtsCtsFlow    ? NetworkLineSettings::Flow::RtsCts
             : line.xonXoffFlow ? NetworkLineSettings::Flow::XonXoff
                                : NetworkLineSettings::Flow::None;
    return n;
}

int openPortPath(const std::string& path, SerialPort& port, const RelayPorts& relayPorts, int& reason) {
    if (isNetworkPath(path)) return startNetworkOpen(path, port, reason);
    const bool closed = !port.isOpen();
    PortOpenFailure failure;
    failure.path = path;
    std::unique_ptr<PortDevice> device;
    int result = PortOpenFailed;
    // Asked before the open, which raises the modem lines of a real port: the device the other
    // port holds is not ours to take (not every system refuses a second handle by itself).
    for (const SerialPort* other : relayPorts) {
        if (other != &port && other->isOpen() && other->device && other->device->openedAs(path)) {
            failure.kind = RefusalOtherPort;
            failure.systemError = EBUSY;
            failure.otherComIndex = other->settings.comIndex;
            break;
        }
    }
    if (failure.kind == RefusalNone) result = openTtyDevice(path, device, failure);
    reason = failure.systemError;
    if (result != PortOpened) {
        if (closed) {
            port.presence.store(presenceAfter(failure.kind), std::memory_order_release);
            port.openFailure = failure;
        }
        return result;
    }
    if (closed) {
        port.presence.store(PortPresent, std::memory_order_release);
        port.openFailure = PortOpenFailure{};
    }
    port.device = std::move(device);
    port.handle.store(port.device->handle(), std::memory_order_release);
    return PortOpened;
}

int configurePort(SerialPort& port) {
    if (!port.device) return EBADF;
    port.lineReadBack = LineReadBack{};
    return port.device->configure(port.settings, port.lineReadBack, true);
}

int reconfigurePort(SerialPort& port) {
    if (!port.device) return EBADF;
    port.lineReadBack = LineReadBack{};
    return port.device->configure(port.settings, port.lineReadBack, false);
}

int closePort(SerialPort& port) {
    port.networkRetry.connector.reset();  // never waits for the resolver
    port.networkRetry.connectorPath.clear();
    port.handle.store(kNoPortHandle, std::memory_order_release);
    if (!port.device) return 0;
    const int error = port.device->close();
    port.device.reset();
    return error;
}

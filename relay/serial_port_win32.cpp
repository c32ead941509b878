// The serial layer on Windows: COM ports through the comm API, opened for overlapped I/O.
#include "relay/serial_port.h"

#include <windows.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <thread>

#include "relay/port_io.h"
#include "relay/serial_win32.h"

namespace {

static_assert(kCommEventMask == (EV_RXCHAR | EV_RXFLAG | EV_CTS | EV_ERR | EV_RX80FULL));
constexpr DWORD kInputQueue = 8192;
constexpr DWORD kOutputQueue = 2048;
constexpr WORD kXonXoffLimit = 2048;

HANDLE handleOf(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }

// "COM12" is a port name CreateFileA takes only in the device namespace (from COM10 on); any
// other path (already "\\.\COMn", or another device's) is opened as it is.
std::string devicePathFor(const std::string& path) {
    if (path.size() > 3 && _strnicmp(path.c_str(), "COM", 3) == 0) {
        bool digits = true;
        for (size_t i = 3; i < path.size(); ++i) digits = digits && std::isdigit(static_cast<unsigned char>(path[i]));
        if (digits) return "\\\\.\\" + path;
    }
    return path;
}

DCB dcbFor(const PortSettings& settings) {
    const LineSettings line = lineSettingsFor(settings);
    // Built whole from zero: nothing of the device's previous state carries over.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = line.baudRate;
    dcb.ByteSize = static_cast<BYTE>(line.dataBits);
    dcb.Parity = static_cast<BYTE>(line.parity);
    dcb.StopBits = settings.stopBits <= TWOSTOPBITS ? settings.stopBits : ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 1;  // checked also with no parity
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (line.rtsCtsFlow) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    if (line.dtrDsrFlow) {
        dcb.fOutxDsrFlow = 1;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    }
    if (line.xonXoffFlow) {
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.XonLim = kXonXoffLimit;
        dcb.XoffLim = kXonXoffLimit;
        dcb.XonChar = static_cast<char>(line.xonChar);
        dcb.XoffChar = static_cast<char>(line.xoffChar);
        dcb.EvtChar = static_cast<char>(line.xoffChar);  // a received XOFF ends the comm-event wait
    }
    return dcb;
}

LineSettings heldSettingsOf(const DCB& dcb) {
    LineSettings held;
    held.baudRate = dcb.BaudRate;
    held.dataBits = dcb.ByteSize;
    held.parity = dcb.Parity;
    held.twoStopBits = dcb.StopBits != ONESTOPBIT;
    // Flow control is whether output waits for the line: how a driver reports its own RTS or
    // DTR line next to it differs (Wine reports a handshaking RTS as toggling).
    held.rtsCtsFlow = dcb.fOutxCtsFlow != 0;
    held.dtrDsrFlow = dcb.fOutxDsrFlow != 0;
    held.xonXoffFlow = dcb.fOutX != 0 && dcb.fInX != 0;
    held.xonChar = static_cast<uint8_t>(dcb.XonChar);
    held.xoffChar = static_cast<uint8_t>(dcb.XoffChar);
    return held;
}

// Output that flow control holds back would keep the close waiting: what still moves gets a
// bounded moment to go out, what stands still is dropped.
void discardHeldOutput(HANDLE h) {
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::milliseconds(1000);
    COMSTAT status{};
    DWORD errors = 0;
    while (ClearCommError(h, &errors, &status) && status.cbOutQue > 0 && Clock::now() < giveUp) {
        const DWORD before = status.cbOutQue;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!ClearCommError(h, &errors, &status) || status.cbOutQue >= before) break;  // held back
    }
    if (status.cbOutQue > 0) PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
}

}  // namespace

int errnoOfOpenError(unsigned long systemError) {
    switch (systemError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEV_NOT_EXIST:
            return ENOENT;
        case ERROR_ACCESS_DENIED:  // a COM port another handle has open
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return EBUSY;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return EINVAL;
        default:
            return EIO;
    }
}

int errnoOfIoError(unsigned long systemError) {
    switch (systemError) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_OPERATION_ABORTED:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_GEN_FAILURE:
        case ERROR_NOT_READY:
        case ERROR_INVALID_HANDLE:
        case ERROR_BROKEN_PIPE:
            return ENODEV;
        default:
            return EINVAL;
    }
}

std::array<std::string, 6> defaultComDevicePaths() {
    std::array<std::string, 6> paths;
    for (int i = 0; i < 6; ++i) paths[i] = "COM" + std::to_string(i + 1);
    return paths;
}

int openPortPath(const std::string& path, SerialPort& port, const RelayPorts& relayPorts, int& reason) {
    if (isNetworkPath(path)) return startNetworkOpen(path, port, reason);
    const bool closed = !port.isOpen();
    PortOpenFailure failure;
    failure.path = path;
    const auto refuse = [&](PortRefusal kind, int error, int result, int32_t presence) {
        failure.kind = kind;
        failure.systemError = error;
        reason = error;
        if (closed) {
            port.presence.store(presence, std::memory_order_release);
            port.openFailure = failure;
        }
        return result;
    };

    // Asked before the open: Windows refuses a second handle to a COM port by itself, but not
    // every system that runs this (Wine) does.
    const std::string device = devicePathFor(path);
    for (const SerialPort* other : relayPorts) {
        if (other != &port && other->isOpen() && _stricmp(other->openedDevice.c_str(), device.c_str()) == 0) {
            failure.otherComIndex = other->settings.comIndex;
            return refuse(RefusalOtherPort, EBUSY, PortOpenFailed, presenceAfter(RefusalOtherPort));
        }
    }
    // No sharing: a port that another handle holds (another program's) fails.
    const HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const int error = errnoOfOpenError(GetLastError());
        const PortRefusal kind = error == ENOENT ? RefusalMissing : error == EBUSY ? RefusalInUse : RefusalFailed;
        return refuse(kind, error, PortOpenFailed, presenceAfter(kind));
    }
    // Opened, but not a serial line: it has no comm events.
    if (!SetCommMask(h, kCommEventMask)) {
        const int error = errnoOfIoError(GetLastError());
        CloseHandle(h);
        return refuse(RefusalNotSerial, error == ENODEV ? EINVAL : error, PortNotSerial, PortPresent);
    }
    SetupComm(h, kInputQueue, kOutputQueue);
    // A read returns at once with what the input queue holds; the worker waits for comm events,
    // never inside a read. Writes have no time-out: the worker bounds its own waits.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(h, &timeouts);

    if (closed) {
        port.presence.store(PortPresent, std::memory_order_release);
        port.openFailure = PortOpenFailure{};
    }
    port.openedDevice = device;
    port.handle.store(reinterpret_cast<PortHandle>(h), std::memory_order_release);
    return PortOpened;
}

int configurePort(SerialPort& port) {
    if (port.network) return reconfigurePort(port);
    const PortHandle handle = port.handle.load(std::memory_order_acquire);
    if (handle < 0) return EBADF;
    const HANDLE h = handleOf(handle);
    DWORD errors = 0;
    ClearCommError(h, &errors, nullptr);
    SetupComm(h, kInputQueue, kOutputQueue);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    return reconfigurePort(port);
}

int reconfigurePort(SerialPort& port) {
    LineReadBack& readBack = port.lineReadBack;
    readBack = LineReadBack{};
    if (port.network) {
        // The server's answers are the read-back; they come later, on the reading worker.
        return port.network->sendSettings(networkSettingsFor(port.settings));
    }
    const PortHandle handle = port.handle.load(std::memory_order_acquire);
    if (handle < 0) return EBADF;
    const HANDLE h = handleOf(handle);
    readBack.asked = lineSettingsFor(port.settings);
    DCB dcb = dcbFor(port.settings);
    if (!SetCommState(h, &dcb)) {
        readBack.systemError = errnoOfIoError(GetLastError());
        return readBack.systemError;
    }
    DCB held{};
    held.DCBlength = sizeof held;
    if (!GetCommState(h, &held)) {
        readBack.systemError = errnoOfIoError(GetLastError());
        return readBack.systemError;
    }
    readBack.held = heldSettingsOf(held);
    readBack.differs = !lineSettingsMatch(readBack.asked, readBack.held);
    return 0;
}

int closePort(SerialPort& port) {
    port.connector.reset();
    port.connectorPath.clear();
    const PortHandle handle = port.handle.exchange(kNoPortHandle, std::memory_order_acq_rel);
    if (handle < 0) return 0;
    if (port.network) {
        // The connection closes with its last owner: a socket needs no drain of a line's.
        port.network.reset();
        port.networkPath.clear();
        return 0;
    }
    port.openedDevice.clear();
    const HANDLE h = handleOf(handle);
    discardHeldOutput(h);
    return CloseHandle(h) ? 0 : errnoOfIoError(GetLastError());
}

// A COM port on Windows through the comm API, opened for overlapped I/O.
#include "relay/tty_device.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <cerrno>
#include <chrono>
#include <thread>

#include "relay/serial_port.h"
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

// How long one write may wait for itself before the worker looks at its stop request and the
// destination again.
constexpr DWORD kWriteStepMs = 1000;

struct ThreadEvents {
    HANDLE events[3] = {nullptr, nullptr, nullptr};
    ~ThreadEvents() {
        for (HANDLE e : events)
            if (e != nullptr) CloseHandle(e);
    }
};

ssize_t failed(int error) {
    errno = error;
    return -1;
}

DWORD timeoutOf(int timeoutMs) { return timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs); }

int eventsOfMask(DWORD mask) {
    return ((mask & (EV_RXCHAR | EV_RXFLAG | EV_RX80FULL)) ? WaitReady : 0) | ((mask & EV_ERR) ? WaitError : 0);
}

// Whether the port's mask was already made to leave out the modem lines.
bool waitsWithoutModemLines(HANDLE h) {
    DWORD events = 0;
    return GetCommMask(h, &events) && (events & EV_CTS) == 0;
}

}  // namespace

void* threadIoEvent(IoKind kind) {
    thread_local ThreadEvents owned;
    HANDLE& event = owned.events[static_cast<int>(kind)];
    if (event == nullptr) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(event);
    return event;
}

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

int openTtyDevice(const std::string& path, std::unique_ptr<PortDevice>& device, PortOpenFailure& failure) {
    const auto refuse = [&](PortRefusal kind, int error, int result) {
        failure.kind = kind;
        failure.systemError = error;
        return result;
    };
    // No sharing: a port that another handle holds (another program's) fails.
    const std::string name = devicePathFor(path);
    const HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const int error = errnoOfOpenError(GetLastError());
        const PortRefusal kind = error == ENOENT ? RefusalMissing : error == EBUSY ? RefusalInUse : RefusalFailed;
        return refuse(kind, error, PortOpenFailed);
    }
    // Opened, but not a serial line: it has no comm events.
    if (!SetCommMask(h, kCommEventMask)) {
        const int error = errnoOfIoError(GetLastError());
        CloseHandle(h);
        return refuse(RefusalNotSerial, error == ENODEV ? EINVAL : error, PortNotSerial);
    }
    SetupComm(h, kInputQueue, kOutputQueue);
    // A read returns at once with what the input queue holds; the worker waits for comm events,
    // never inside a read. Writes have no time-out: the worker bounds its own waits.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(h, &timeouts);
    device = std::make_unique<TtyDevice>(reinterpret_cast<PortHandle>(h), name);
    return PortOpened;
}

ssize_t TtyDevice::read(uint8_t* buffer, size_t capacity) {
    const HANDLE h = handleOf(handle_);
    // Only what the input queue holds is read, so that the read never waits: not every system
    // keeps to the time-outs that say so (Wine leaves such a read pending until data come).
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(h, &errors, &status)) return failed(errnoOfIoError(GetLastError()));
    if (status.cbInQue == 0) return failed(EAGAIN);
    OVERLAPPED io{};
    io.hEvent = threadIoEvent(IoKind::Read);
    DWORD got = 0;
    if (!ReadFile(h, buffer, static_cast<DWORD>(std::min<size_t>(capacity, status.cbInQue)), &got, &io)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) return failed(errnoOfIoError(error));
        if (!GetOverlappedResult(h, &io, &got, TRUE)) return failed(errnoOfIoError(GetLastError()));
    }
    if (got == 0) return failed(EAGAIN);
    return static_cast<ssize_t>(got);
}

ssize_t TtyDevice::write(const uint8_t* data, size_t n, WakeHandle wake) {
    const HANDLE h = handleOf(handle_);
    OVERLAPPED io{};
    io.hEvent = threadIoEvent(IoKind::Write);
    DWORD done = 0;
    if (!WriteFile(h, data, static_cast<DWORD>(n), &done, &io)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) return failed(errnoOfIoError(error));
        // Flow control or a far end that does not read holds it back: a step's wait, or less
        // when the worker is asked to stop. What did not go then is the caller's to keep.
        HANDLE events[2] = {io.hEvent, wake};
        WaitForMultipleObjects(wake != kNoWake ? 2 : 1, events, FALSE, kWriteStepMs);
        if (!HasOverlappedIoCompleted(&io)) CancelIoEx(h, &io);
        if (!GetOverlappedResult(h, &io, &done, TRUE)) {
            const DWORD ended = GetLastError();
            if (ended != ERROR_OPERATION_ABORTED) return failed(errnoOfIoError(ended));
        }
    }
    if (done == 0) return failed(EAGAIN);
    return static_cast<ssize_t>(done);
}

int TtyDevice::outputQueued() const {
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(handleOf(handle_), &errors, &status)) return -1;
    return static_cast<int>(status.cbOutQue);
}

int TtyDevice::inputQueued() const {
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(handleOf(handle_), &errors, &status)) return -1;
    return static_cast<int>(status.cbInQue);
}

uint32_t TtyDevice::systemLineRate() const {
    if (handle_ < 0) return 0;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(handleOf(handle_), &dcb) ? dcb.BaudRate : 0;
}

int TtyDevice::waitForInput(WakeHandle wake, int timeoutMs) {
    const HANDLE h = handleOf(handle_);
    // What came before the wait is read at once; the comm event only tells of what comes next.
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(h, &errors, &status)) return WaitError;  // the read says why
    if (status.cbInQue > 0) return WaitReady;

    OVERLAPPED io{};
    io.hEvent = threadIoEvent(IoKind::CommEvent);
    DWORD mask = 0;
    BOOL started = WaitCommEvent(h, &mask, &io);
    if (!started && GetLastError() != ERROR_IO_PENDING && !waitsWithoutModemLines(h)) {
        // A port with no modem lines (a virtual one) cannot be watched for CTS: it is waited
        // on for its other events from then on.
        DWORD current = 0;
        if (GetCommMask(h, &current) && (current & EV_CTS) != 0 && SetCommMask(h, current & ~EV_CTS))
            started = WaitCommEvent(h, &mask, &io);
    }
    if (started) return eventsOfMask(mask);
    if (GetLastError() != ERROR_IO_PENDING) return WaitError;
    HANDLE events[2] = {io.hEvent, wake};
    const DWORD which = WaitForMultipleObjects(wake != kNoWake ? 2 : 1, events, FALSE, timeoutOf(timeoutMs));
    int found = which == WAIT_OBJECT_0 + 1 ? WaitWoken : 0;
    if (which != WAIT_OBJECT_0) {
        // Setting the mask again ends a pending comm-event wait at once (with no events).
        DWORD current = kCommEventMask;
        GetCommMask(h, &current);
        SetCommMask(h, current);
        CancelIoEx(h, &io);
    }
    DWORD ignored = 0;
    if (!GetOverlappedResult(h, &io, &ignored, TRUE) && which == WAIT_OBJECT_0) return found | WaitError;
    return found | eventsOfMask(mask);
}

// A COM port's write waits for itself.
int TtyDevice::waitForRoom(WakeHandle, int) { return 0; }

int TtyDevice::configure(const PortSettings& settings, LineReadBack& readBack, bool purge) {
    const HANDLE h = handleOf(handle_);
    if (purge) {
        DWORD errors = 0;
        ClearCommError(h, &errors, nullptr);
        SetupComm(h, kInputQueue, kOutputQueue);
        PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    }
    readBack.asked = lineSettingsFor(settings);
    DCB dcb = dcbFor(settings);
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
    lineRate_ = held.BaudRate;
    return 0;
}

int TtyDevice::close() {
    if (handle_ < 0) return 0;
    const HANDLE h = handleOf(handle_);
    handle_ = kNoPortHandle;
    discardHeldOutput(h);
    return CloseHandle(h) ? 0 : errnoOfIoError(GetLastError());
}

// Windows refuses a second handle to a COM port by itself, but not every system that runs this
// (Wine) does: the other port's open of the same name is refused by it.
bool TtyDevice::openedAs(const std::string& path) const {
    return handle_ >= 0 && _stricmp(opened_.c_str(), devicePathFor(path).c_str()) == 0;
}

// A comm handle does not tell which port it was opened as, and a name may be mapped to another
// port since: the port is opened again, as the system's own programs do on new settings.
bool TtyDevice::holdsDevice(const std::string&) const { return false; }

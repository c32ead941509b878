#include "relay/worker_wait.h"

#include <pthread.h>
#include <windows.h>

#include <cerrno>
#include <string>

#include "relay/network_win32.h"
#include "relay/serial_port.h"
#include "relay/serial_win32.h"

namespace {

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

int makeWake(WakeHandle& wake) {
    if (wake == kNoWake) wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return wake == kNoWake ? ENOMEM : 0;
}

void closeWake(WakeHandle& wake) {
    if (wake != kNoWake) CloseHandle(wake);
    wake = kNoWake;
}

void raiseWake(WakeHandle wake) {
    if (wake != kNoWake) SetEvent(wake);
}

void clearWake(WakeHandle wake) {
    if (wake != kNoWake) ResetEvent(wake);
}

void sleepUnlessWoken(WakeHandle wake, int timeoutMs) {
    if (wake != kNoWake) WaitForSingleObject(wake, timeoutOf(timeoutMs));
    else if (timeoutMs >= 0) Sleep(static_cast<DWORD>(timeoutMs));
}

int waitForInput(SerialPort& source, PortHandle handle, WakeHandle wake, int timeoutMs) {
    if (source.network) return waitForNetworkInput(*source.network, wake, timeoutMs);
    const HANDLE h = reinterpret_cast<HANDLE>(handle);
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

// A COM port's write waits for itself; a socket's does not (it takes what fits and the port keeps
// the rest), so a network port is waited on for room.
int waitForRoom(SerialPort& destination, PortHandle, WakeHandle wake, int timeoutMs) {
    if (destination.network) return waitForNetworkRoom(*destination.network, wake, timeoutMs);
    return 0;
}

void nameWorkerThread(std::thread& worker, const char* name) {
    // The system's thread description (Windows 10 and Wine) is what tools show; looked up, as
    // older systems lack it.
    using Describe = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const auto describe = reinterpret_cast<Describe>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
    if (describe == nullptr) return;
    std::wstring wide(name, name + std::char_traits<char>::length(name));
    describe(static_cast<HANDLE>(pthread_gethandle(worker.native_handle())), wide.c_str());
}

#include "relay/port_io.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "relay/network_port.h"
#include "relay/serial_port.h"
#include "relay/serial_win32.h"

namespace {

// How long one write may wait for itself before the worker looks at its stop request and the
// destination again.
constexpr DWORD kWriteStepMs = 1000;

HANDLE handleOf(PortHandle handle) { return reinterpret_cast<HANDLE>(handle); }

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

}  // namespace

void* threadIoEvent(IoKind kind) {
    thread_local ThreadEvents owned;
    HANDLE& event = owned.events[static_cast<int>(kind)];
    if (event == nullptr) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(event);
    return event;
}

ssize_t portRead(SerialPort& port, PortHandle handle, uint8_t* buffer, size_t capacity) {
    if (port.network) return port.network->readData(buffer, capacity);
    const HANDLE h = handleOf(handle);
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

ssize_t portWrite(SerialPort& port, PortHandle handle, const uint8_t* data, size_t n, WakeHandle wake) {
    if (port.network) return port.network->writeData(data, n);
    const HANDLE h = handleOf(handle);
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

int portOutputQueued(const SerialPort& port, PortHandle handle) {
    if (port.network) return port.network->outputQueued();
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(handleOf(handle), &errors, &status)) return -1;
    return static_cast<int>(status.cbOutQue);
}

int portInputQueued(PortHandle handle) {
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(handleOf(handle), &errors, &status)) return -1;
    return static_cast<int>(status.cbInQue);
}

uint32_t portLineRate(const SerialPort& port, PortHandle handle) {
    if (port.network) return 0;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(handleOf(handle), &dcb) ? dcb.BaudRate : 0;
}

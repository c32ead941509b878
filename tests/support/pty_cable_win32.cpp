#include "tests/support/pty_cable.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// The runner's cables handed out: numbers 1..VORLINEX_WINE_CABLES.
std::mutex poolMutex;
std::vector<bool> cableTaken;

int takeCable() {
    std::lock_guard lock(poolMutex);
    if (const char* count = std::getenv("VORLINEX_WINE_CABLES"); cableTaken.empty() && count != nullptr)
        cableTaken.assign(std::max(0, std::atoi(count)), false);
    const auto free = std::find(cableTaken.begin(), cableTaken.end(), false);
    if (free == cableTaken.end())
        throw std::runtime_error(cableTaken.empty() ? "no cables: run under the Wine runner (VORLINEX_WINE_CABLES)"
                                                    : "every cable is in use");
    *free = true;
    return static_cast<int>(free - cableTaken.begin()) + 1;
}

void returnCable(int number) {
    std::lock_guard lock(poolMutex);
    cableTaken.at(number - 1) = false;
}

void purge(HANDLE h) {
    DWORD errors = 0;
    ClearCommError(h, &errors, nullptr);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

DWORD inputQueued(HANDLE h) {
    COMSTAT status{};
    DWORD errors = 0;
    return ClearCommError(h, &errors, &status) ? status.cbInQue : 0;
}

// Raw 8-bit line, no flow control, reads that return at once with what is there.
void makeRaw(HANDLE h) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = CBR_115200, dcb.ByteSize = 8, dcb.Parity = NOPARITY, dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1, dcb.fParity = 0, dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE, dcb.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(h, &dcb);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(h, &timeouts);
}

// One overlapped call on the far end, waited for to its end.
DWORD finish(HANDLE h, OVERLAPPED& io, BOOL started, DWORD done) {
    return started || (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(h, &io, &done, TRUE)) ? done : 0;
}

}  // namespace

PtyCable::PtyCable() : number_(takeCable()) {
    slavePath_ = "COM" + std::to_string(number_);
    const std::string farEnd = "\\\\.\\COM" + std::to_string(number_ + 10);
    master_ = CreateFileA(farEnd.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (master_ == INVALID_HANDLE_VALUE) {
        returnCable(number_);
        throw std::runtime_error("cannot open " + farEnd + ": error " + std::to_string(GetLastError()));
    }
    makeRaw(master_);
    // What an earlier test left in the cable would land in this one's bytes: both ends are
    // emptied until nothing more comes out of the relay that joins them.
    const HANDLE programSide = CreateFileA(("\\\\.\\" + slavePath_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, 0, nullptr);
    if (programSide != INVALID_HANDLE_VALUE) makeRaw(programSide);
    for (int round = 0; round < 200; ++round) {
        if (programSide != INVALID_HANDLE_VALUE) purge(programSide);
        purge(master_);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (inputQueued(master_) == 0 && (programSide == INVALID_HANDLE_VALUE || inputQueued(programSide) == 0)) break;
    }
    if (programSide != INVALID_HANDLE_VALUE) CloseHandle(programSide);
}

PtyCable::~PtyCable() {
    CloseHandle(master_);
    returnCable(number_);
}

void PtyCable::send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        OVERLAPPED io{};
        io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        const BOOL started = WriteFile(master_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, &io);
        n = finish(master_, io, started, n);
        CloseHandle(io.hEvent);
        if (n == 0) throw std::runtime_error("cable send failed: error " + std::to_string(GetLastError()));
        done += n;
    }
}

std::string PtyCable::receive(size_t count, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    std::string out;
    char buf[4096];
    OVERLAPPED io{};
    io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (auto quietSince = Clock::now();
         out.size() < count && Clock::now() - quietSince < std::chrono::milliseconds(timeoutMs);) {
        // Only what is there, so that the read never waits (Wine keeps an empty one pending).
        DWORD n = 0;
        if (const DWORD queued = inputQueued(master_); queued > 0) {
            ResetEvent(io.hEvent);
            const DWORD want = static_cast<DWORD>(std::min({sizeof buf, count - out.size(), size_t{queued}}));
            const BOOL started = ReadFile(master_, buf, want, &n, &io);
            n = finish(master_, io, started, n);
        }
        if (n > 0) out.append(buf, n), quietSince = Clock::now();
        else std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    CloseHandle(io.hEvent);
    return out;
}

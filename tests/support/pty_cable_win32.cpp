#include "tests/support/pty_cable.h"

#include <windows.h>
// after windows.h, whose types it uses
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// The runner's cables not handed out: numbers 1..VORLINEX_WINE_CABLES.
std::mutex poolMutex;
std::vector<bool> cableTaken;

int takeCable() {
    std::lock_guard lock(poolMutex);
    if (cableTaken.empty()) {
        const char* count = std::getenv("VORLINEX_WINE_CABLES");
        cableTaken.assign(count != nullptr ? static_cast<size_t>(std::max(0, std::atoi(count))) : 0, false);
    }
    for (size_t i = 0; i < cableTaken.size(); ++i) {
        if (!cableTaken[i]) {
            cableTaken[i] = true;
            return static_cast<int>(i) + 1;
        }
    }
    throw std::runtime_error(cableTaken.empty() ? "no cables: run under the Wine runner (VORLINEX_WINE_CABLES)"
                                                : "every cable of the runner is in use");
}

void returnCable(int number) {
    std::lock_guard lock(poolMutex);
    if (number >= 1 && static_cast<size_t>(number) <= cableTaken.size()) cableTaken[number - 1] = false;
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
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(h, &dcb);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(h, &timeouts);
}

// One overlapped call on the far end, waited for to its end.
DWORD finish(HANDLE h, OVERLAPPED& io, BOOL started, DWORD done) {
    if (!started) {
        if (GetLastError() != ERROR_IO_PENDING) return 0;
        if (!GetOverlappedResult(h, &io, &done, TRUE)) return 0;
    }
    return done;
}

}  // namespace

PtyCable::PtyCable() : number_(takeCable()) {
    slavePath_ = "COM" + std::to_string(number_);
    const std::string farEnd = "\\\\.\\COM" + std::to_string(number_ + 10);
    master_ = CreateFileA(farEnd.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
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
        COMSTAT status{};
        DWORD errors = 0, n = 0;
        ClearCommError(master_, &errors, &status);
        if (status.cbInQue > 0) {
            ResetEvent(io.hEvent);
            const DWORD want = static_cast<DWORD>(std::min({sizeof buf, count - out.size(), size_t{status.cbInQue}}));
            const BOOL started = ReadFile(master_, buf, want, &n, &io);
            n = finish(master_, io, started, n);
        }
        if (n > 0) {
            out.append(buf, n);
            quietSince = Clock::now();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    CloseHandle(io.hEvent);
    return out;
}

ScratchDir::ScratchDir() : previous_(std::filesystem::current_path().string()) {
    std::mt19937 rng(static_cast<uint32_t>(GetCurrentProcessId() ^ GetTickCount()));
    for (int attempt = 0; path_.empty(); ++attempt) {
        const auto candidate = std::filesystem::temp_directory_path() / ("vorlinex-test-" + std::to_string(rng()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.generic_string();
        else if (attempt > 100) throw std::runtime_error("no scratch folder");
    }
    std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
}

std::multiset<std::string> threadNames() {
    using Describe = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    const auto describe = reinterpret_cast<Describe>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetThreadDescription")));
    std::multiset<std::string> names;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return names;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
        std::string name;
        const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        PWSTR wide = nullptr;
        if (thread != nullptr && describe != nullptr && SUCCEEDED(describe(thread, &wide)) && wide != nullptr) {
            for (const wchar_t* c = wide; *c != 0; ++c) name += static_cast<char>(*c < 128 ? *c : '?');
            LocalFree(wide);
        }
        if (thread != nullptr) CloseHandle(thread);
        names.insert(name);
    }
    CloseHandle(snapshot);
    return names;
}

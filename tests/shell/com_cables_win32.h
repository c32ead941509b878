// The far ends of the Windows test cables and a scratch folder, for the tests that run the real
// program: under Wine the runner maps COM1..COMn to the program's ends and COM11.. to the far
// ends, and says how many cables it made in VORLINEX_WINE_CABLES.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace com_cables {

namespace fs = std::filesystem;

// How many cables the runner made (0 when none: not under the runner).
inline int cablesMade() {
    const char* cables = std::getenv("VORLINEX_WINE_CABLES");
    return cables == nullptr ? 0 : std::atoi(cables);
}

// A far end of a cable, opened as the device at the other end would use it: 9600 8N1, no flow
// control, overlapped, so that one thread may read while another writes.
class FarEnd {
public:
    explicit FarEnd(const std::wstring& name) {
        handle_ = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ::GetCommState(handle_, &dcb);
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        ::SetCommState(handle_, &dcb);
        // A read returns once a byte is there, or after 200 ms with none.
        COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 200, 0, 0};
        ::SetCommTimeouts(handle_, &timeouts);
        ::PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    }
    ~FarEnd() {
        if (open()) ::CloseHandle(handle_);
    }
    FarEnd(FarEnd&&) = delete;

    bool open() const { return handle_ != INVALID_HANDLE_VALUE; }

    bool send(const std::string& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - sent, 4096));
            DWORD done = 0;
            if (!transfer(false, const_cast<char*>(bytes.data() + sent), piece, done)) return false;
            sent += done;
        }
        return true;
    }

    // Reads until `count` bytes arrived or `quietMs` passed without any.
    std::string receive(size_t count, int quietMs = 10000) {
        std::string got;
        char buffer[4096];
        DWORD quietSince = ::GetTickCount();
        while (got.size() < count && ::GetTickCount() - quietSince < static_cast<DWORD>(quietMs)) {
            DWORD done = 0;
            if (!transfer(true, buffer, sizeof buffer, done)) break;
            if (done > 0) got.append(buffer, done), quietSince = ::GetTickCount();
        }
        return got;
    }

private:
    bool transfer(bool reading, char* data, DWORD size, DWORD& done) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const BOOL started = reading ? ::ReadFile(handle_, data, size, nullptr, &overlapped)
                                     : ::WriteFile(handle_, data, size, nullptr, &overlapped);
        bool ok = started || ::GetLastError() == ERROR_IO_PENDING;
        // Wine leaves a read pending past its total time-out while no byte comes: a read is
        // given up after a while, keeping what it got.
        if (ok && reading && ::WaitForSingleObject(overlapped.hEvent, 500) == WAIT_TIMEOUT) ::CancelIo(handle_);
        if (ok) ok = ::GetOverlappedResult(handle_, &overlapped, &done, TRUE) != FALSE || ::GetLastError() == ERROR_OPERATION_ABORTED;
        ::CloseHandle(overlapped.hEvent);
        return ok;
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

inline std::string randomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// A fresh folder that is the current directory while the object lives: the program reads its
// Vorlinex.ini there.
class ScratchFolder {
public:
    ScratchFolder() : previous_(fs::current_path()) {
        path_ = fs::temp_directory_path() /
                ("vorlinex-program-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++made_));
        fs::create_directories(path_);
        fs::current_path(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        fs::current_path(previous_, ignored);
        fs::remove_all(path_, ignored);
    }
    fs::path file(const std::string& name) const { return path_ / name; }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary | std::ios::trunc) << content;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

private:
    static inline int made_ = 0;
    fs::path previous_, path_;
};

}  // namespace com_cables

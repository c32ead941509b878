#include "display/positional_file.h"

#include <windows.h>

#include "relay/system_win32.h"

PositionalFile::~PositionalFile() { close(); }

void PositionalFile::close() {
    if (handle_ != nullptr) CloseHandle(handle_);
    handle_ = nullptr;
}

int PositionalFile::open(const std::string& path) {
    close();
    // Shared for writing and deleting: the capture that writes the file goes on while it is read.
    HANDLE h = CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lastErrno();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info)) {
        const int error = lastErrno();
        CloseHandle(h);
        return error;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(h);
        return EISDIR;
    }
    handle_ = h;
    size_ = GetFileType(h) == FILE_TYPE_DISK ? (uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow) : 0;
    return 0;
}

int64_t PositionalFile::readAt(uint64_t offset, char* buffer, size_t length, int& error) const {
    // A positioned read: the offset goes with the call, so readers on several threads do not
    // move each other's place.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(length > 0x40000000u ? 0x40000000u : length);
    if (!ReadFile(handle_, buffer, want, &got, &at)) {
        const DWORD reason = GetLastError();
        if (reason == ERROR_HANDLE_EOF) return 0;
        error = errnoFromWindowsError(reason);
        return -1;
    }
    return got;
}

bool PositionalFile::sizeNow(uint64_t& size) const {
    LARGE_INTEGER now{};
    if (handle_ == nullptr || GetFileType(handle_) != FILE_TYPE_DISK || !GetFileSizeEx(handle_, &now)) return false;
    size = static_cast<uint64_t>(now.QuadPart);
    return true;
}

bool PositionalFile::nextData(uint64_t, uint64_t&) const {
    // Holes are not asked for here: a sparse file is read through, its zeros as they are.
    return false;
}

#include "settings/file_replace.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "relay/system_win32.h"

namespace {

int writeAll(HANDLE file, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(file, data.data() + done, chunk, &wrote, nullptr)) return lastErrno();
        if (wrote == 0) return EIO;
        done += wrote;
    }
    return 0;
}

}  // namespace

int replaceFile(const std::string& path, const std::string& content, mode_t) {
    const std::wstring target = wideFromUtf8(path);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
        // Made read-only on purpose: left alone, as an editor leaves it.
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return EACCES;
    } else if (const DWORD reason = GetLastError(); reason != ERROR_FILE_NOT_FOUND) {
        return errnoFromWindowsError(reason);
    }

    std::wstring temporary;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE; ++attempt) {
        temporary = target + L".tmp" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt);
        file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD reason = GetLastError();
            if (reason != ERROR_FILE_EXISTS || attempt >= 100) return errnoFromWindowsError(reason);
        }
    }
    int err = writeAll(file, content);
    if (err == 0 && !FlushFileBuffers(file)) err = lastErrno();
    if (!CloseHandle(file) && err == 0) err = lastErrno();
    // Write-through: the move has reached the disk when it returns, as the folder's sync does
    // on Linux.
    if (err == 0 && !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        err = lastErrno();
    }
    if (err != 0) DeleteFileW(temporary.c_str());
    return err;
}

int readWholeFile(const std::string& path, std::string& content) {
    content.clear();
    // Others may go on writing or replacing the file while it is read, as on Linux.
    HANDLE file = CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lastErrno();
    BY_HANDLE_FILE_INFORMATION info{};
    int err = 0;
    if (!GetFileInformationByHandle(file, &info)) {
        err = lastErrno();
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        err = EISDIR;
    } else if (GetFileType(file) != FILE_TYPE_DISK) {
        err = EINVAL;
    }
    char buffer[65536];
    while (err == 0) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            err = lastErrno();
        } else if (got == 0) {
            break;
        } else {
            content.append(buffer, got);
        }
    }
    CloseHandle(file);
    if (err != 0) content.clear();
    return err;
}

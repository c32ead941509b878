#include <windows.h>

#include <cerrno>

#include "capture/capture_stream.h"
#include "relay/system_win32.h"

// A write to a file on Windows takes what it is given or fails; one to a pipe waits in the
// system until the reader takes it, where the end of the program gives the writer up. Nothing
// is left for a wake-up to end.
CaptureWake::CaptureWake() = default;
CaptureWake::~CaptureWake() = default;
void CaptureWake::signal() {}
void CaptureStream::waitWritable(CaptureWake&, int) {}

namespace capture_system {

namespace {

HANDLE handleOf(CaptureHandle handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

int openFile(const std::string& path, bool append, OpenedFile& opened) {
    // Append: the system puts every write at the end of the file (append data only). Shared
    // with every reader and writer, and with a rename or delete, so that a log can be rotated
    // under a running capture.
    const DWORD access = append ? (FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES) : GENERIC_WRITE;
    HANDLE h = CreateFileW(wideFromUtf8(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD reason = GetLastError();
        // A folder in the file's place, as Linux reports it.
        if (reason == ERROR_ACCESS_DENIED) {
            const DWORD attributes = GetFileAttributesW(wideFromUtf8(path).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
        }
        // A file where the folder should be, as Linux reports it, rather than a missing folder.
        if (reason == ERROR_PATH_NOT_FOUND || reason == ERROR_DIRECTORY) {
            const size_t slash = path.find_last_of(kFolderSeparators);
            const DWORD attributes =
                slash == std::string::npos ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wideFromUtf8(path.substr(0, slash)).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
        }
        return errnoFromWindowsError(reason);
    }
    const DWORD type = GetFileType(h);
    BY_HANDLE_FILE_INFORMATION info{};
    if (type == FILE_TYPE_DISK && !GetFileInformationByHandle(h, &info)) {
        const int error = lastErrno();
        CloseHandle(h);
        return error;
    }
    opened.handle = reinterpret_cast<CaptureHandle>(h);
    opened.regular = type == FILE_TYPE_DISK;
    opened.device = type == FILE_TYPE_CHAR;
    opened.identity = {info.dwVolumeSerialNumber, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
    return 0;
}

int64_t writeSome(CaptureHandle handle, const char* bytes, size_t length, int& error) {
    DWORD wrote = 0;
    const DWORD want = static_cast<DWORD>(length > 0x40000000u ? 0x40000000u : length);
    if (!WriteFile(handleOf(handle), bytes, want, &wrote, nullptr)) {
        error = lastErrno();
        return -1;
    }
    return wrote;
}

int truncateTo(CaptureHandle handle, int64_t size) {
    // An append handle may not set the end: a second handle to the same file may.
    HANDLE writable =
        ReOpenFile(handleOf(handle), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (writable == INVALID_HANDLE_VALUE) return lastErrno();
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size;
    const bool cut = SetFileInformationByHandle(writable, FileEndOfFileInfo, &end, sizeof end);
    const int error = cut ? 0 : lastErrno();
    CloseHandle(writable);
    return error;
}

// Every write went to the end of the file, so that is where the last one ended.
int writtenEnd(CaptureHandle handle, int64_t& end) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handleOf(handle), &size)) return lastErrno();
    end = size.QuadPart;
    return 0;
}

int closeFile(CaptureHandle handle) { return CloseHandle(handleOf(handle)) ? 0 : lastErrno(); }

}  // namespace capture_system

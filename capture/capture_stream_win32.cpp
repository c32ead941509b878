#include "capture/capture_stream.h"

#include <windows.h>

#include <cerrno>
#include <utility>

#include "relay/system_win32.h"

// A write to a file on Windows takes what it is given or fails; one to a pipe waits in the
// system until the reader takes it, where the end of the program gives the writer up. Nothing
// is left for a wake-up to end.
CaptureWake::CaptureWake() = default;
CaptureWake::~CaptureWake() = default;
void CaptureWake::signal() {}

CaptureStream::~CaptureStream() { close(); }

CaptureStream::CaptureStream(CaptureStream&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      regular_(other.regular_),
      device_(other.device_),
      identity_(other.identity_) {}

CaptureStream& CaptureStream::operator=(CaptureStream&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        regular_ = other.regular_;
        device_ = other.device_;
        identity_ = other.identity_;
    }
    return *this;
}

int CaptureStream::open(const std::string& path, bool append) {
    close();
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
    handle_ = h;
    regular_ = type == FILE_TYPE_DISK;
    device_ = type == FILE_TYPE_CHAR;
    identity_ = {info.dwVolumeSerialNumber, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
    return 0;
}

bool CaptureStream::isOpen() const { return handle_ != nullptr; }

int CaptureStream::empty() {
    if (!regular_) return 0;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_)) return lastErrno();
    return 0;
}

int64_t CaptureStream::write(const char* bytes, size_t length, int& error) {
    DWORD wrote = 0;
    const DWORD want = static_cast<DWORD>(length > 0x40000000u ? 0x40000000u : length);
    if (!WriteFile(handle_, bytes, want, &wrote, nullptr)) {
        error = lastErrno();
        return -1;
    }
    if (wrote == 0) {
        error = ENOSPC;
        return -1;
    }
    return wrote;
}

void CaptureStream::waitWritable(CaptureWake&, int) {}

// The file ends where this writer's last byte went: its end, as every write went there.
int CaptureStream::cutBack(size_t length) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle_, &size)) return lastErrno();
    if (size.QuadPart < static_cast<LONGLONG>(length)) return EINVAL;
    // An append handle may not set the end: a second handle to the same file may.
    HANDLE writable = ReOpenFile(handle_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (writable == INVALID_HANDLE_VALUE) return lastErrno();
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = size.QuadPart - static_cast<LONGLONG>(length);
    const bool cut = SetFileInformationByHandle(writable, FileEndOfFileInfo, &end, sizeof end);
    const int error = cut ? 0 : lastErrno();
    CloseHandle(writable);
    return error;
}

int CaptureStream::close() {
    if (handle_ == nullptr) return 0;
    return CloseHandle(std::exchange(handle_, nullptr)) ? 0 : lastErrno();
}

// The system's side of a capture's file: opening it without waiting, writing it, cutting back a
// record left half written, and telling which file it is, so that two captures never write one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Which file this is, as the system names it: device and inode on Linux, volume serial number and
// file index on Windows.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// What separates the folders of a path: Windows takes '/' as well as its own '\'.
#ifdef _WIN32
inline constexpr const char* kFolderSeparators = "\\/";
#else
inline constexpr const char* kFolderSeparators = "/";
#endif

// Wakes a writer that waits for a pipe or device to take bytes.
class CaptureWake {
public:
    CaptureWake();
    ~CaptureWake();
    CaptureWake(const CaptureWake&) = delete;
    CaptureWake& operator=(const CaptureWake&) = delete;
    // 0, or the errno that kept it from being made.
    int error() const { return error_; }
    void signal();

private:
    friend class CaptureStream;
    int error_ = 0;
#ifndef _WIN32
    int fd_ = -1;
#endif
};

// The system's number for an open file: a descriptor, or a HANDLE's value; kNoFile when none.
using CaptureHandle = intptr_t;
inline constexpr CaptureHandle kNoFile = -1;

// What the system says of a file it opened.
struct OpenedFile {
    CaptureHandle handle = kNoFile;
    bool regular = false;
    bool device = false;
    FileIdentity identity;
};

// The system calls under a CaptureStream, one file per system (capture_stream_linux.cpp,
// capture_stream_win32.cpp); the stream's own rules are written once, above them. Each returns 0
// or the errno unless it says otherwise.
namespace capture_system {
// Opens for writing, creating the file, never waiting (see CaptureStream::open).
int openFile(const std::string& path, bool append, OpenedFile& opened);
// Bytes the system took (0 is allowed), or -1 with the errno in `error` (EINTR and EAGAIN
// included: the caller decides).
int64_t writeSome(CaptureHandle handle, const char* bytes, size_t length, int& error);
// Sets the file's size.
int truncateTo(CaptureHandle handle, int64_t size);
// Where this writer's last byte went: the end of what it wrote.
int writtenEnd(CaptureHandle handle, int64_t& end);
int closeFile(CaptureHandle handle);
}  // namespace capture_system

// One opened file, used by one thread at a time.
class CaptureStream {
public:
    CaptureStream() = default;
    ~CaptureStream();  // closes, ignoring what the close reports
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;
    CaptureStream(CaptureStream&& other) noexcept;
    CaptureStream& operator=(CaptureStream&& other) noexcept;

    // Opens `path` for writing, creating it, never waiting: a FIFO nobody reads is refused, a
    // terminal does not wait for its carrier. With `append` every write goes to the end of the
    // file. 0, or the errno.
    int open(const std::string& path, bool append);
    bool isOpen() const;
    // A regular file on a disk; a device (/dev/null, NUL) that takes any number of writers.
    bool regular() const { return regular_; }
    bool device() const { return device_; }
    FileIdentity identity() const { return identity_; }

    // Empties a regular file. 0, or the errno.
    int empty();
    // Writes some of `length` bytes: how many, 0 when a pipe or device takes nothing now (wait
    // with waitWritable), -1 with the errno in `error`.
    int64_t write(const char* bytes, size_t length, int& error);
    // Waits until the file may take bytes, `wake` is signalled, or waitMs passed.
    void waitWritable(CaptureWake& wake, int waitMs);
    // Removes the last `length` bytes written, so that the file ends where they began. 0, or the
    // errno.
    int cutBack(size_t length);
    // 0, or the errno of a failed write that the file system reports only now.
    int close();

private:
    CaptureHandle handle_ = kNoFile;
    bool regular_ = false;
    bool device_ = false;
    FileIdentity identity_;
};

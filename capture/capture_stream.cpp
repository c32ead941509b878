// A capture's file above the system's calls: ownership, the open's bookkeeping, partial and
// refused writes, and the cut back of a half-written record, the same on every system.
#include "capture/capture_stream.h"

#include <cerrno>
#include <utility>

CaptureStream::~CaptureStream() { close(); }

CaptureStream::CaptureStream(CaptureStream&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoFile)),
      regular_(other.regular_),
      device_(other.device_),
      identity_(other.identity_) {}

CaptureStream& CaptureStream::operator=(CaptureStream&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kNoFile);
        regular_ = other.regular_;
        device_ = other.device_;
        identity_ = other.identity_;
    }
    return *this;
}

int CaptureStream::open(const std::string& path, bool append) {
    close();
    OpenedFile opened;
    if (const int error = capture_system::openFile(path, append, opened); error != 0) return error;
    handle_ = opened.handle;
    regular_ = opened.regular;
    device_ = opened.device;
    identity_ = opened.identity;
    return 0;
}

bool CaptureStream::isOpen() const { return handle_ != kNoFile; }

int CaptureStream::empty() { return regular_ ? capture_system::truncateTo(handle_, 0) : 0; }

int64_t CaptureStream::write(const char* bytes, size_t length, int& error) {
    for (;;) {
        int reason = 0;
        const int64_t n = capture_system::writeSome(handle_, bytes, length, reason);
        if (n > 0) return n;
        if (n < 0 && reason == EINTR) continue;
        if (n < 0 && reason == EAGAIN) return 0;
        // A file that takes nothing without saying why is full.
        error = n < 0 ? reason : ENOSPC;
        return -1;
    }
}

// From where this writer's last byte went, so that what the file held before it was opened
// (Append) stays untouched.
int CaptureStream::cutBack(size_t length) {
    int64_t end = 0;
    if (const int error = capture_system::writtenEnd(handle_, end); error != 0) return error;
    if (end < static_cast<int64_t>(length)) return EINVAL;
    return capture_system::truncateTo(handle_, end - static_cast<int64_t>(length));
}

int CaptureStream::close() {
    if (handle_ == kNoFile) return 0;
    return capture_system::closeFile(std::exchange(handle_, kNoFile));
}

#include "capture/capture_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

CaptureWake::CaptureWake() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd_ < 0) error_ = errno;
}

CaptureWake::~CaptureWake() {
    if (fd_ >= 0) ::close(fd_);
}

void CaptureWake::signal() {
    const uint64_t one = 1;
    ssize_t ignored = ::write(fd_, &one, sizeof one);
    (void)ignored;
}

CaptureStream::~CaptureStream() { close(); }

CaptureStream::CaptureStream(CaptureStream&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), regular_(other.regular_), device_(other.device_), identity_(other.identity_) {}

CaptureStream& CaptureStream::operator=(CaptureStream&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        regular_ = other.regular_;
        device_ = other.device_;
        identity_ = other.identity_;
    }
    return *this;
}

// Non-blocking for good, so that a FIFO nobody reads is refused rather than waited for, and a
// writer that finds a pipe full waits in poll, where the end of the program can wake it.
int CaptureStream::open(const std::string& path, bool append) {
    close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (append ? O_APPEND : 0),
                          0666);
    if (fd < 0) return errno;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    fd_ = fd;
    regular_ = S_ISREG(info.st_mode);
    device_ = S_ISCHR(info.st_mode);
    identity_ = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return 0;
}

bool CaptureStream::isOpen() const { return fd_ >= 0; }

int CaptureStream::empty() { return regular_ && ::ftruncate(fd_, 0) != 0 ? errno : 0; }

int64_t CaptureStream::write(const char* bytes, size_t length, int& error) {
    for (;;) {
        const ssize_t n = ::write(fd_, bytes, length);
        if (n > 0) return n;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return 0;
        error = n < 0 ? errno : ENOSPC;
        return -1;
    }
}

void CaptureStream::waitWritable(CaptureWake& wake, int waitMs) {
    pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake.fd_, POLLIN, 0}};
    ::poll(fds, 2, waitMs);
    uint64_t wakeUps = 0;
    ssize_t ignored = ::read(wake.fd_, &wakeUps, sizeof wakeUps);
    (void)ignored;
}

// From where this writer's last byte went, so that what the file held before it was opened
// (Append) stays untouched.
int CaptureStream::cutBack(size_t length) {
    const off_t end = ::lseek(fd_, 0, SEEK_CUR);
    if (end < static_cast<off_t>(length)) return EINVAL;
    return ::ftruncate(fd_, end - static_cast<off_t>(length)) == 0 ? 0 : errno;
}

int CaptureStream::close() {
    if (fd_ < 0) return 0;
    const int closed = ::close(std::exchange(fd_, -1));
    return closed != 0 && errno != EINTR ? errno : 0;
}

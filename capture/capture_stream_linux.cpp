#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "capture/capture_stream.h"

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

void CaptureStream::waitWritable(CaptureWake& wake, int waitMs) {
    pollfd fds[2] = {{static_cast<int>(handle_), POLLOUT, 0}, {wake.fd_, POLLIN, 0}};
    ::poll(fds, 2, waitMs);
    uint64_t wakeUps = 0;
    ssize_t ignored = ::read(wake.fd_, &wakeUps, sizeof wakeUps);
    (void)ignored;
}

namespace capture_system {

// Non-blocking for good, so that a FIFO nobody reads is refused rather than waited for, and a
// writer that finds a pipe full waits in poll, where the end of the program can wake it.
int openFile(const std::string& path, bool append, OpenedFile& opened) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (append ? O_APPEND : 0),
                          0666);
    if (fd < 0) return errno;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    opened.handle = fd;
    opened.regular = S_ISREG(info.st_mode);
    opened.device = S_ISCHR(info.st_mode);
    opened.identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return 0;
}

int64_t writeSome(CaptureHandle handle, const char* bytes, size_t length, int& error) {
    const ssize_t n = ::write(static_cast<int>(handle), bytes, length);
    if (n < 0) error = errno;
    return n;
}

int truncateTo(CaptureHandle handle, int64_t size) {
    return ::ftruncate(static_cast<int>(handle), static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int writtenEnd(CaptureHandle handle, int64_t& end) {
    const off_t at = ::lseek(static_cast<int>(handle), 0, SEEK_CUR);
    if (at < 0) return errno;
    end = at;
    return 0;
}

int closeFile(CaptureHandle handle) {
    const int closed = ::close(static_cast<int>(handle));
    return closed != 0 && errno != EINTR ? errno : 0;
}

}  // namespace capture_system

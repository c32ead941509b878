#include "display/positional_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

PositionalFile::~PositionalFile() { close(); }

void PositionalFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int PositionalFile::open(const std::string& path) {
    close();
    // Non-blocking, so that a FIFO without a writer cannot hold the caller; a regular file reads
    // the same either way.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        const int error = S_ISDIR(status.st_mode) ? EISDIR : errno;
        ::close(fd);
        return error;
    }
    fd_ = fd;
    size_ = S_ISREG(status.st_mode) ? static_cast<uint64_t>(status.st_size) : 0;
    return 0;
}

int64_t PositionalFile::readAt(uint64_t offset, char* buffer, size_t length, int& error) const {
    ssize_t n;
    do {
        n = ::pread(fd_, buffer, length, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) error = errno;
    return n;
}

bool PositionalFile::sizeNow(uint64_t& size) const {
    struct stat status {};
    if (fd_ < 0 || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    size = static_cast<uint64_t>(status.st_size);
    return true;
}

bool PositionalFile::nextData(uint64_t offset, uint64_t& data) const {
    const off_t found = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
    if (found < 0 && errno == ENXIO) {
        data = size_;
        return true;
    }
    if (found < 0) return false;
    data = static_cast<uint64_t>(found);
    return true;
}

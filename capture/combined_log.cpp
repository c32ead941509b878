#include "capture/combined_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

CombinedLog combinedCapture;

namespace {

// Records gather here and go to the file in one write; a chunk's record is at most ~4.2 KB.
constexpr size_t kWriteOutSize = 65536;
constexpr int64_t kFlushIntervalUs = 1000000;

int64_t microsOf(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

int64_t monotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return microsOf(now);
}

std::string systemReason(int error) {
    char text[256];
    // The GNU form: returns the text, which may or may not live in the buffer.
    return strerror_r(error, text, sizeof text);
}

}  // namespace

void appendCombinedRecord(std::string& out, const std::tm& local, int32_t micros,
                          int64_t gapMicros, int channel, const uint8_t* bytes, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    if (gapMicros < 0) gapMicros = 0;
    char head[128];
    const int headLength = std::snprintf(
        head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%06d +%" PRId64 ".%06" PRId64 " %s  %zu  ",
        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
        local.tm_sec, static_cast<int>(micros), gapMicros / 1000000, gapMicros % 1000000,
        channel == 2 ? "2>1" : "1>2", length);
    const size_t start = out.size();
    const size_t hexLength = length == 0 ? 0 : length * 3 - 1;
    out.resize(start + static_cast<size_t>(headLength) + hexLength + 3 + length + 2);
    char* p = out.data() + start;
    std::memcpy(p, head, static_cast<size_t>(headLength));
    p += headLength;
    for (size_t i = 0; i < length; ++i) {
        if (i > 0) *p++ = ' ';
        *p++ = kHex[bytes[i] >> 4];
        *p++ = kHex[bytes[i] & 0x0F];
    }
    *p++ = ' ';
    *p++ = ' ';
    *p++ = '|';
    for (size_t i = 0; i < length; ++i) {
        *p++ = bytes[i] >= 0x20 && bytes[i] <= 0x7E ? static_cast<char>(bytes[i]) : '.';
    }
    *p++ = '|';
    *p++ = '\n';
}

CombinedLog::CombinedLog() { buffer_.reserve(kWriteOutSize + 8192); }

CombinedLog::~CombinedLog() { close(); }

int CombinedLog::open(const std::string& fullPath) {
    close();
    // Without O_NONBLOCK a FIFO nobody reads would hold the user interface in open(); once
    // open, writes may wait for a slow reader like any capture does, so the flag goes again.
    const int fd = ::open(fullPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC,
                          0666);
    if (fd < 0) return errno;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    std::lock_guard<std::mutex> hold(lock_);
    fd_ = fd;
    fullPath_ = fullPath;
    const size_t slash = fullPath.find_last_of('/');
    name_ = slash == std::string::npos ? fullPath : fullPath.substr(slash + 1);
    buffer_.clear();
    bufferedBytes_ = committed_ = 0;
    count_.store(0, std::memory_order_relaxed);
    first_ = true;
    lastFlushUs_ = monotonicMicros();
    {
        // A report of an earlier capture that nobody took must not end this one.
        std::lock_guard<std::mutex> holdFailure(failureLock_);
        failure_.clear();
    }
    failed_.store(0, std::memory_order_relaxed);
    // Last, so that a worker never sees an enabled capture whose fields are not yet set.
    enabled_.store(1, std::memory_order_release);
    return 0;
}

void CombinedLog::write(int channel, const uint8_t* chunk, size_t length) {
    if (chunk == nullptr || length == 0) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (!enabled() || fd_ < 0) return;

    // The read time, taken under the lock: whichever worker comes first gets the earlier time
    // and the earlier place in the file. The gap comes from the monotonic clock, so a change of
    // the wall clock cannot make it negative.
    timespec wall{}, steady{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &steady);
    const int64_t now = microsOf(steady);
    const int64_t gap = first_ || now < lastMonotonicUs_ ? 0 : now - lastMonotonicUs_;
    first_ = false;
    lastMonotonicUs_ = now;
    if (wall.tv_sec != cachedSecond_) {
        localtime_r(&wall.tv_sec, &cachedLocal_);
        cachedSecond_ = wall.tv_sec;
    }

    appendCombinedRecord(buffer_, cachedLocal_, static_cast<int32_t>(wall.tv_nsec / 1000), gap,
                         channel, chunk, length);
    bufferedBytes_ += static_cast<int64_t>(length);
    count_.fetch_add(static_cast<int64_t>(length), std::memory_order_relaxed);
    if (buffer_.size() >= kWriteOutSize || now - lastFlushUs_ >= kFlushIntervalUs) flushLocked();
}

bool CombinedLog::flushLocked() {
    size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            failLocked(n < 0 ? errno : ENOSPC);
            return false;
        }
    }
    buffer_.clear();
    committed_ += bufferedBytes_;
    bufferedBytes_ = 0;
    lastFlushUs_ = monotonicMicros();
    return true;
}

// The file refused bytes: the capture ends, the counter falls back to what reached the file,
// and the report waits for the log window (the caller may be a worker, which shows nothing).
void CombinedLog::failLocked(int error) {
    enabled_.store(0, std::memory_order_release);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
    bufferedBytes_ = 0;
    count_.store(committed_, std::memory_order_relaxed);
    std::string report = "File Write Error。\n" + fullPath_ + "\n" +
                         systemReason(error != 0 ? error : EIO) + "\nThe capture has been closed.";
    {
        std::lock_guard<std::mutex> hold(failureLock_);
        failure_ = std::move(report);
    }
    failed_.store(1, std::memory_order_release);
}

bool CombinedLog::close() {
    std::lock_guard<std::mutex> hold(lock_);
    enabled_.store(0, std::memory_order_release);
    if (fd_ < 0) return true;
    if (!flushLocked()) return false;
    const int closed = ::close(fd_);
    const int error = errno;
    fd_ = -1;
    if (closed != 0 && error != EINTR) {
        // Some file systems report a failed write only at close.
        failLocked(error);
        return false;
    }
    return true;
}

void CombinedLog::flushIfDue() {
    std::unique_lock<std::mutex> hold(lock_, std::try_to_lock);
    // A worker holding the lock writes out by itself when it is due.
    if (!hold.owns_lock() || fd_ < 0 || buffer_.empty()) return;
    if (monotonicMicros() - lastFlushUs_ >= kFlushIntervalUs) flushLocked();
}

std::string CombinedLog::name() const {
    std::lock_guard<std::mutex> hold(lock_);
    return name_;
}

std::string CombinedLog::takeFailure() {
    if (failed_.exchange(0, std::memory_order_acquire) == 0) return {};
    std::lock_guard<std::mutex> hold(failureLock_);
    std::string report = std::move(failure_);
    failure_.clear();
    return report;
}

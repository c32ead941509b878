#include "capture/capture_file.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr int64_t kWriteOutIntervalMs = 1000;
// How long a reader may take nothing at the end of the program before its bytes are given up.
constexpr int kStalledAtExitMs = 1000;
// What may wait for a reader that does not keep up before the capture ends: minutes of the
// fastest line, so that only a reader that has stopped reaches it.
constexpr size_t kQueueLimit = size_t{32} << 20;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string systemReason(int error) {
    char text[256];
    // The GNU form: returns the text, which may or may not live in the buffer.
    return strerror_r(error, text, sizeof text);
}

}  // namespace

std::string captureOpenReason(int error, const std::string& fullPath) {
    std::string reason = systemReason(error);
    struct stat info {};
    if (error == ENXIO && ::stat(fullPath.c_str(), &info) == 0 && S_ISFIFO(info.st_mode))
        reason += " (no program is reading from this pipe)";
    return reason;
}

CaptureFile::CaptureFile(size_t writeOutSize) : writeOutSize_(writeOutSize) {}

CaptureFile::~CaptureFile() {
    closeAtExit();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

int CaptureFile::open(const std::string& fullPath) {
    // One file at a time: a capture still open is finished before the new file is opened, so
    // no descriptor is leaked and its bytes cannot land in the new file.
    close();
    if (wakeFd_ < 0) {
        wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd_ < 0) return errno;
    }
    // Non-blocking from the start and for good: opening never waits, and neither does a write,
    // which leaves in the queue what the file cannot take now.
    const int fd = ::open(fullPath.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return errno;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || (S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0)) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    uint64_t stale = 0;
    while (::read(wakeFd_, &stale, sizeof stale) > 0) {
    }

    std::lock_guard<std::mutex> hold(lock_);
    fd_ = fd;
    regular_ = S_ISREG(info.st_mode);
    fullPath_ = fullPath;
    const size_t slash = fullPath.find_last_of('/');
    name_ = slash == std::string::npos ? fullPath : fullPath.substr(slash + 1);
    queue_.clear();
    sent_ = 0;
    committed_ = 0;
    count_.store(0, std::memory_order_relaxed);
    lastWriteOutMs_ = nowMs();
    closeRequested_ = giveUpWhenStalled_ = false;
    {
        // A report of an earlier capture that nobody took must not end this one.
        std::lock_guard<std::mutex> holdFailure(failureLock_);
        failure_.clear();
    }
    failed_.store(false, std::memory_order_relaxed);
    closed_.store(false, std::memory_order_relaxed);
    flusher_ = std::thread([this] { run(); });
    pthread_setname_np(flusher_.native_handle(), "vx-capture");
    accepting_.store(true, std::memory_order_release);
    return 0;
}

void CaptureFile::append(const void* data, size_t length, int64_t counted) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!accepting() || fd_ < 0) return;
    if (queuedLocked() + length > kQueueLimit) {
        // The reader has stopped taking bytes: the capture ends here, and what it holds still
        // goes to the file as the reader takes it, up to its close.
        accepting_.store(false, std::memory_order_release);
        std::string report = "File Write Error。\n" + fullPath_ + "\n" + systemReason(EAGAIN) +
                             " (the file does not keep up)\nThe capture has been closed.";
        std::lock_guard<std::mutex> holdFailure(failureLock_);
        failure_ = std::move(report);
        failed_.store(true, std::memory_order_release);
        return;
    }
    if (sent_ == queue_.size()) {
        queue_.clear();
        sent_ = 0;
    }
    queue_.append(static_cast<const char*>(data), length);
    count_.store(count_.load(std::memory_order_relaxed) + counted, std::memory_order_relaxed);
    const int64_t now = nowMs();
    if (queuedLocked() >= writeOutSize_ || now - lastWriteOutMs_ >= kWriteOutIntervalMs) {
        lastWriteOutMs_ = now;
        writeOutLocked();
    }
}

// Gives the file what it takes without waiting. false when the file refused bytes, which ended
// the capture.
bool CaptureFile::writeOutLocked() {
    while (sent_ < queue_.size()) {
        const ssize_t n = ::write(fd_, queue_.data() + sent_, queue_.size() - sent_);
        if (n > 0) {
            sent_ += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // Keep what was taken off the front, so that the queue does not grow without end.
            if (sent_ >= writeOutSize_) {
                queue_.erase(0, sent_);
                sent_ = 0;
            }
            return true;
        } else {
            failLocked(systemReason(n < 0 ? errno : ENOSPC));
            return false;
        }
    }
    queue_.clear();
    sent_ = 0;
    committed_ = count_.load(std::memory_order_relaxed);
    return true;
}

// The file refused bytes: the capture ends, the counter falls back to what reached the file,
// and the report waits for whoever shows it (the caller may be a worker, which shows nothing).
void CaptureFile::failLocked(const std::string& reason) {
    accepting_.store(false, std::memory_order_release);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    queue_.clear();
    sent_ = 0;
    count_.store(committed_, std::memory_order_relaxed);
    std::string report = "File Write Error。\n" + fullPath_ + "\n" + reason + "\nThe capture has been closed.";
    std::lock_guard<std::mutex> hold(failureLock_);
    failure_ = std::move(report);
    failed_.store(true, std::memory_order_release);
}

void CaptureFile::wakeFlusher() {
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
    (void)ignored;
}

// The capture's thread: the timed write-out, sooner when a stalled file takes bytes again,
// then the close.
void CaptureFile::run() {
    for (;;) {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, POLLOUT, 0}};
        int timeoutMs = static_cast<int>(kWriteOutIntervalMs);
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (closeRequested_ || fd_ < 0) break;
            if (queuedLocked() > 0) {
                timeoutMs = static_cast<int>(std::max<int64_t>(
                    1, kWriteOutIntervalMs - (nowMs() - lastWriteOutMs_)));
                // A regular file is always writable; a pipe or a device says when it is.
                if (!regular_) fds[1].fd = fd_;
            }
        }
        ::poll(fds, 2, timeoutMs);
        uint64_t wakeUps = 0;
        if (fds[0].revents & POLLIN) {
            ssize_t ignored = ::read(wakeFd_, &wakeUps, sizeof wakeUps);
            (void)ignored;
        }
        std::lock_guard<std::mutex> hold(lock_);
        if (closeRequested_ || fd_ < 0) break;
        const int64_t now = nowMs();
        if (queuedLocked() > 0 && (fds[1].revents != 0 || now - lastWriteOutMs_ >= kWriteOutIntervalMs)) {
            lastWriteOutMs_ = now;
            writeOutLocked();
        }
    }
    finishClose();
    closed_.store(true, std::memory_order_release);
}

// Writes out what is queued as the file takes it, then closes the file. Waits for a reader
// that is slow, as a capture must lose nothing it could deliver, but not for one that takes
// nothing once the program ends.
void CaptureFile::finishClose() {
    for (;;) {
        bool giveUp;
        int fd;
        {
            std::lock_guard<std::mutex> hold(lock_);
            accepting_.store(false, std::memory_order_release);
            if (fd_ < 0) return;
            if (!writeOutLocked()) return;
            if (queuedLocked() == 0) {
                const int closed = ::close(fd_);
                const int error = errno;
                fd_ = -1;
                // Some file systems report a failed write only at close.
                if (closed != 0 && error != EINTR) failLocked(systemReason(error));
                return;
            }
            giveUp = giveUpWhenStalled_;
            fd = fd_;  // nobody else touches it once the capture takes no bytes
        }
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd, POLLOUT, 0}};
        const int ready = ::poll(fds, 2, giveUp ? kStalledAtExitMs : -1);
        if (fds[0].revents & POLLIN) {
            uint64_t wakeUps = 0;
            ssize_t ignored = ::read(wakeFd_, &wakeUps, sizeof wakeUps);
            (void)ignored;
        }
        if (ready == 0 && giveUp) {
            std::lock_guard<std::mutex> hold(lock_);
            failLocked(std::to_string(queuedLocked()) +
                       " captured bytes were lost: nothing took them when the program ended");
            return;
        }
    }
}

void CaptureFile::requestClose() {
    accepting_.store(false, std::memory_order_release);
    {
        std::lock_guard<std::mutex> hold(lock_);
        closeRequested_ = true;
    }
    wakeFlusher();
}

bool CaptureFile::close() {
    requestClose();
    if (flusher_.joinable()) flusher_.join();
    return !failed_.load(std::memory_order_acquire);
}

bool CaptureFile::closeAtExit() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        giveUpWhenStalled_ = true;
    }
    return close();
}

std::string CaptureFile::name() const {
    std::lock_guard<std::mutex> hold(lock_);
    return name_;
}

std::string CaptureFile::takeFailure() {
    if (!failed_.exchange(false, std::memory_order_acquire)) return {};
    std::lock_guard<std::mutex> hold(failureLock_);
    std::string report = std::move(failure_);
    failure_.clear();
    return report;
}

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
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace {

// Small amounts still reach the file within this time of their capture.
constexpr int64_t kWriteOutIntervalMs = 1000;
// How long a writer waits at a time for a pipe or device that takes nothing.
constexpr int kPipeWaitMs = 1000;

// What the queue keeps in front of each chunk's bytes.
struct EntryHeader {
    uint32_t length;
    uint32_t stampLength;
    int32_t tag;
    int32_t unused;
    int64_t counted;
    int64_t wallMicros;
    int64_t monotonicMicros;
};

}  // namespace

// One opened file and its writer. Shared by the capture and the writer thread, so that a writer
// caught in the kernel by a stalled disk may outlive the capture (and the program's objects)
// without touching anything freed.
struct CaptureFile::Session {
    ~Session() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
    // Wakes the writer, whether it waits for chunks or for a pipe to take bytes.
    void wake() {
        writerWake.notify_all();
        const uint64_t one = 1;
        ssize_t ignored = ::write(wakeFd, &one, sizeof one);
        (void)ignored;
    }

    // Set at open, then read-only.
    int fd = -1;  // the writer's alone; it closes it
    bool regular = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string path;
    std::unique_ptr<CaptureFormat> format;  // the writer's alone
    int wakeFd = -1;
    size_t writeOutSize = 0;

    std::atomic<int64_t> count{0};  // byteCount

    std::mutex lock;  // everything below
    std::condition_variable writerWake, finished;
    std::string incoming;  // EntryHeader and bytes, chunk after chunk
    int64_t incomingCounted = 0, inFlightCounted = 0, peak = 0;
    bool writing = false;        // the writer is writing out a batch
    int64_t lastProgressMs = 0;  // when the file last took bytes, or the batch began
    int64_t written = 0;         // counted bytes known to be in the file
    bool closeRequested = false;
    bool givenUp = false;    // the writer drops what it holds and ends
    bool abandoned = false;  // nobody waits for the writer any more (the program ends)
    bool done = false;       // the file is closed and the writer has ended
    CaptureFailure failure;
    bool failureTaken = false;
};

int64_t CaptureFile::nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

CaptureFile::CaptureFile(std::function<std::unique_ptr<CaptureFormat>()> newFormat, size_t writeOutSize,
                         int64_t queueLimit)
    : newFormat_(std::move(newFormat)), writeOutSize_(writeOutSize), queueLimit_(queueLimit) {}

CaptureFile::~CaptureFile() { closeAtExit(); }

bool CaptureFile::open(const std::string& fullPath, const std::function<int(dev_t, ino_t)>& heldBy,
                       CaptureOpenFailure& failure) {
    // One file at a time: a capture still open is finished before the new file is opened, so
    // its bytes cannot land in the new file.
    close();
    failure = {};
    // Non-blocking for good: opening never waits, and a writer that finds a pipe full waits in
    // poll, where the end of the program can wake it.
    const int fd = ::open(fullPath.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        failure.error = errno;
        return false;
    }
    const auto refuse = [&](int error, int holder) {
        failure.error = error;
        failure.heldBy = holder;
        ::close(fd);
        return false;
    };
    struct stat info {};
    if (::fstat(fd, &info) != 0) return refuse(errno, 0);
    // Two captures in one file destroy each other; checked before the file is emptied. A
    // device such as /dev/null takes any number of writers.
    if (!S_ISCHR(info.st_mode) && heldBy) {
        if (const int holder = heldBy(info.st_dev, info.st_ino); holder != 0) return refuse(0, holder);
    }
    if (S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) return refuse(errno, 0);

    auto session = std::make_shared<Session>();
    session->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (session->wakeFd < 0) return refuse(errno, 0);
    session->fd = fd;
    session->regular = S_ISREG(info.st_mode);
    session->device = info.st_dev;
    session->inode = info.st_ino;
    session->path = fullPath;
    session->format = newFormat_();
    session->writeOutSize = writeOutSize_;
    try {
        writer_ = std::thread(writerRun, session);
        pthread_setname_np(writer_.native_handle(), "vx-capture");
    } catch (const std::system_error& error) {
        session->fd = -1;
        return refuse(error.code().value(), 0);
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        session_ = std::move(session);
    }
    accepting_.store(true, std::memory_order_release);
    return true;
}

void CaptureFile::append(const uint8_t* bytes, size_t length, uint32_t stampLength, int32_t tag,
                         int64_t counted, const ReadTime* readTime) {
    if (bytes == nullptr || length == 0) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (!accepting() || !session_) return;
    Session& s = *session_;
    std::lock_guard<std::mutex> holdSession(s.lock);
    if (s.givenUp) {
        // The writer met a write the file refused: the capture has ended.
        accepting_.store(false, std::memory_order_release);
        return;
    }
    const int64_t queued = s.incomingCounted + s.inFlightCounted;
    if (queued + counted > queueLimit_) {
        // The file has not kept up for a long while: this capture ends, the relay goes on.
        accepting_.store(false, std::memory_order_release);
        giveUp(s, CaptureFailure::Kind::FellBehind);
        return;
    }
    EntryHeader header{static_cast<uint32_t>(length), std::min<uint32_t>(stampLength, static_cast<uint32_t>(length)),
                       tag, 0, counted, 0, 0};
    if (readTime != nullptr) {
        header.wallMicros = readTime->wallMicros;
        header.monotonicMicros = readTime->monotonicMicros;
    }
    const size_t before = s.incoming.size();
    s.incoming.append(reinterpret_cast<const char*>(&header), sizeof header);
    s.incoming.append(reinterpret_cast<const char*>(bytes), length);
    s.incomingCounted += counted;
    s.peak = std::max(s.peak, queued + counted);
    s.count.fetch_add(counted, std::memory_order_relaxed);
    // Woken once when a write-out's worth has gathered; less waits for the writer's timed look.
    if (before < s.writeOutSize && s.incoming.size() >= s.writeOutSize) s.writerWake.notify_one();
}

// Under the session's lock: the capture ends for `kind`, keeping the first reason; what waits
// is dropped, and the writer ends as soon as the file lets it.
void CaptureFile::giveUp(Session& s, CaptureFailure::Kind kind) {
    if (!s.failure) {
        s.failure.kind = kind;
        s.failure.path = s.path;
        s.failure.stalledSeconds = s.writing ? std::max<int64_t>(0, nowMs() - s.lastProgressMs) / 1000 : 0;
        s.failure.bytesNotWritten = s.incomingCounted + s.inFlightCounted;
    }
    s.count.store(s.written, std::memory_order_relaxed);
    s.givenUp = true;
    s.incoming.clear();
    s.incomingCounted = 0;
    s.wake();
}

void CaptureFile::writerRun(const std::shared_ptr<Session>& session) {
    Session& s = *session;
    std::string batch, out;
    std::vector<std::pair<size_t, int64_t>> ends;  // each chunk's end in `out`, counted bytes so far
    off_t fileBytes = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(s.lock);
            s.writerWake.wait_for(hold, std::chrono::milliseconds(kWriteOutIntervalMs), [&] {
                return s.givenUp || s.closeRequested || s.incoming.size() >= s.writeOutSize;
            });
            if (s.givenUp) break;
            if (s.incoming.empty()) {
                if (s.closeRequested) break;
                continue;
            }
            batch.swap(s.incoming);
            s.incoming.clear();
            s.inFlightCounted = s.incomingCounted;
            s.incomingCounted = 0;
            s.writing = true;
            s.lastProgressMs = nowMs();
        }

        // Formatting here, not in the workers: the queue's bound counts captured bytes, and the
        // relay pays only for a copy.
        out.clear();
        ends.clear();
        int64_t counted = 0;
        for (size_t at = 0; at + sizeof(EntryHeader) <= batch.size();) {
            EntryHeader header;
            std::memcpy(&header, batch.data() + at, sizeof header);
            at += sizeof header;
            const QueuedChunk chunk{reinterpret_cast<const uint8_t*>(batch.data() + at), header.length,
                                    header.stampLength, header.tag, header.wallMicros, header.monotonicMicros};
            s.format->format(chunk, out);
            at += header.length;
            counted += header.counted;
            ends.emplace_back(out.size(), counted);
        }

        size_t done = 0;
        int error = 0;
        bool stop = false;
        while (done < out.size() && !stop) {
            const ssize_t n = ::write(s.fd, out.data() + done, out.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                std::lock_guard<std::mutex> hold(s.lock);
                s.lastProgressMs = nowMs();
                stop = s.givenUp;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                // A pipe or device that takes nothing now: wait for room or for the end.
                pollfd fds[2] = {{s.fd, POLLOUT, 0}, {s.wakeFd, POLLIN, 0}};
                ::poll(fds, 2, kPipeWaitMs);
                uint64_t wakeUps = 0;
                ssize_t ignored = ::read(s.wakeFd, &wakeUps, sizeof wakeUps);
                (void)ignored;
                std::lock_guard<std::mutex> hold(s.lock);
                stop = s.givenUp;
            } else {
                error = n < 0 ? errno : ENOSPC;
                break;
            }
        }

        // The whole chunks that reached the file; with records, the file is cut back to them,
        // so that it never ends in the middle of one.
        size_t whole = 0;
        int64_t reached = 0;
        for (const auto& [end, countedSoFar] : ends) {
            if (end > done) break;
            whole = end;
            reached = countedSoFar;
        }
        if (error != 0 && s.regular && s.format->wholeRecords() && whole < done) {
            if (::ftruncate(s.fd, fileBytes + static_cast<off_t>(whole)) == 0) done = whole;
        }
        fileBytes += static_cast<off_t>(done);

        std::lock_guard<std::mutex> hold(s.lock);
        s.written += reached;
        s.writing = false;
        if (error != 0) {
            if (!s.failure) {
                s.failure.kind = CaptureFailure::Kind::WriteRefused;
                s.failure.path = s.path;
                s.failure.error = error;
                s.failure.bytesNotWritten = s.inFlightCounted - reached + s.incomingCounted;
            }
            s.inFlightCounted = 0;
            giveUp(s, CaptureFailure::Kind::WriteRefused);
            break;
        }
        s.inFlightCounted = 0;
        if (s.givenUp) break;
    }
    finishSession(s);
}

void CaptureFile::finishSession(Session& s) {
    const int closed = ::close(s.fd);
    const int error = errno;
    std::lock_guard<std::mutex> hold(s.lock);
    // Some file systems report a failed write only at close.
    if (closed != 0 && error != EINTR && !s.failure) {
        s.failure.kind = CaptureFailure::Kind::WriteRefused;
        s.failure.path = s.path;
        s.failure.error = error;
        s.count.store(s.written, std::memory_order_relaxed);
    }
    s.done = true;
    s.finished.notify_all();
}

void CaptureFile::requestClose() {
    accepting_.store(false, std::memory_order_release);
    std::lock_guard<std::mutex> hold(lock_);
    if (!session_) return;
    std::lock_guard<std::mutex> holdSession(session_->lock);
    session_->closeRequested = true;
    session_->wake();
}

bool CaptureFile::closed() const {
    std::lock_guard<std::mutex> hold(lock_);
    if (!session_) return true;
    std::lock_guard<std::mutex> holdSession(session_->lock);
    return session_->done || session_->abandoned;
}

bool CaptureFile::closeBy(int64_t deadlineMs) {
    requestClose();
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> hold(lock_);
        session = session_;
    }
    if (!session) return true;
    Session& s = *session;
    std::unique_lock<std::mutex> hold(s.lock);
    const auto finishedOrAbandoned = [&] { return s.done || s.abandoned; };
    if (deadlineMs == INT64_MAX) {
        s.finished.wait(hold, finishedOrAbandoned);
    } else if (!s.finished.wait_for(hold, std::chrono::milliseconds(std::max<int64_t>(0, deadlineMs - nowMs())),
                                    finishedOrAbandoned)) {
        giveUp(s, CaptureFailure::Kind::UnwrittenAtExit);
        s.abandoned = true;
    }
    const bool lost = s.failure && !s.failureTaken;
    const bool done = s.done;
    hold.unlock();
    if (writer_.joinable()) {
        // A done writer is only returning; one caught by its disk is left behind, holding
        // nothing but its own session.
        if (done) {
            writer_.join();
        } else {
            writer_.detach();
        }
    }
    return !lost;
}

bool CaptureFile::close() { return closeBy(INT64_MAX); }

bool CaptureFile::closeAtExit() { return closeBy(nowMs() + kExitWaitMs); }

bool CaptureFile::writes(dev_t device, ino_t inode) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (!session_ || session_->device != device || session_->inode != inode) return false;
    std::lock_guard<std::mutex> holdSession(session_->lock);
    return !session_->done && !session_->abandoned;
}

std::string CaptureFile::name() const {
    std::lock_guard<std::mutex> hold(lock_);
    if (!session_) return {};
    const size_t slash = session_->path.find_last_of('/');
    return slash == std::string::npos ? session_->path : session_->path.substr(slash + 1);
}

int64_t CaptureFile::byteCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return session_ ? session_->count.load(std::memory_order_relaxed) : 0;
}

int64_t CaptureFile::peakQueued() const {
    std::lock_guard<std::mutex> hold(lock_);
    if (!session_) return 0;
    std::lock_guard<std::mutex> holdSession(session_->lock);
    return session_->peak;
}

CaptureFailure CaptureFile::takeFailure() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!session_) return {};
    std::lock_guard<std::mutex> holdSession(session_->lock);
    if (!session_->failure || session_->failureTaken) return {};
    session_->failureTaken = true;
    return session_->failure;
}

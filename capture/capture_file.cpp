#include "capture/capture_file.h"

#include <pthread.h>

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

// What an entry of the queue is: a chunk, or the place where the file is reopened.
enum EntryKind : int32_t { kChunk = 0, kReopen = 1 };

// What the queue keeps in front of each chunk's bytes; a reopen is a header alone.
struct EntryHeader {
    uint32_t length;
    uint32_t stampLength;
    int32_t tag;
    int32_t kind;
    int64_t counted;
    int64_t wallMicros;
    int64_t monotonicMicros;
};

}  // namespace

// One opened file and its writer. Shared by the capture and the writer thread, so that a writer
// caught in the kernel by a stalled disk may outlive the capture (and the program's objects)
// without touching anything freed.
struct CaptureFile::Session {
    // Wakes the writer, whether it waits for chunks or for a pipe to take bytes.
    void wake() {
        writerWake.notify_all();
        pipeWake.signal();
    }

    // Set at open, then read-only but for a reopen, where the writer changes them.
    CaptureStream file;           // the writer's alone; it closes it
    FileIdentity identity;        // under `lock` once the writer runs
    std::string path;
    std::unique_ptr<CaptureFormat> format;  // the writer's alone
    CaptureWake pipeWake;
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
    bool reopenQueued = false;       // a reopen waits in `incoming`: the writer comes at once
    size_t reopenQueuedAt = 0;       // where in `incoming` the last one waiting ends
    std::optional<int> reopenResult;  // the last reopen the writer did, until taken
};

int64_t CaptureFile::nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

CaptureFile::CaptureFile(std::function<std::unique_ptr<CaptureFormat>()> newFormat, size_t writeOutSize,
                         int64_t queueLimit)
    : newFormat_(std::move(newFormat)), writeOutSize_(writeOutSize), queueLimit_(queueLimit) {}

CaptureFile::~CaptureFile() { closeAtExit(); }

bool CaptureFile::open(const std::string& fullPath, const std::function<int(const FileIdentity&)>& heldBy,
                       CaptureOpenFailure& failure, CaptureOpenMode mode) {
    // One file at a time: a capture still open is finished before the new file is opened, so
    // its bytes cannot land in the new file.
    close();
    failure = {};
    auto session = std::make_shared<Session>();
    CaptureStream& file = session->file;
    if (const int error = file.open(fullPath, mode == CaptureOpenMode::Append); error != 0) {
        failure.error = error;
        return false;
    }
    const auto refuse = [&](int error, int holder) {
        failure.error = error;
        failure.heldBy = holder;
        return false;
    };
    // Two captures in one file destroy each other; checked before the file is emptied. A
    // device such as /dev/null takes any number of writers.
    if (!file.device() && heldBy) {
        if (const int holder = heldBy(file.identity()); holder != 0) return refuse(0, holder);
    }
    if (mode == CaptureOpenMode::Empty) {
        if (const int error = file.empty(); error != 0) return refuse(error, 0);
    }
    if (const int error = session->pipeWake.error(); error != 0) return refuse(error, 0);
    session->identity = file.identity();
    session->path = fullPath;
    session->format = newFormat_();
    session->writeOutSize = writeOutSize_;
    try {
        writer_ = std::thread(writerRun, session);
        pthread_setname_np(writer_.native_handle(), "vx-capture");
    } catch (const std::system_error& error) {
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
                       tag, kChunk, counted, 0, 0};
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

void CaptureFile::reopen() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!accepting() || !session_) return;
    Session& s = *session_;
    std::lock_guard<std::mutex> holdSession(s.lock);
    if (s.givenUp) return;
    // Reopens asked for again and again while nothing came between them (a stalled file, a
    // burst of signals) are one: the queue's bound counts only bytes.
    if (s.reopenQueued && s.reopenQueuedAt == s.incoming.size()) return;
    // In the queue, under the lock that append takes: the writer reopens exactly between the
    // chunks appended before this call and those after it.
    const EntryHeader marker{0, 0, 0, kReopen, 0, 0, 0};
    s.incoming.append(reinterpret_cast<const char*>(&marker), sizeof marker);
    s.reopenQueued = true;
    s.reopenQueuedAt = s.incoming.size();
    s.writerWake.notify_one();
}

std::optional<int> CaptureFile::takeReopenResult() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!session_) return std::nullopt;
    std::lock_guard<std::mutex> holdSession(session_->lock);
    return std::exchange(session_->reopenResult, std::nullopt);
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
    for (bool ended = !beginFile(s), closing = false; !ended;) {
        batch.clear();
        {
            std::unique_lock<std::mutex> hold(s.lock);
            s.writerWake.wait_for(hold, std::chrono::milliseconds(kWriteOutIntervalMs), [&] {
                return s.givenUp || s.closeRequested || s.reopenQueued || s.incoming.size() >= s.writeOutSize;
            });
            if (s.givenUp) break;
            if (s.incoming.empty()) {
                closing = s.closeRequested;
                s.writing = true;
                s.lastProgressMs = nowMs();
            } else {
                batch.swap(s.incoming);
                s.incoming.clear();
                s.reopenQueued = false;
                s.inFlightCounted = s.incomingCounted;
                s.incomingCounted = 0;
                s.writing = true;
                s.lastProgressMs = nowMs();
            }
        }
        if (batch.empty()) {
            // Nothing came: what the format held back for later may be due now, or at the close.
            out.clear();
            if (closing) s.format->finish(out);
            else s.format->idle(ReadTime::now().wallMicros, out);
            ends.assign(1, {out.size(), 0});
            if (!out.empty()) ended = !writeOut(s, out, ends);
            std::lock_guard<std::mutex> hold(s.lock);
            s.writing = false;
            if (closing || s.givenUp) break;
            continue;
        }

        // The batch up to each reopen, then the reopen, then on. Formatting here, not in the
        // workers: the queue's bound counts captured bytes, and the relay pays only for a copy.
        for (size_t at = 0; at < batch.size() && !ended;) {
            out.clear();
            ends.clear();
            int64_t counted = 0;
            bool reopenHere = false;
            while (at + sizeof(EntryHeader) <= batch.size()) {
                EntryHeader header;
                std::memcpy(&header, batch.data() + at, sizeof header);
                at += sizeof header;
                if (header.kind == kReopen) {
                    reopenHere = true;
                    break;
                }
                const QueuedChunk chunk{reinterpret_cast<const uint8_t*>(batch.data() + at), header.length,
                                        header.stampLength, header.tag, header.wallMicros, header.monotonicMicros};
                s.format->format(chunk, out);
                at += header.length;
                counted += header.counted;
                ends.emplace_back(out.size(), counted);
            }
            ended = !writeOut(s, out, ends) || (reopenHere && !reopenFile(s));
        }

        std::lock_guard<std::mutex> hold(s.lock);
        s.writing = false;
        s.inFlightCounted = 0;
        if (s.givenUp) break;
    }
    finishSession(s);
}

// Writes one run of formatted chunks to the file; false when the capture has ended (the file
// refused a write, or the capture was given up meanwhile).
bool CaptureFile::writeOut(Session& s, const std::string& out, const std::vector<std::pair<size_t, int64_t>>& ends) {
    size_t done = 0;
    int error = 0;
    bool stop = false;
    while (done < out.size() && !stop) {
        const int64_t n = s.file.write(out.data() + done, out.size() - done, error);
        if (n > 0) {
            done += static_cast<size_t>(n);
            std::lock_guard<std::mutex> hold(s.lock);
            s.lastProgressMs = nowMs();
            stop = s.givenUp;
        } else if (n == 0) {
            // A pipe or device that takes nothing now: wait for room or for the end.
            s.file.waitWritable(s.pipeWake, kPipeWaitMs);
            std::lock_guard<std::mutex> hold(s.lock);
            stop = s.givenUp;
        } else {
            break;
        }
    }

    // The whole chunks that reached the file; with records, the file is cut back to them, so
    // that it never ends in the middle of one.
    size_t whole = 0;
    int64_t reached = 0;
    for (const auto& [end, countedSoFar] : ends) {
        if (end > done) break;
        whole = end;
        reached = countedSoFar;
    }
    if (error != 0 && s.file.regular() && s.format->wholeRecords() && whole < done && s.file.cutBack(done - whole) == 0) {
        done = whole;
    }

    std::lock_guard<std::mutex> hold(s.lock);
    s.written += reached;
    const int64_t inRun = ends.empty() ? 0 : ends.back().second;
    if (error != 0) {
        if (!s.failure) {
            s.failure.kind = CaptureFailure::Kind::WriteRefused;
            s.failure.path = s.path;
            s.failure.error = error;
            s.failure.bytesNotWritten = s.inFlightCounted - reached + s.incomingCounted;
        }
        s.inFlightCounted = 0;
        giveUp(s, CaptureFailure::Kind::WriteRefused);
        return false;
    }
    s.inFlightCounted -= inRun;
    return !s.givenUp;
}

// Writes what the format starts a file with; false when the capture has ended.
bool CaptureFile::beginFile(Session& s) {
    std::string out;
    s.format->begin(out);
    return out.empty() || writeOut(s, out, {{out.size(), 0}});
}

// Opens the capture's path again, in Append mode, and goes on in the new file; the old one is
// closed only once the new one is open, so that a path that cannot be opened (its folder gone,
// a FIFO without a reader) loses nothing: the old file goes on taking the bytes. false when the
// capture has ended.
bool CaptureFile::reopenFile(Session& s) {
    CaptureStream file;
    if (const int error = file.open(s.path, true); error != 0) {
        std::lock_guard<std::mutex> hold(s.lock);
        s.reopenResult = error;
        return !s.givenUp;
    }
    const int closeError = s.file.close();
    s.file = std::move(file);
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.identity = s.file.identity();
        s.reopenResult = 0;
        // Some file systems report a failed write only at close: the old file may lack bytes, which
        // ends the capture as a refused write does.
        if (closeError != 0) {
            if (!s.failure) {
                s.failure.kind = CaptureFailure::Kind::WriteRefused;
                s.failure.path = s.path;
                s.failure.error = closeError;
                s.failure.bytesNotWritten = s.inFlightCounted + s.incomingCounted;
            }
            giveUp(s, CaptureFailure::Kind::WriteRefused);
            return false;
        }
        if (s.givenUp) return false;
    }
    return beginFile(s);
}

void CaptureFile::finishSession(Session& s) {
    const int error = s.file.close();
    std::lock_guard<std::mutex> hold(s.lock);
    // Some file systems report a failed write only at close.
    if (error != 0 && !s.failure) {
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

bool CaptureFile::writes(const FileIdentity& identity) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (!session_) return false;
    // Under the session's lock: a reopen changes the file.
    std::lock_guard<std::mutex> holdSession(session_->lock);
    if (session_->identity != identity) return false;
    return !session_->done && !session_->abandoned;
}

std::string CaptureFile::name() const {
    std::lock_guard<std::mutex> hold(lock_);
    if (!session_) return {};
    const size_t slash = session_->path.find_last_of(kFolderSeparators);
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

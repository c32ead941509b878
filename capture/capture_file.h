// The file under a capture. Relay workers hand it chunks as they were read; a bounded queue keeps
// them until the capture's own writer thread formats them and writes them out. Nothing but that
// thread ever touches the file, so no worker and no UI action waits for it: a file on a disk that
// stalls (a hung network mount, a frozen file system, a pipe whose reader stopped) holds up only
// its own capture, which ends with a report once its queue is full. Shared by the captures of one
// direction and the combined capture of both.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/capture_stream.h"
#include "relay/read_order.h"

// Why a capture ended before it was closed, or could not write its tail at the end of the
// program; the shell words it.
struct CaptureFailure {
    enum class Kind { None, WriteRefused, FellBehind, UnwrittenAtExit };
    Kind kind = Kind::None;
    std::string path;             // as chosen
    int error = 0;                // WriteRefused: the system's errno
    int64_t stalledSeconds = 0;   // how long the file had taken nothing
    int64_t bytesNotWritten = 0;  // captured bytes that never reached the file
    explicit operator bool() const { return kind != Kind::None; }
};

// Why a capture could not be opened; the shell words it.
struct CaptureOpenFailure {
    int error = 0;   // the system's errno, or 0
    int heldBy = 0;  // the capture (1, 2, or 3 for the combined one) that already writes the file
};

// One chunk as a worker handed it, for the writer's format.
struct QueuedChunk {
    const uint8_t* bytes = nullptr;  // the stamp (stampLength bytes) first, then the chunk
    uint32_t length = 0;
    uint32_t stampLength = 0;
    int32_t tag = 0;                 // the format's: the CR/LF mode, or the direction
    int64_t wallMicros = 0;          // the read time, when the queue took it
    int64_t monotonicMicros = 0;
};

// How chunks become the file's bytes. One per opened file, used by its writer thread alone.
class CaptureFormat {
public:
    virtual ~CaptureFormat() = default;
    virtual void format(const QueuedChunk& chunk, std::string& out) = 0;
    // What every file starts with, before its first chunk: at its open and after each reopen
    // (a pcapng file appended to starts a new section).
    virtual void begin(std::string& /*out*/) {}
    // Each chunk is a record that a strict reader needs whole: after a failed write the file is
    // cut back to the end of the last whole one.
    virtual bool wholeRecords() const { return false; }
    // A format that holds text back until later chunks tell how it ends (a frame waiting for its
    // last byte) gives it here: `idle` when the writer has had nothing to write for a while
    // (`wallMicros` is now), `finish` once before the file closes.
    virtual void idle(int64_t /*wallMicros*/, std::string& /*out*/) {}
    virtual void finish(std::string& /*out*/) {}
};

// How open treats a file that exists: Empty starts it afresh (the window's LOG buttons), Append
// writes after what it holds and never empties it (a service restarted must keep what it
// captured before). Either creates a missing file.
enum class CaptureOpenMode { Empty, Append };

class CaptureFile {
public:
    // At least this many captured bytes wait for a file that stalls before its capture ends:
    // seconds even at the fastest line, minutes at common rates.
    static constexpr int64_t kQueueLimit = int64_t{4} << 20;
    // How long the end of the program waits for the captures' files, all of them together.
    static constexpr int64_t kExitWaitMs = 1000;

    // newFormat makes the format of each opened file; writeOutSize is how many captured bytes
    // gather before the writer is woken rather than at its once-a-second look.
    CaptureFile(std::function<std::unique_ptr<CaptureFormat>()> newFormat, size_t writeOutSize,
                int64_t queueLimit = kQueueLimit);
    // As closeAtExit.
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Opens fullPath for writing without ever waiting (a FIFO nobody reads is refused, a terminal
    // does not wait for its carrier); in Empty mode a regular file is emptied. heldBy tells which
    // other capture already writes a file (by its identity): that file is refused untouched.
    // A capture still open is closed first. true when open.
    bool open(const std::string& fullPath, const std::function<int(const FileIdentity&)>& heldBy,
              CaptureOpenFailure& failure, CaptureOpenMode mode = CaptureOpenMode::Empty);
    // Takes one chunk (stamp first) for the file in bounded time; `counted` is what it adds to
    // byteCount and to the queue's fill; readTime, when given, goes with it to the format. Once
    // the queue holds
    // queueLimit bytes the capture ends (FellBehind). Nothing once the capture takes no bytes.
    void append(const uint8_t* bytes, size_t length, uint32_t stampLength, int32_t tag,
                int64_t counted, const ReadTime* readTime = nullptr);
    bool accepting() const { return accepting_.load(std::memory_order_acquire); }

    // Closes the file and opens its path again at this point of the stream: every byte appended
    // before the call goes to the old file, every byte after it to the new one. Done by the
    // writer thread (the caller never waits); the new file is opened in Append mode, created
    // when missing, by open's rules. A reopen that fails keeps writing the old file (nothing
    // lost) and reports; the next one tries again. Nothing while the capture takes no bytes.
    void reopen();
    // The outcome of the last reopen once the writer did it: 0 reopened, else errno; handed out
    // once.
    std::optional<int> takeReopenResult();

    // Stops taking bytes at once; the writer writes out what is queued and closes the file.
    void requestClose();
    // The file is closed and its writer has ended, or was given up at the end of the program;
    // also before the first open.
    bool closed() const;
    // requestClose and wait until closed. false when bytes were lost (the report waits).
    bool close();
    // For the end of the program: requestClose, then wait until `deadline` (steady clock, ms)
    // at most. A writer not done by then is given up: it drops what it still holds, closes the
    // file once the system lets it, and the report (UnwrittenAtExit) waits. false when bytes
    // were lost.
    bool closeBy(int64_t deadlineMs);
    bool closeAtExit();

    // Whether this capture still writes that file (open, or finishing after its close).
    bool writes(const FileIdentity& identity) const;
    // The chosen file's name without its folder.
    std::string name() const;
    // Counted bytes handed to the file since it was opened, across its reopens; after a failure,
    // the counted bytes known to have reached it.
    int64_t byteCount() const;
    // The most counted bytes the queue has held since the file was opened.
    int64_t peakQueued() const;
    // The failure that ended the capture, handed out once.
    CaptureFailure takeFailure();

    static int64_t nowMs();

private:
    struct Session;
    static void writerRun(const std::shared_ptr<Session>& session);
    static bool writeOut(Session& session, const std::string& out,
                         const std::vector<std::pair<size_t, int64_t>>& ends);
    static bool reopenFile(Session& session);
    static bool beginFile(Session& session);
    static void finishSession(Session& session);
    static void giveUp(Session& session, CaptureFailure::Kind kind);

    const std::function<std::unique_ptr<CaptureFormat>()> newFormat_;
    const size_t writeOutSize_;
    const int64_t queueLimit_;
    mutable std::mutex lock_;  // session_ and the queue's side of it
    std::shared_ptr<Session> session_;
    // The session's writer: joined once it is done, so that nothing of it outlives the close;
    // left behind only when the end of the program gives it up. Touched only by the caller of
    // open and close.
    std::thread writer_;
    std::atomic<bool> accepting_{false};
};

// Both directions of the relay in one text file: one record per chunk, in the order the chunks
// were read from their ports, with the time of each read and the gap since the one before.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

// One record, with its line end, appended to `out`:
//   2026-12-07 14:03:27.123456 +0.004211 1>2  16  2A 49 44 ...  |*ID...|
// `local` and `micros` are the read time, `gapMicros` the time since the previous record (0 for
// the first), `channel` 1 (port 1 to port 2) or 2. Every byte appears in both columns: the hex
// as two upper-case digits, the text as itself when printable ASCII, else '.'.
void appendCombinedRecord(std::string& out, const std::tm& local, int32_t micros,
                          int64_t gapMicros, int channel, const uint8_t* bytes, size_t length);

class CombinedLog {
public:
    CombinedLog();
    ~CombinedLog();
    CombinedLog(const CombinedLog&) = delete;
    CombinedLog& operator=(const CombinedLog&) = delete;

    // Opens fullPath for writing (an existing file is emptied; a FIFO without a reader is
    // refused rather than waited for) and enables the capture. 0 when open, else the errno.
    int open(const std::string& fullPath);
    // Called by a worker right after its read returned: takes the one lock, the read time and
    // appends the record, so that the file's order is the order of the read times. A write the
    // file refuses ends the capture and leaves a report (takeFailure); the relay goes on.
    void write(int channel, const uint8_t* chunk, size_t length);
    // Disables the capture and closes the file after writing out what it holds. false when
    // bytes were lost on the way (the report waits in takeFailure).
    bool close();
    // For the log window's timer: writes out buffered records once the last write-out is a
    // second old, so that a quiet line still reaches the disk. Never waits for a busy worker.
    void flushIfDue();

    bool enabled() const { return enabled_.load(std::memory_order_acquire) != 0; }
    // The chosen file's name without its folder.
    std::string name() const;
    // Chunk bytes of both directions handed to the file since it was opened; after a failed
    // write, the bytes known to have reached it.
    int64_t byteCount() const { return count_.load(std::memory_order_relaxed); }
    // The report of the failure that ended the capture, handed out once; "" when none.
    std::string takeFailure();

private:
    bool flushLocked();
    void failLocked(int error);

    std::atomic<int32_t> enabled_{0};
    mutable std::mutex lock_;  // the file, the buffer and the clock state, for both workers
    int fd_ = -1;
    std::string fullPath_, name_;
    std::string buffer_;       // records not yet written to the file
    int64_t bufferedBytes_ = 0;  // chunk bytes whose records are in buffer_
    int64_t committed_ = 0;      // chunk bytes whose records reached the file
    bool first_ = true;
    int64_t lastMonotonicUs_ = 0;
    int64_t lastFlushUs_ = 0;
    std::time_t cachedSecond_ = -1;  // the wall second whose local time is in cachedLocal_
    std::tm cachedLocal_{};
    std::atomic<int64_t> count_{0};

    std::atomic<int32_t> failed_{0};
    std::mutex failureLock_;  // never held around file work
    std::string failure_;
};

// The program's combined capture, fed by both relay workers.
extern CombinedLog combinedCapture;

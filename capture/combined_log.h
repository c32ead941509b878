// Both directions of the relay in one text file: one record per chunk, in the order the chunks
// were read from their ports, with the time of each read and the gap since the one before.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#include "capture/capture_file.h"

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
    // appends the record, so that the file's order is the order of the read times. Never waits
    // for the file. A write the file refuses ends the capture and leaves a report
    // (takeFailure); the relay goes on.
    void write(int channel, const uint8_t* chunk, size_t length);
    // As CaptureFile's: the capture's own thread writes out the records and closes the file.
    void requestClose() { file_.requestClose(); }
    bool closed() const { return file_.closed(); }
    bool close() { return file_.close(); }
    bool closeAtExit() { return file_.closeAtExit(); }

    bool enabled() const { return file_.accepting(); }
    // The chosen file's name without its folder.
    std::string name() const { return file_.name(); }
    // Chunk bytes of both directions handed to the file since it was opened; after a failed
    // write, the bytes known to have reached it.
    int64_t byteCount() const { return file_.byteCount(); }
    // The report of the failure that ended the capture, handed out once; "" when none.
    std::string takeFailure() { return file_.takeFailure(); }

private:
    CaptureFile file_;
    std::mutex lock_;  // the clock state and the record being made, for both workers
    std::string record_;
    bool first_ = true;
    int64_t lastMonotonicUs_ = 0;
    std::time_t cachedSecond_ = -1;  // the wall second whose local time is in cachedLocal_
    std::tm cachedLocal_{};
};

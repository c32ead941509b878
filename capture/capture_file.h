// The file under a capture: what the relay workers hand it waits in memory until the file takes
// it, so that no worker ever waits for the file (a pipe whose reader has stalled, a slow
// device), and a thread of the capture's own does the timed write-out and the close, so that
// the UI thread never waits for it either. Shared by the captures of one direction and the
// combined capture of both.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class CaptureFile {
public:
    // writeOutSize: how much gathers in memory before it goes to the file without waiting for
    // the timed write-out.
    explicit CaptureFile(size_t writeOutSize);
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Opens fullPath for writing without ever waiting (a FIFO nobody reads is refused, a
    // terminal does not wait for its carrier); only a regular file is emptied. A capture still
    // open is closed first. 0 when open, else the errno.
    int open(const std::string& fullPath);
    // Takes bytes for the file; `counted` is what they add to byteCount. Never waits for the
    // file: what it does not take at once stays queued. A write the file refuses ends the
    // capture and leaves a report (takeFailure). Does nothing once the capture no longer takes
    // bytes.
    void append(const void* data, size_t length, int64_t counted);
    bool accepting() const { return accepting_.load(std::memory_order_acquire); }

    // Stops taking bytes at once; the capture's thread writes out what is queued, as the reader
    // takes it, and closes the file. Returns at once.
    void requestClose();
    // The file is closed and the capture's thread has ended (also before the first open).
    bool closed() const { return closed_.load(std::memory_order_acquire); }
    // requestClose and wait until closed. false when bytes were lost (the report waits).
    bool close();
    // For the end of the program: as close, but what a reader leaves untaken for a second
    // (it has stalled or never reads) is given up, so that the program always ends.
    bool closeAtExit();

    // The chosen file's name without its folder.
    std::string name() const;
    // Counted bytes handed to the file since it was opened; after a failed write, the counted
    // bytes known to have reached it.
    int64_t byteCount() const { return count_.load(std::memory_order_relaxed); }
    // The report of the failure that ended the capture, handed out once; "" when none.
    std::string takeFailure();

private:
    void run();
    void finishClose();
    void wakeFlusher();
    bool writeOutLocked();
    void failLocked(const std::string& reason);
    size_t queuedLocked() const { return queue_.size() - sent_; }

    const size_t writeOutSize_;
    mutable std::mutex lock_;  // everything below but the atomics and the failure report
    int fd_ = -1;
    bool regular_ = false;
    std::string fullPath_, name_;
    std::string queue_;        // bytes not yet taken by the file, from sent_ on
    size_t sent_ = 0;
    int64_t committed_ = 0;    // the counter when the queue last ran empty
    int64_t lastWriteOutMs_ = 0;
    bool closeRequested_ = false;
    bool giveUpWhenStalled_ = false;
    std::atomic<bool> accepting_{false};
    std::atomic<int64_t> count_{0};

    int wakeFd_ = -1;  // an eventfd: a close request or the end of the program
    std::thread flusher_;
    std::atomic<bool> closed_{true};

    std::atomic<bool> failed_{false};
    std::mutex failureLock_;  // never held around file work
    std::string failure_;
};

// The text of a failed open: the system's reason, and for a FIFO nobody reads, why.
std::string captureOpenReason(int error, const std::string& fullPath);

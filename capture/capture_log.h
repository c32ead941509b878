// Capture of one direction into a log file of the user's choice, and the combined capture of
// both: the captures the application owns beside its relay.
#pragma once

#include <cstdint>
#include <string>

#include "capture/capture_file.h"
#include "capture/combined_log.h"

struct AppOptions;
struct Relay;
struct RelayChannel;

class Captures {
public:
    // The relay whose channels' logs these are; it outlives the captures.
    explicit Captures(Relay& relay);
    Captures(const Captures&) = delete;
    Captures& operator=(const Captures&) = delete;

    // Opens fullPath for binary writing (an existing regular file is emptied; a FIFO needs a
    // reader already) and enables the channel's log; never waits for a reader. 1 when open; 0 when
    // not, with the system's reason in *failure for the one who asked to tell the user.
    int openCaptureLog(int channel, const std::string& fullPath, std::string* failure = nullptr);
    // Called by the worker (through the channel's capture sink) for every block while logEnabled is
    // 1; never waits for the file (what it cannot take yet waits in memory), and the capture's own
    // thread writes out what waits once a second. Every byte goes into the file except those the
    // CRLF option removes. A write the file refuses ends the capture and leaves a report for the log
    // window (takeCaptureFailure); this thread never shows a box.
    void writeCaptureLog(RelayChannel& channel, const uint8_t* block, int32_t length,
                         int32_t logStampLength);
    // Disables the channel's log and closes its file, waiting until it is closed; nothing captured
    // is lost. A last flush that fails leaves a report, as a failed write does.
    void closeCaptureLog(int channel);
    // The same for the UI thread, which must never wait on file work: the log is disabled at once
    // and the capture's own thread writes out and closes the file; captureLogClosed tells when.
    void requestCaptureLogClose(int channel);
    bool captureLogClosed(int channel);

    // For the shell's shutdown (END, Esc, close box, SIGTERM): flushes and closes every open log,
    // the combined capture of both directions included. What a reader leaves untaken for a second
    // (it has stalled or never reads) is given up, so that the program always ends.
    // Returns how many logs could not be written out completely; their reasons go to stderr.
    int closeAllCaptureLogs();

    // The report of the write that ended the channel's capture ("File Write Error。", the file and
    // the system's reason), handed out once; "" when there is none.
    std::string takeCaptureFailure(int channel);

    // Received bytes handed to the file since the log was opened, stamps excluded: the log window's
    // counter. After a failed write it falls back to the bytes known to have reached the file.
    // 64 bits, so that a capture of days does not wrap.
    int64_t captureByteCount(int channel);

    // Both directions in one file, fed by both relay workers.
    CombinedLog combinedCapture;

private:
    // What gathers before it goes to the file without waiting for the timed write-out.
    static constexpr size_t kWriteOutSize = 16384;

    CaptureFile& fileOf(int channel);
    RelayChannel& relayChannel(int number);

    Relay& relay_;
    const AppOptions& appOptions;
    CaptureFile captureFiles[2] = {CaptureFile(kWriteOutSize), CaptureFile(kWriteOutSize)};
};

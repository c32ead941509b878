// Capture of one direction into a log file of the user's choice, and the combined capture of
// both: the captures the application owns beside its relay.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_file.h"
#include "capture/combined_log.h"
#include "capture/frame_log.h"
#include "capture/pcap_capture.h"
#include "capture/pcap_server.h"

struct AppOptions;
struct Relay;
struct RelayChannel;

// One direction's capture log: its file and the state the worker reads for every chunk.
struct CaptureLog {
    CaptureLog();
    CaptureFile file;
    // 1 while the log is open and the worker must hand it every chunk; set last by the opener,
    // cleared first by every close and by a file that fell behind.
    std::atomic<int32_t> logEnabled{0};
    std::string logName;  // the chosen file's name without its folder, kept whole
};

class Captures {
public:
    // The relay whose options (the CR/LF mode of the moment) the captures follow; it outlives them.
    explicit Captures(Relay& relay);
    Captures(const Captures&) = delete;
    Captures& operator=(const Captures&) = delete;

    // Opens fullPath for binary writing (in Empty mode an existing regular file is emptied, in
    // Append mode written after; a FIFO needs a reader already) and enables the channel's log;
    // never waits for a reader. A file that another capture writes already is refused
    // untouched. 1 when open; 0 when not, with why in *failure for the one who asked to tell
    // the user.
    int openCaptureLog(int channel, const std::string& fullPath, CaptureOpenFailure* failure = nullptr,
                       CaptureOpenMode mode = CaptureOpenMode::Empty);
    // The same for the combined capture of both directions.
    int openCombinedCapture(const std::string& fullPath, CaptureOpenFailure* failure = nullptr,
                            CaptureOpenMode mode = CaptureOpenMode::Empty);
    // Channel 1's or 2's capture log.
    CaptureLog& captureLog(int channel);
    const CaptureLog& captureLog(int channel) const;

    // Called by the worker (through the channel's capture sink) for every block while logEnabled is
    // 1: a copy into the capture's bounded queue, never a wait for the file. Every byte goes into
    // the file except those the CRLF option (as it is now) removes. A capture whose file stalls
    // until its queue is full ends and leaves a report (takeCaptureFailure); this thread never
    // shows a box.
    void writeCaptureLog(RelayChannel& channel, const uint8_t* block, int32_t length,
                         int32_t logStampLength);
    // Disables the channel's log and closes its file, waiting until it is closed; nothing captured
    // is lost. A last write that fails leaves a report, as a failed write does.
    void closeCaptureLog(int channel);
    // The same for the UI thread, which must never wait on file work: the log is disabled at once
    // and the capture's writer writes out and closes the file; captureLogClosed tells when.
    void requestCaptureLogClose(int channel);
    bool captureLogClosed(int channel);

    // For the shell's shutdown (END, Esc, close box, SIGTERM): every capture, the combined one
    // included, writes out what it holds and closes, all within a second together; a writer
    // held up by its disk longer is left behind. Returns the reports of the captures that lost
    // bytes (1, 2, 3 for the combined one, 4 for the frame log, 5 for the pcapng file), for
    // the shell to tell.
    std::vector<std::pair<int, CaptureFailure>> closeAllCaptureLogs();

    // For a rotation (logrotate renames the files, then signals): every open capture (1 to 5)
    // closes its file and opens its path again at this point of its stream, creating the file
    // when it was moved away. The writers do it; this never waits for a file.
    void reopenAllCaptures();
    // The outcomes of the reopens the writers have done since the last call: (capture 1 to 5,
    // 0 when reopened or the errno when the path could not be opened, and the old file goes on).
    std::vector<std::pair<int, int>> takeReopenResults();

    // The report of the failure that ended the channel's capture, handed out once.
    CaptureFailure takeCaptureFailure(int channel);

    // Received bytes handed to the file since the log was opened, stamps excluded: the log window's
    // counter. After a failure it falls back to the bytes known to have reached the file.
    // 64 bits, so that a capture of days does not wrap.
    int64_t captureByteCount(int channel);
    // The most captured bytes the channel's queue has held since its file was opened.
    int64_t capturePeakQueued(int channel);

    // Both directions in one file, fed by both relay workers.
    CombinedLog combinedCapture;
    // The frame log: both directions' frames as frame lines, by the protocol chosen in
    // frameDecoding before it opens (capture 4).
    FrameDecoding frameDecoding;
    CombinedLog frameCapture{[this] { return frameDecoding.newFormat(); }};
    // The same for the frame log.
    int openFrameCapture(const std::string& fullPath, CaptureOpenFailure* failure = nullptr,
                         CaptureOpenMode mode = CaptureOpenMode::Empty);
    // Both directions as pcapng records of link type 250, its sections named by `naming`
    // (capture 5).
    CombinedLog pcapCapture{[this] { return newPcapFormat(pcapNaming_); }};
    int openPcapCapture(const std::string& fullPath, const PcapNaming& naming, CaptureOpenFailure* failure = nullptr,
                        CaptureOpenMode mode = CaptureOpenMode::Empty);
    // The records as a PCAP-over-IP stream to whoever connects, once started.
    PcapServer pcapServer;

private:
    CaptureFile& fileOf(int channel) { return captureLog(channel).file; }
    // Which capture (1 to 5) other than `self` still writes the file; 0 when none.
    int captureWriting(int self, const FileIdentity& file) const;
    // Opens a capture of both directions (3 to 5, `which`) unless another capture writes its file.
    int openCombinedLog(CombinedLog& log, int which, const std::string& fullPath, CaptureOpenFailure* failure,
                        CaptureOpenMode mode);

    const AppOptions& appOptions;
    CaptureLog captureLogs[2];
    PcapNaming pcapNaming_;  // read by pcapCapture's factory, on the opener's thread
};

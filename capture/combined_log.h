// Both directions of the relay in one text file: one record per chunk, in the order the chunks
// were read from their ports, with the time of each read and the gap since the one before.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "capture/capture_file.h"
#include "record/combined_record.h"
#include "relay/read_order.h"

class CombinedLog final : public ReadListener {
public:
    // The combined capture's records; or, for another file of both directions in read order
    // (the frame log), that file's format.
    CombinedLog();
    explicit CombinedLog(std::function<std::unique_ptr<CaptureFormat>()> newFormat);
    ~CombinedLog();
    CombinedLog(const CombinedLog&) = delete;
    CombinedLog& operator=(const CombinedLog&) = delete;

    // Opens fullPath for writing (in Empty mode an existing file is emptied; a FIFO without a
    // reader is refused rather than waited for) and enables the capture; as CaptureFile::open.
    bool open(const std::string& fullPath, const std::function<int(const FileIdentity&)>& heldBy,
              CaptureOpenFailure& failure, CaptureOpenMode mode = CaptureOpenMode::Empty) {
        return file_.open(fullPath, heldBy, failure, mode);
    }
    // As CaptureFile's: the file is reopened between two records, never inside one.
    void reopen() { file_.reopen(); }
    std::optional<int> takeReopenResult() { return file_.takeReopenResult(); }
    // The relay's chunks in read order, with their read times. Never waits for the file; a file
    // that falls behind ends the capture with a report.
    bool takesReads() const override { return enabled(); }
    void onRead(int channel, const uint8_t* chunk, size_t length, const ReadTime& time) override;
    // As CaptureFile's: the capture's writer writes out the records and closes the file.
    void requestClose() { file_.requestClose(); }
    bool closed() const { return file_.closed(); }
    bool close() { return file_.close(); }
    bool closeBy(int64_t deadlineMs) { return file_.closeBy(deadlineMs); }
    bool closeAtExit() { return file_.closeAtExit(); }
    bool writes(const FileIdentity& identity) const { return file_.writes(identity); }

    bool enabled() const { return file_.accepting(); }
    // The chosen file's name without its folder.
    std::string name() const { return file_.name(); }
    // Chunk bytes of both directions handed to the file since it was opened; after a failure,
    // the bytes known to have reached it.
    int64_t byteCount() const { return file_.byteCount(); }
    int64_t peakQueued() const { return file_.peakQueued(); }
    // The failure that ended the capture, handed out once.
    CaptureFailure takeFailure() { return file_.takeFailure(); }

private:
    CaptureFile file_;
};

// A combined capture (or a frame log) saved earlier, read as a timeline source without loading it: a background
// indexer walks the file once and keeps where each record line starts (compactly), its direction
// and its row count; a record's line is read and parsed only when asked for. A pcap or pcapng file
// of serial records (link type 250, as Wireshark saves them) is known by its first bytes and read
// the same way, a packet in place of a line. A file still being
// written shows what it held when it was opened; a file cut shorter since holds the records whose
// lines it still holds whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "display/timeline_source.h"
#include "record/pcap_reader.h"

// Reads one record line as the combined capture writes it, or one frame line as a frame log
// writes it (`frame` set, with its verdict and summary; a timeout's has no bytes), `line` without
// its line end. Strict: true only when writing it back gives the same text. The one reader of
// both formats, used by the window and the tests.
bool parseTimelineRecord(const char* line, size_t length, TimelineRecord& record);

class TimelineFile final : public TimelineSource {
public:
    // Where the indexer is; read by the UI thread while it runs.
    struct Progress {
        bool done = false;
        uint64_t bytesRead = 0;
        uint64_t size = 0;            // the file's size when it was opened
        uint64_t records = 0;
        uint64_t skippedLines = 0;    // lines that are not records
        uint64_t firstSkippedLine = 0;  // 1-based line number of the first, 0 when none
        int error = 0;                // a read that failed: the system's errno
        bool cut = false;             // the file was cut shorter since it was opened
        uint64_t cutTo = 0;           // to this size
        // A pcap or pcapng file: skippedLines counts its packets that hold no serial record and
        // firstSkippedLine is the first one's number among its packets, from 1; `stop` says why
        // its reading ended before the file did, at byte `stopAt` (the link type refused).
        bool capture = false;
        PcapStop stop = PcapStop::None;
        uint64_t stopAt = 0;
        uint32_t linkType = 0;
    };

    TimelineFile();
    ~TimelineFile() override;  // stops the indexer
    TimelineFile(const TimelineFile&) = delete;
    TimelineFile& operator=(const TimelineFile&) = delete;

    // Opens the file and starts indexing it in the background. false with the system's errno
    // when it cannot be opened (a folder counts as EISDIR).
    bool open(const std::string& path, int& error);
    Progress progress() const;
    // Looks at the file's size now: a file cut shorter than it was holds only the records whose
    // lines it still holds whole, from now on. true when it was cut, now or before. Reads that
    // come up short look for themselves.
    bool checkSize() const;
    // The indexer's memory, for the benchmark.
    uint64_t indexBytes() const;

    // TimelineSource: the records indexed so far, numbered from 0.
    TimelineExtent extent() const override;
    uint64_t rowsBefore(uint64_t number, TimelineFilter filter) const override;
    bool recordAtRow(uint64_t row, TimelineFilter filter, uint64_t& number, uint64_t& rowInRecord) const override;
    void read(uint64_t from, size_t count, std::vector<TimelineRecord>& out) const override;

private:
    struct Index;
    std::unique_ptr<Index> index_;
};

// Finding a byte sequence in the timeline. A match is a run of bytes of one direction's stream,
// so it may go on from one record into the next record of the same direction, whatever records
// of the other direction lie between; it never joins bytes of the two directions. The search
// runs in slices the caller gives it (the UI thread, between frames), so a million records never
// freeze the window, and it goes on into records that arrive later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "display/timeline_source.h"

// The find bar's input as bytes. hex: the toggle is on. Without it, input that begins with "0x"
// or is two or more pairs of hex digits separated by spaces ("0D 0A", "ff 00") is read as hex;
// anything else is text, its bytes as given (the window hands text over as code page 932).
// false with `error` (a short reason for the bar) when hex input is not whole bytes.
struct FindPattern {
    std::string bytes;
    bool hex = false;
    std::string error;
};
bool readFindPattern(const std::string& input, bool hexToggle, FindPattern& pattern);
// The rule shown in the find bar, so that the reading above is never a surprise.
extern const char* const kFindPatternRule;

// One match: from byte `startOffset` of record `startRecord` to byte `endOffset` (exclusive) of
// record `endRecord`, all in records of `channel`.
struct TimelineMatch {
    int channel = 1;
    uint64_t startRecord = 0;
    uint32_t startOffset = 0;
    uint64_t endRecord = 0;
    uint32_t endOffset = 0;
};

class TimelineFind {
public:
    // Searches `source` for `pattern` (non-empty) in the records `filter` shows.
    TimelineFind(const TimelineSource& source, std::string pattern, TimelineFilter filter);

    // Searches on through at most `records` more records; true when it has reached the records
    // the source holds now (more may come). Matches that began in records the source has let go
    // are forgotten.
    bool advance(size_t records);
    bool caughtUp() const;
    // Records of those the source holds now that have been searched, of extent().end -
    // extent().first (for the bar while a long search runs).
    uint64_t searched() const;

    size_t count() const;
    const TimelineMatch& match(size_t index) const;
    // The first match that begins after (record, offset), wrapping to the first; and the last
    // that begins before it, wrapping to the last. count() when there is none.
    size_t next(uint64_t record, uint32_t offset) const;
    size_t previous(uint64_t record, uint32_t offset) const;

private:
    // Bytes of a direction's stream that a match may still begin in: at most the pattern's
    // length less one, as runs of consecutive bytes of records.
    struct Piece {
        uint64_t record;
        uint32_t offset;
        uint32_t length;
    };
    struct Tail {
        std::string bytes;
        std::vector<Piece> pieces;
    };

    void forgetBefore(uint64_t first);
    void search(const TimelineRecord& record);
    void add(const TimelineMatch& match);

    const TimelineSource& source_;
    std::string pattern_;
    TimelineFilter filter_;
    std::deque<TimelineMatch> matches_;  // in the order of their first byte
    uint64_t nextRecord_ = 0;            // the first record not yet searched
    Tail tails_[2];
    std::string joined_;                 // a tail and the start of the record after it
    std::vector<TimelineRecord> batch_;
};

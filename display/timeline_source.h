// What the timeline window shows: records of both directions in read order, each with its read
// time, its gap to the record before and its bytes, from the live relay or from a saved combined
// capture. The window asks only for the rows in sight, so a source of a million records costs a
// frame what a source of ten does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "decode/verdict.h"

// Bytes per row of a record's hex dump.
constexpr size_t kTimelineRowBytes = 16;

// The rows a record of `length` bytes takes: its hex dump, at least one row.
constexpr uint64_t timelineRows(size_t length) {
    return length <= kTimelineRowBytes ? 1 : (length + kTimelineRowBytes - 1) / kTimelineRowBytes;
}

// Which directions are shown. Hiding rows never drops a record.
enum class TimelineFilter { Both, OneToTwo, TwoToOne };

constexpr bool timelineShows(TimelineFilter filter, int channel) {
    return filter == TimelineFilter::Both || (filter == TimelineFilter::OneToTwo) == (channel != 2);
}

struct TimelineRecord {
    uint64_t number = 0;  // its place in the source
    std::tm local{};      // the read time, local, to the second
    int32_t micros = 0;   // and its microseconds
    int64_t gapMicros = 0;
    int channel = 1;      // 1: port 1 to port 2, 2: the other way
    std::string bytes;
    // A row of the Frames view (a frame, or a request's timeout with no bytes): its verdict and
    // its summary as the frame line ends (an answer's ends with its response time).
    bool frame = false;
    Verdict verdict = Verdict::Ok;
    std::string summary;
};

// The records a source holds now: numbers first..end-1. Numbers stay with their records, so a
// record keeps its number while older ones go.
struct TimelineExtent {
    uint64_t first = 0;
    uint64_t end = 0;
    // Records let go to keep the source's bound, and the read time of the first of them.
    uint64_t dropped = 0;
    std::tm droppedSince{};
    bool empty() const { return first == end; }
};

// Read by the UI thread (and the find) while a worker may be adding records: every call answers
// from one consistent state, and a caller that asks for a record gone since just gets less.
class TimelineSource {
public:
    virtual ~TimelineSource() = default;
    virtual TimelineExtent extent() const = 0;
    // Rows of the records shown under `filter` before record `number`, counted from a fixed
    // origin, so that a row keeps its count while older records go. first <= number <= end.
    virtual uint64_t rowsBefore(uint64_t number, TimelineFilter filter) const = 0;
    // The shown record that holds `row` (counted as rowsBefore counts) and the row's place in it;
    // false when no record held holds it.
    virtual bool recordAtRow(uint64_t row, TimelineFilter filter, uint64_t& number, uint64_t& rowInRecord) const = 0;
    // Appends records from..from+count-1, those still held, in order.
    virtual void read(uint64_t from, size_t count, std::vector<TimelineRecord>& out) const = 0;
};

// What the timeline tests share: a read handed to a live list as the read order hands it, every
// record a source holds, a file once indexed, records as the combined capture's or the frame log's
// lines, and the check of a source's rows against a walk over its records.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "decode/frame_line.h"
#include "display/timeline_file.h"
#include "display/timeline_records.h"
#include "record/combined_record.h"

inline void takeRead(TimelineRecords& records, int channel, const std::string& bytes, int64_t wall,
                     int64_t monotonic) {
    records.onRead(channel, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), ReadTime{wall, monotonic});
}

inline std::vector<TimelineRecord> readAll(const TimelineSource& source) {
    std::vector<TimelineRecord> out;
    source.read(source.extent().first, SIZE_MAX, out);
    return out;
}

// The file's progress once indexed (a busy machine may take long over gigabytes of holes), opened first when named.
inline TimelineFile::Progress indexed(TimelineFile& file, const std::string& path = {}) {
    int error = 0;
    EXPECT_TRUE(path.empty() || file.open(path, error)) << "cannot open " << path << ": " << error;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!file.progress().done && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(file.progress().done);
    return file.progress();
}

inline std::string recordLine(const TimelineRecord& r) {
    std::string line;
    appendCombinedRecord(line, r.local, r.micros, r.gapMicros, r.channel,
                         reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size());
    return line;
}

// The combined capture's lines of the records `source` holds that `keep` keeps.
inline std::string linesOf(const TimelineSource& source, const std::function<bool(const TimelineRecord&)>& keep = {}) {
    std::string lines;
    for (const TimelineRecord& r : readAll(source))
        if (!keep || keep(r)) lines += recordLine(r);
    return lines;
}

inline std::string frameLines(const std::vector<TimelineRecord>& rows) {
    std::string lines;
    for (const TimelineRecord& r : rows)
        appendFrameLine(lines, r.local, r.micros, r.gapMicros, r.channel,
                        reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size(), r.verdict, r.summary);
    return lines;
}

// rowsBefore and recordAtRow agree with a walk over the records held, record n being given[n - from], under
// every filter; from 0 while nothing has gone.
inline void expectRowsAgree(const TimelineSource& source, const std::vector<TimelineRecord>& given, uint64_t from = 0) {
    const TimelineExtent extent = source.extent();
    for (TimelineFilter filter : {TimelineFilter::Both, TimelineFilter::OneToTwo, TimelineFilter::TwoToOne}) {
        SCOPED_TRACE(static_cast<int>(filter));
        const uint64_t base = source.rowsBefore(extent.first, filter);
        ASSERT_TRUE(extent.first > 0 || base == 0);
        uint64_t row = base, number = 0, at = 0;
        for (uint64_t n = extent.first; n < extent.end; ++n) {
            ASSERT_EQ(source.rowsBefore(n, filter), row) << "record " << n;
            if (!timelineShows(filter, given[n - from].channel)) continue;
            for (uint64_t r = 0; r < timelineRows(given[n - from].bytes.size()); ++r, ++row)
                ASSERT_TRUE(source.recordAtRow(row, filter, number, at) && number == n && at == r)
                    << "row " << row << ": " << number << "," << at;
        }
        ASSERT_EQ(source.rowsBefore(extent.end, filter), row);
        EXPECT_FALSE(source.recordAtRow(row, filter, number, at) || source.recordAtRow(row + 100, filter, number, at));
        EXPECT_FALSE(base > 0 && source.recordAtRow(base - 1, filter, number, at));
    }
}

// The same over the records the source reads, which must be numbered in order from its first.
inline void expectRowsAgree(const TimelineSource& source) {
    const std::vector<TimelineRecord> held = readAll(source);
    const uint64_t first = source.extent().first;
    ASSERT_EQ(held.size(), source.extent().end - first);
    for (size_t i = 0; i < held.size(); ++i) ASSERT_EQ(held[i].number, first + i);
    expectRowsAgree(source, held, first);
}

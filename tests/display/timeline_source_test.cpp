// The timeline's two sources, the live record list and a saved combined capture, held to the one
// contract the window relies on (records read back whole, rows against a walk over the records),
// then what each does alone: the live list's bound, taking, gaps and a worker adding while the
// window reads; the file's record-line reader, lines that are not records, holes, growth and
// answers while its indexer runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "display/timeline_file.h"
#include "display/timeline_records.h"
#include "record/combined_record.h"
#include "shell/session.h"
#include "tests/support/pty_cable.h"

namespace {

constexpr int64_t kStart = 1796687990000000;  // 2026-12-07 23:59:50 UTC, in microseconds

std::tm localOf(int64_t wallMicros) {
    const std::time_t second = static_cast<std::time_t>(wallMicros / 1000000);
    std::tm local{};
    localtime_r(&second, &local);
    return local;
}

std::string recordLine(const TimelineRecord& r) {
    std::string line;
    appendCombinedRecord(line, r.local, r.micros, r.gapMicros, r.channel, reinterpret_cast<const uint8_t*>(r.bytes.data()),
                         r.bytes.size());
    return line;
}

std::string fileOf(const std::vector<TimelineRecord>& records) {
    std::string text;
    for (const TimelineRecord& r : records) text += recordLine(r);
    return text;
}

// The same record, to the second of its local time (a parsed time has no weekday or zone).
void expectSameRecord(const TimelineRecord& got, const TimelineRecord& want) {
    const auto second = [](const std::tm& t) { return std::tie(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec); };
    EXPECT_EQ(std::tie(got.number, got.micros, got.gapMicros, got.channel), std::tie(want.number, want.micros, want.gapMicros, want.channel));
    EXPECT_EQ(second(got.local), second(want.local)) << "record " << want.number;
    EXPECT_EQ(got.bytes, want.bytes) << "record " << want.number;
}

// Records as a session makes them, numbered from `first`, read a few ms apart from 23:59:50 (the
// day changes), each tenth gap up to a day long, random bytes of random lengths; records 1000 to
// 3199 of each 4000 only port 2's, longer than the file's index keeps together, so that a filter
// hides whole stretches of it. `walls` gets each record's wall time.
std::vector<TimelineRecord> makeRecords(size_t count, size_t maxLength, uint32_t seed, std::vector<int64_t>* walls = nullptr) {
    std::mt19937 random(seed);
    std::vector<TimelineRecord> records(count);
    int64_t wall = kStart;
    int channel = 1;
    for (size_t i = 0; i < count; ++i) {
        TimelineRecord& r = records[i];
        r.number = i;
        r.gapMicros = i == 0 ? 0 : i % 10 == 0 ? static_cast<int64_t>(random() % 100000) * 1000000 + 7 : random() % 20000;
        wall += r.gapMicros;
        if (walls != nullptr) walls->push_back(wall);
        r.local = localOf(wall);
        r.micros = static_cast<int32_t>(wall % 1000000);
        if (random() % 3 == 0) channel = 3 - channel;
        if (i % 4000 >= 1000 && i % 4000 < 3200) channel = 2;
        r.channel = channel;
        r.bytes.resize(1 + random() % maxLength);
        for (char& c : r.bytes) c = static_cast<char>(random());
    }
    return records;
}

std::vector<TimelineRecord> readAll(const TimelineSource& source) {
    std::vector<TimelineRecord> out;
    const TimelineExtent extent = source.extent();
    source.read(extent.first, static_cast<size_t>(extent.end - extent.first), out);
    return out;
}

// rowsBefore and recordAtRow agree with a walk over the records held (given by number), under
// every filter: each shown record takes timelineRows(length) rows right after the shown record
// before it, hidden ones none, rows count from 0 while nothing has gone, and no row outside the
// records held is a record's.
void expectRowsAgreeWithAWalk(const TimelineSource& source, const std::vector<TimelineRecord>& given) {
    const TimelineExtent extent = source.extent();
    for (TimelineFilter filter : {TimelineFilter::Both, TimelineFilter::OneToTwo, TimelineFilter::TwoToOne}) {
        SCOPED_TRACE(static_cast<int>(filter));
        const uint64_t base = source.rowsBefore(extent.first, filter);
        if (extent.first == 0) {
            ASSERT_EQ(base, 0u);
        }
        uint64_t row = base, number = 0, at = 0;
        for (uint64_t n = extent.first; n < extent.end; ++n) {
            ASSERT_EQ(source.rowsBefore(n, filter), row) << "record " << n;
            if (!timelineShows(filter, given[n].channel)) continue;
            for (uint64_t r = 0; r < timelineRows(given[n].bytes.size()); ++r, ++row) {
                ASSERT_TRUE(source.recordAtRow(row, filter, number, at)) << "row " << row;
                ASSERT_EQ(std::make_pair(number, at), std::make_pair(n, r)) << "row " << row;
            }
        }
        ASSERT_EQ(source.rowsBefore(extent.end, filter), row);
        EXPECT_FALSE(source.recordAtRow(row, filter, number, at));
        EXPECT_FALSE(source.recordAtRow(row + 100, filter, number, at));
        if (base > 0) {
            EXPECT_FALSE(source.recordAtRow(base - 1, filter, number, at));
        }
    }
}

int openFile(TimelineFile& file, const std::string& path) {
    int error = -1;
    return file.open(path, error) ? 0 : error;
}

// Once the indexer is done (a busy machine may take long over gigabytes of holes).
TimelineFile::Progress indexed(const TimelineFile& file) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!file.progress().done && std::chrono::steady_clock::now() < giveUp) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(file.progress().done);
    return file.progress();
}

// --- The contract, for both sources -----------------------------------------------------------

// The live list, fed as the read order feeds it.
struct LiveSource {
    TimelineRecords source{10000000, uint64_t{1} << 30};
    void make(const std::vector<TimelineRecord>& records, const std::vector<int64_t>& walls) {
        source.setTaking(true);
        for (size_t i = 0; i < records.size(); ++i) {
            // The monotonic clock runs as the wall clock here; the gaps come from it.
            const std::string& bytes = records[i].bytes;
            source.onRead(records[i].channel, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                          ReadTime{walls[i], walls[i] - kStart});
        }
    }
};

// A saved file of the same records, indexed.
struct FileSource {
    ScratchDir dir;
    TimelineFile source;
    void make(const std::vector<TimelineRecord>& records, const std::vector<int64_t>&) {
        dir.write("saved.log", fileOf(records));
        ASSERT_EQ(openFile(source, dir.file("saved.log")), 0);
        const TimelineFile::Progress progress = indexed(source);
        EXPECT_EQ(std::make_tuple(progress.records, progress.skippedLines, progress.error), std::make_tuple(records.size(), 0u, 0));
        EXPECT_EQ(progress.bytesRead, progress.size);
    }
};

template <class Maker>
class TimelineSourceContract : public testing::Test {
protected:
    const TimelineSource& make(size_t count, size_t maxLength, uint32_t seed) {
        walls.clear();
        records = makeRecords(count, maxLength, seed, &walls);
        maker.make(records, walls);
        return maker.source;
    }
    Maker maker;
    std::vector<TimelineRecord> records;
    std::vector<int64_t> walls;
};

using Sources = testing::Types<LiveSource, FileSource>;
TYPED_TEST_SUITE(TimelineSourceContract, Sources);

// Every record with its time, gap, direction and bytes; a read gives those asked for that are
// held, and a count too large to add to the first number still means "as many as there are".
TYPED_TEST(TimelineSourceContract, ReadGivesTheRecordsAskedForWholeAndInOrder) {
    const TimelineSource& source = this->make(5000, 100, 1);
    const TimelineExtent extent = source.extent();
    EXPECT_EQ(std::make_tuple(extent.first, extent.end, extent.dropped), std::make_tuple(0u, 5000u, 0u));
    const std::vector<TimelineRecord> all = readAll(source);
    ASSERT_EQ(all.size(), this->records.size());
    for (size_t i = 0; i < all.size(); ++i) expectSameRecord(all[i], this->records[i]);
    std::vector<TimelineRecord> out;
    source.read(4990, SIZE_MAX, out);
    ASSERT_EQ(out.size(), 10u);
    expectSameRecord(out[0], this->records[4990]);
    out.clear();
    source.read(4998, 100, out);
    EXPECT_EQ(out.size(), 2u);
    out.clear();
    source.read(5000, 10, out);
    source.read(UINT64_MAX, SIZE_MAX, out);
    EXPECT_TRUE(out.empty());
}

TYPED_TEST(TimelineSourceContract, RowsAndRecordsAtRowsAgreeWithAWalkUnderEveryFilter) {
    expectRowsAgreeWithAWalk(this->make(9000, 100, 2), this->records);
}

// One direction only: the other's filter shows no row at all.
TYPED_TEST(TimelineSourceContract, AFilterThatShowsNothingHasNoRows) {
    this->records = makeRecords(3, 40, 3, &this->walls);
    for (TimelineRecord& r : this->records) r.channel = 1;
    this->maker.make(this->records, this->walls);
    const TimelineSource& source = this->maker.source;
    uint64_t number = 0, at = 0;
    EXPECT_EQ(source.rowsBefore(3, TimelineFilter::TwoToOne), 0u);
    EXPECT_FALSE(source.recordAtRow(0, TimelineFilter::TwoToOne, number, at));
    expectRowsAgreeWithAWalk(source, this->records);
}

// --- The live list alone ----------------------------------------------------------------------

void take(TimelineRecords& records, int channel, const std::string& bytes, int64_t wall, int64_t monotonic) {
    records.onRead(channel, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), ReadTime{wall, monotonic});
}

bool sameSecond(const std::tm& a, const std::tm& b) {
    return std::tie(a.tm_year, a.tm_mon, a.tm_mday, a.tm_hour, a.tm_min, a.tm_sec) ==
           std::tie(b.tm_year, b.tm_mon, b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec);
}

TEST(TimelineRecords, TheBoundByCountKeepsTheNewestAndSaysHowManyWentSinceWhen) {
    TimelineRecords records(5);
    records.setTaking(true);
    for (int i = 0; i < 12; ++i) take(records, i % 2 + 1, "r" + std::to_string(i), kStart + i * 1000000, i * 1000);
    const TimelineExtent extent = records.extent();
    EXPECT_EQ(std::make_tuple(extent.first, extent.end, extent.dropped), std::make_tuple(7u, 12u, 7u));
    EXPECT_TRUE(sameSecond(extent.droppedSince, localOf(kStart)));  // the first record let go
    const std::vector<TimelineRecord> held = readAll(records);
    ASSERT_EQ(held.size(), 5u);
    for (size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(std::tie(held[i].number, held[i].bytes, held[i].channel, held[i].micros),
                  std::make_tuple(7 + i, "r" + std::to_string(7 + i), static_cast<int>((7 + i) % 2 + 1), 0));
        EXPECT_TRUE(sameSecond(held[i].local, localOf(kStart + static_cast<int64_t>(7 + i) * 1000000)));
    }
    EXPECT_EQ(records.heldBytes(), 3u * 2 + 2 * 3);
    std::vector<TimelineRecord> out;
    records.read(0, 9, out);  // 0..8, of which 7 and 8 are held
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].number, 7u);

    // A clear starts the count of records let go anew, and its time with it.
    records.clear();
    EXPECT_EQ(records.extent().dropped, 0u);
    EXPECT_TRUE(records.extent().empty());
    for (int i = 0; i < 6; ++i) take(records, 1, "x", kStart + (100 + i) * 1000000, (100 + i) * 1000);
    EXPECT_EQ(records.extent().dropped, 1u);
    EXPECT_TRUE(sameSecond(records.extent().droppedSince, localOf(kStart + 100 * 1000000)));
}

TEST(TimelineRecords, TheBoundByBytesKeepsTheNewestRecordEvenWhenItAloneIsLarger) {
    TimelineRecords records(1000, 10);
    records.setTaking(true);
    const std::tuple<std::string, uint64_t, uint64_t, uint64_t> steps[] = {
        // added, then held bytes, first and end
        {"aaaa", 4, 0, 1}, {"bbbb", 8, 0, 2}, {"cccc", 8, 1, 3},  // 12 bytes: record 0 goes
        {std::string(20, 'd'), 20, 3, 4},                         // larger than the bound alone
        {"e", 1, 4, 5}};
    int64_t t = 0;
    for (const auto& [bytes, held, first, end] : steps) {
        take(records, 1 + t % 2, bytes, kStart + t, t), ++t;
        EXPECT_EQ(std::make_tuple(records.heldBytes(), records.extent().first, records.extent().end), std::make_tuple(held, first, end));
        EXPECT_EQ(readAll(records).back().bytes, bytes);
    }
    EXPECT_EQ(records.extent().dropped, 4u);
}

// Rows keep their count while older records go; drops of one or of several records at once, and
// a clear, after which the numbers go on.
TEST(TimelineRecords, RowsAgreeWithAWalkAfterDropsAndClears) {
    std::vector<TimelineRecord> given;
    std::mt19937 random(3);
    const auto add = [&](TimelineRecords& records, int count) {
        for (int i = 0; i < count; ++i) {
            // Runs of one direction, so that a filter hides runs at the start, the middle and the end.
            TimelineRecord r;
            r.channel = given.empty() ? 1 : given.back().channel;
            if (random() % 4 == 0) r.channel = 3 - r.channel;
            r.bytes.assign(std::vector<size_t>{1, 5, 15, 16, 17, 31, 32, 33, 48, 49, 100}[random() % 11], 'x');
            take(records, r.channel, r.bytes, kStart + static_cast<int64_t>(given.size()), static_cast<int64_t>(given.size()));
            given.push_back(r);
        }
    };
    TimelineRecords records(60);
    records.setTaking(true);
    const TimelineFilter filters[] = {TimelineFilter::Both, TimelineFilter::OneToTwo, TimelineFilter::TwoToOne};
    add(records, 40);
    expectRowsAgreeWithAWalk(records, given);
    std::vector<uint64_t> rows;
    for (uint64_t n = 0; n < 40; ++n) {
        for (TimelineFilter filter : filters) rows.push_back(records.rowsBefore(n, filter));
    }
    add(records, 35);
    ASSERT_EQ(records.extent().first, 15u);
    expectRowsAgreeWithAWalk(records, given);
    for (uint64_t n = 15; n < 40; ++n) {
        for (int f = 0; f < 3; ++f) EXPECT_EQ(records.rowsBefore(n, filters[f]), rows[n * 3 + f]) << n;
    }
    add(records, 500);
    expectRowsAgreeWithAWalk(records, given);
    records.clear();
    ASSERT_TRUE(records.extent().empty());
    given.resize(records.extent().end);
    expectRowsAgreeWithAWalk(records, given);
    add(records, 30);
    expectRowsAgreeWithAWalk(records, given);

    TimelineRecords byBytes(1000, 300);
    byBytes.setTaking(true);
    given.clear();
    for (int i = 0; i < 11; ++i) {
        add(byBytes, 37);
        expectRowsAgreeWithAWalk(byBytes, given);
    }
    EXPECT_GT(byBytes.extent().dropped, 0u);
}

TEST(TimelineRecords, AClosedWindowsListTakesAndHoldsNothing) {
    TimelineRecords records;
    EXPECT_FALSE(records.takesReads());  // closed until the window opens
    take(records, 1, "lost", kStart, 0);
    EXPECT_TRUE(records.extent().empty());
    records.setTaking(true);
    EXPECT_TRUE(records.takesReads());
    take(records, 1, "kept", kStart + 1, 10);
    take(records, 2, "kept too", kStart + 2, 20);
    EXPECT_EQ(records.extent().end - records.extent().first, 2u);
    records.setTaking(false);
    EXPECT_FALSE(records.takesReads());
    EXPECT_TRUE(records.extent().empty());
    EXPECT_EQ(records.heldBytes(), 0u);
    take(records, 1, "lost", kStart + 3, 30);
    EXPECT_TRUE(readAll(records).empty());
}

TEST(TimelineRecords, GapsAreMonotonicDifferencesFromAFirstOfZero) {
    TimelineRecords records;
    records.setTaking(true);
    // The wall clock jumps back an hour between the second and third: the gap does not care.
    take(records, 1, "a", kStart, 5000000);
    take(records, 2, "b", kStart + 4211, 5004211);
    take(records, 1, "c", kStart - 3600000000LL, 5010000);
    take(records, 2, "d", kStart + 1, 5009000);  // the monotonic clock seems to go back: 0
    take(records, 2, "e", kStart + 2, 5009500);
    std::vector<int64_t> gaps;
    for (const TimelineRecord& record : readAll(records)) gaps.push_back(record.gapMicros);
    EXPECT_EQ(gaps, (std::vector<int64_t>{0, 4211, 5789, 0, 500}));
    // A clear keeps the gap to the chunk read before; a window opened anew starts at 0.
    records.clear();
    take(records, 1, "f", kStart + 3, 5010500);
    EXPECT_EQ(readAll(records).at(0).gapMicros, 1000);
    records.setTaking(false);
    records.setTaking(true);
    take(records, 1, "g", kStart + 4, 5020000);
    EXPECT_EQ(readAll(records).at(0).gapMicros, 0);
}

// The window reads while a worker adds and the bound lets records go: every read sees records in
// order, numbered as they were taken, with their own bytes. (ThreadSanitizer runs this too.)
TEST(TimelineRecords, ReadsWhileAWorkerAddsSeeWholeRecordsInOrder) {
    TimelineRecords records(300, 4000);
    records.setTaking(true);
    std::atomic<bool> done = false;
    std::thread worker([&] {
        for (int i = 0; i < 30000; ++i) take(records, i % 3 == 0 ? 2 : 1, "#" + std::to_string(i) + std::string(i % 40, '.'), kStart + i, i);
        done = true;
    });
    for (bool last = false; !last;) {
        last = done;
        const TimelineExtent extent = records.extent();
        std::vector<TimelineRecord> out;
        records.read(extent.first, 200, out);
        for (size_t i = 0; i < out.size(); ++i) {
            const uint64_t n = out[i].number;
            ASSERT_EQ(out[i].bytes, "#" + std::to_string(n) + std::string(n % 40, '.'));
            ASSERT_EQ(out[i].channel, n % 3 == 0 ? 2 : 1);
            if (i > 0) {
                ASSERT_EQ(n, out[i - 1].number + 1);
            }
        }
        uint64_t number = 0, rowInRecord = 0;
        const uint64_t row = records.rowsBefore(extent.end, TimelineFilter::TwoToOne);
        if (row > 0 && records.recordAtRow(row - 1, TimelineFilter::TwoToOne, number, rowInRecord)) {
            ASSERT_EQ(number % 3, 0u);
        }
    }
    worker.join();
    EXPECT_EQ(records.extent().end, 30000u);
}

// --- The saved file alone ---------------------------------------------------------------------

// Lines the writer writes read back to the same fields (also as a tool that writes CR LF leaves
// them), and a line that reads back is one the writer writes: no prefix of a line reads, and every
// change of one character is either refused or still a line the writer gives for what was read.
// Each prefix is read from a buffer of just its size, so that a read past it shows in the
// sanitizer build.
TEST(TimelineRecordLine, ReadsBackWhatTheWriterWritesAndNothingItWouldWriteOtherwise) {
    std::vector<TimelineRecord> records = makeRecords(400, 4096, 1);
    records[1].gapMicros = INT64_MAX;  // the longest gap there is
    records[2].bytes = std::string("|*IDN?\r\n\0\x7f|", 11);
    TimelineRecord got;
    for (const TimelineRecord& want : records) {
        const std::string line = recordLine(want);
        got.number = want.number;
        ASSERT_TRUE(parseTimelineRecord(line.data(), line.size() - 1, got)) << line;
        expectSameRecord(got, want);
        const std::string crlf = line.substr(0, line.size() - 1) + "\r";
        EXPECT_TRUE(parseTimelineRecord(crlf.data(), crlf.size(), got));
    }
    const std::string line = recordLine(records[2]).substr(0, recordLine(records[2]).size() - 1);
    for (size_t length = 0; length < line.size(); ++length) {
        const std::unique_ptr<char[]> prefix(new char[length + 1]);
        std::memcpy(prefix.get(), line.data(), length);
        EXPECT_FALSE(parseTimelineRecord(prefix.get(), length, got)) << length;
    }
    for (size_t at = 0; at < line.size(); ++at) {
        for (char c : std::string("0129AFaf .:+-|>\r\n\x80")) {
            std::string changed = line;
            changed[at] = c;
            if (changed == line || !parseTimelineRecord(changed.data(), changed.size(), got)) continue;
            EXPECT_EQ(recordLine(got), changed.substr(0, changed.size() - (changed.back() == '\r')) + "\n");
        }
    }
    const std::string refused[] = {
        line + " ",                                                           // something after the text column
        line + "\r\r",                                                        // more than one CR
        "2026-12-07 14:03:27.123456 +0.004211 1>2  0    ||",                  // no bytes
        "2026-12-07 14:03:27.123456 +0.004211 1>2  02  41 42  |AB|",          // a count of two digits for 2
        "2026-12-07 14:03:27.123456 +00.004211 1>2  2  41 42  |AB|",          // nor for the gap's seconds
        "2026-12-07 14:03:27.123456 +0.004211 1>2  2  41 4a  |AJ|",           // lower-case hex
        "2026-12-07 14:03:27.123456 +0.004211 1>2  2  41 42  |AC|",           // the columns disagree
        "2026-12-07 14:03:27.123456 +0.004211 1>1  2  41 42  |AB|",
        "2026-13-07 14:03:27.123456 +0.004211 1>2  2  41 42  |AB|",           // no 13th month
        "2026-12-07 24:03:27.123456 +0.004211 1>2  2  41 42  |AB|",
        "2026-12-07 14:03:27.123456 +9223372036854.775808 1>2  1  41  |A|",  // a gap past int64
        "2026-12-07 14:03:27.123456 +0.004211 2>1  3  41 42  |AB|",
    };
    for (const std::string& text : refused) EXPECT_FALSE(parseTimelineRecord(text.data(), text.size(), got)) << text;
    const std::string kept = "2026-12-07 14:03:27.123456 +9223372036854.775807 2>1  2  41 42  |AB|";
    EXPECT_TRUE(parseTimelineRecord(kept.data(), kept.size(), got));
    EXPECT_EQ(got.gapMicros, INT64_MAX);
}

// The program's combined capture, written while its timeline's list takes the same chunks, opens
// to exactly those records: the same times, gaps, directions and bytes.
TEST(TimelineFile, ACombinedCaptureOfTheProgramOpensToTheRecordsItsTimelineHeld) {
    ScratchDir dir;
    Session app;
    app.timeline.setTaking(true);
    ASSERT_EQ(app.captures.openCombinedCapture(dir.file("both.log")), 1);
    std::mt19937 random(5);
    const std::string traffic = randomBytes(1 << 16, 3);
    for (int chunk = 0; chunk < 600; ++chunk) {
        // Mostly short reads, now and then a long one, as a serial line gives them.
        const size_t length = chunk % 50 == 7 ? 1024 : 1 + random() % 64;
        app.readOrder.onRead(1 + static_cast<int>(random() % 2), reinterpret_cast<const uint8_t*>(traffic.data()) + random() % 60000, length);
        if (chunk % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    ASSERT_TRUE(app.captures.combinedCapture.close());
    const std::vector<TimelineRecord> live = readAll(app.timeline);
    ASSERT_EQ(live.size(), 600u);
    TimelineFile file;
    ASSERT_EQ(openFile(file, dir.file("both.log")), 0);
    EXPECT_EQ(indexed(file).records, 600u);
    const std::vector<TimelineRecord> saved = readAll(file);
    ASSERT_EQ(saved.size(), live.size());
    for (size_t i = 0; i < saved.size(); ++i) expectSameRecord(saved[i], live[i]);
}

// Lines that are not records are counted and skipped wherever they are, and the records around
// them keep their rows; a last line with no line end (a file still being written) is left out.
TEST(TimelineFile, LinesThatAreNotRecordsAreCountedAndSkipped) {
    ScratchDir dir;
    const std::vector<TimelineRecord> records = makeRecords(3000, 40, 2);
    std::string text;
    size_t line = 0;
    std::vector<size_t> skipped;
    const auto junk = [&](const std::string& what) { text += what, skipped.push_back(++line); };
    for (size_t i = 0; i < records.size(); ++i) {
        if (i == 5) junk("\n");  // an empty line
        if (i == 10) junk("[DEVICES]\n");
        if (i == 20) junk(recordLine(records[i]).substr(0, 60) + "\n");  // cut short
        if (i % 700 == 699) {  // the text column does not say what the hex column says
            std::string wrong = recordLine(records[i]);
            char& c = wrong[wrong.size() - 3];
            c = c == '.' ? 'x' : '.';
            junk(wrong);
        }
        if (i == 1234) {
            std::string binary = randomBytes(5000, 4);
            std::replace(binary.begin(), binary.end(), '\n', ' ');
            junk(binary + "\n");
        }
        std::string record = recordLine(records[i]);
        if (i % 7 == 0) record.insert(record.size() - 1, "\r");
        text += record, ++line;
    }
    dir.write("mixed.log", text + recordLine(records[0]).substr(0, 70));  // half written
    TimelineFile file;
    ASSERT_EQ(openFile(file, dir.file("mixed.log")), 0);
    const TimelineFile::Progress progress = indexed(file);
    EXPECT_EQ(std::make_tuple(progress.records, progress.skippedLines, progress.firstSkippedLine),
              std::make_tuple(records.size(), skipped.size(), skipped.front()));
    const std::vector<TimelineRecord> got = readAll(file);
    ASSERT_EQ(got.size(), records.size());
    for (size_t i = 0; i < got.size(); ++i) expectSameRecord(got[i], records[i]);
    expectRowsAgreeWithAWalk(file, records);
}

// An empty file, a settings file, random binary and a folder: nothing opens as records.
TEST(TimelineFile, FilesOfAnotherKindHoldNoRecord) {
    ScratchDir dir;
    dir.write("empty.log", "");
    dir.write("Vorlinex.ini", "[DEVICES]\nCOM1=/dev/ttyUSB0\r\n[DATETIME]\nDATETIME=1\n");
    dir.write("random.bin", randomBytes(3 << 20, 8));
    for (const char* name : {"empty.log", "Vorlinex.ini", "random.bin"}) {
        SCOPED_TRACE(name);
        TimelineFile file;
        ASSERT_EQ(openFile(file, dir.file(name)), 0);
        const TimelineFile::Progress progress = indexed(file);
        EXPECT_EQ(std::make_pair(progress.records, progress.error), std::make_pair(uint64_t{0}, 0));
        EXPECT_TRUE(file.extent().empty());
        EXPECT_TRUE(readAll(file).empty());
        uint64_t number = 0, at = 0;
        EXPECT_FALSE(file.recordAtRow(0, TimelineFilter::Both, number, at));
    }
    TimelineFile file;
    EXPECT_EQ(openFile(file, dir.path()), EISDIR);
    EXPECT_EQ(openFile(file, dir.file("missing.log")), ENOENT);
}

#ifndef _WIN32  // a Windows file has holes only once marked sparse: its zeros would be written out
// A file of holes and records, each hole a line of zeros: made by appending text and growing the
// file over holes, to a whole MB, so that the data after a hole begins where a record begins as
// the file system sees it, and only where the zeros were tells that it is on their line.
class SparseFile {
public:
    explicit SparseFile(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)) {}
    ~SparseFile() { ::close(fd_); }
    bool append(const std::string& text) {
        return ::pwrite(fd_, text.data(), text.size(), ::lseek(fd_, 0, SEEK_END)) == static_cast<ssize_t>(text.size());
    }
    bool hole(off_t bytes) { return ::ftruncate(fd_, (::lseek(fd_, 0, SEEK_END) + bytes) / (1 << 20) * (1 << 20)) == 0; }

private:
    int fd_;
};

// Records only after a hole of 2 GB: the hole is a line of zeros, not a record. Then records
// between holes, a record written straight after a hole (part of the zeros' line), and records
// more than 4 GB after the first.
TEST(TimelineFile, ASparseFileIndexesToTheRecordsBetweenItsHoles) {
    ScratchDir dir;
    const std::vector<TimelineRecord> records = makeRecords(300, 100, 3);
    const auto expectRecords = [](const TimelineFile& file, std::vector<TimelineRecord> want) {
        for (size_t i = 0; i < want.size(); ++i) want[i].number = i;
        const std::vector<TimelineRecord> got = readAll(file);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i) expectSameRecord(got[i], want[i]);
        expectRowsAgreeWithAWalk(file, want);
    };
    {
        SparseFile sparse(dir.file("end.log"));
        ASSERT_TRUE(sparse.hole(off_t{2} << 30) && sparse.append("\n" + fileOf(records)));
    }
    TimelineFile file;
    ASSERT_EQ(openFile(file, dir.file("end.log")), 0);
    TimelineFile::Progress progress = indexed(file);
    EXPECT_EQ(progress.size, (uint64_t{2} << 30) + 1 + fileOf(records).size());
    EXPECT_EQ(std::make_tuple(progress.error, progress.skippedLines, progress.firstSkippedLine), std::make_tuple(0, 1u, 1u));
    expectRecords(file, records);

    const std::vector<TimelineRecord> first(records.begin(), records.begin() + 100), second(records.begin() + 100, records.begin() + 200),
        third(records.begin() + 200, records.end());
    {
        SparseFile sparse(dir.file("between.log"));
        ASSERT_TRUE(sparse.append(fileOf(first)) && sparse.hole(off_t{1} << 30) && sparse.append(fileOf(second)) &&
                    sparse.hole(off_t{7} << 29) && sparse.append("\n" + fileOf(third)));
    }
    ASSERT_EQ(openFile(file, dir.file("between.log")), 0);
    progress = indexed(file);
    EXPECT_GT(progress.size, uint64_t{9} << 29);
    EXPECT_EQ(std::make_tuple(progress.error, progress.skippedLines, progress.firstSkippedLine), std::make_tuple(0, 2u, 101u));
    std::vector<TimelineRecord> want = first;
    want.insert(want.end(), second.begin() + 1, second.end());
    want.insert(want.end(), third.begin(), third.end());
    expectRecords(file, want);
}
#endif

// Opened while it is being written: what it held then, its last line left out while its line end
// is still to come, however much is written after.
TEST(TimelineFile, AFileThatGrowsAfterItWasOpenedShowsWhatItHeldThen) {
    ScratchDir dir;
    const std::vector<TimelineRecord> records = makeRecords(25000, 64, 4);
    const std::vector<TimelineRecord> before(records.begin(), records.begin() + 20000);
    const std::string rest = fileOf(std::vector<TimelineRecord>(records.begin() + 20000, records.end()));
    const size_t held = recordLine(records[20000]).size() - 1;
    dir.write("growing.log", fileOf(before) + rest.substr(0, held));
    TimelineFile file;
    ASSERT_EQ(openFile(file, dir.file("growing.log")), 0);
    std::ofstream(dir.file("growing.log"), std::ios::binary | std::ios::app) << rest.substr(held);
    const TimelineFile::Progress progress = indexed(file);
    EXPECT_EQ(std::make_tuple(progress.records, progress.skippedLines), std::make_tuple(before.size(), 0u));
    EXPECT_EQ(std::make_pair(progress.bytesRead, progress.size), std::make_pair(fileOf(before).size() + held, fileOf(before).size() + held));
    const std::vector<TimelineRecord> got = readAll(file);
    ASSERT_EQ(got.size(), before.size());
    for (size_t i = 0; i < got.size(); i += 997) expectSameRecord(got[i], before[i]);
    expectSameRecord(got.back(), before.back());
}

// While the indexer runs, every answer the window gets is one a walk over the records gives for
// what has been indexed so far; reads anywhere give the records asked for; an end while indexing
// stops the indexer.
TEST(TimelineFile, AnswersWhileIndexingAgreeWithAWalkOverTheRecords) {
    ScratchDir dir;
    const std::vector<TimelineRecord> records = makeRecords(60000, 90, 6);
    dir.write("big.log", fileOf(records));
    std::vector<uint64_t> rowsBefore[3];
    for (int f = 0; f < 3; ++f) {
        uint64_t rows = 0;
        for (const TimelineRecord& r : records) {
            rowsBefore[f].push_back(rows);
            if (timelineShows(static_cast<TimelineFilter>(f), r.channel)) rows += timelineRows(r.bytes.size());
        }
        rowsBefore[f].push_back(rows);
    }
    { TimelineFile ended; ASSERT_EQ(openFile(ended, dir.file("big.log")), 0); }
    TimelineFile file;
    ASSERT_EQ(openFile(file, dir.file("big.log")), 0);
    std::mt19937 random(11);
    for (int looks = 0, last = 0; !last; ++looks) {
        last = file.progress().done;
        const uint64_t end = file.extent().end;
        ASSERT_LE(end, records.size());
        const TimelineFilter filter = static_cast<TimelineFilter>(looks % 3);
        const std::vector<uint64_t>& walk = rowsBefore[looks % 3];
        const uint64_t number = random() % (end + 1);
        ASSERT_EQ(file.rowsBefore(number, filter), walk[number]);
        uint64_t found = 0, at = 0;
        if (walk[end] > 0) {
            const uint64_t row = random() % walk[end];
            ASSERT_TRUE(file.recordAtRow(row, filter, found, at));
            ASSERT_EQ(walk[found] + at, row);
            ASSERT_LT(at, timelineRows(records[found].bytes.size()));
            ASSERT_TRUE(timelineShows(filter, records[found].channel));
        }
        std::vector<TimelineRecord> out;
        file.read(number, 50, out);
        // Records indexed since the extent was read may come too.
        ASSERT_GE(out.size(), std::min<uint64_t>(50, end - number));
        ASSERT_LE(out.size(), 50u);
        for (const TimelineRecord& r : out) expectSameRecord(r, records[r.number]);
    }
    EXPECT_EQ(file.extent().end, records.size());
    EXPECT_GT(file.indexBytes(), 0u);
    EXPECT_LE(file.indexBytes(), records.size() * 9);
}

}  // namespace

// Saved timelines on real files: the record-line reader against the one writer, a combined
// capture of the real program opened again, and files that are not all records, sparse,
// growing, or of another kind; the rows the window asks for against a walk over the records.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

#include "display/timeline_file.h"
#include "relay/combined_record.h"
#include "shell/session.h"
#include "tests/support/pty_cable.h"

namespace {

std::string recordLine(const TimelineRecord& r) {
    std::string line;
    appendCombinedRecord(line, r.local, r.micros, r.gapMicros, r.channel,
                         reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size());
    return line;
}

// The same record, to the second of its local time (a parsed time has no weekday or zone).
void expectSameRecord(const TimelineRecord& got, const TimelineRecord& want) {
    EXPECT_EQ(got.number, want.number);
    EXPECT_EQ(std::tie(got.local.tm_year, got.local.tm_mon, got.local.tm_mday, got.local.tm_hour, got.local.tm_min,
                       got.local.tm_sec),
              std::tie(want.local.tm_year, want.local.tm_mon, want.local.tm_mday, want.local.tm_hour,
                       want.local.tm_min, want.local.tm_sec))
        << "record " << want.number;
    EXPECT_EQ(got.micros, want.micros);
    EXPECT_EQ(got.gapMicros, want.gapMicros);
    EXPECT_EQ(got.channel, want.channel);
    EXPECT_EQ(got.bytes, want.bytes) << "record " << want.number;
}

// Records as a session makes them, numbered from 0: read times a few ms apart from 23:59:50
// (so the day changes), each tenth gap up to a day long, random bytes of random lengths; from
// record 1000 to 3199 of each 4000 only port 2's direction, longer than the index keeps together,
// so that one filter hides whole stretches of the index, and the end of a short file.
std::vector<TimelineRecord> makeRecords(size_t count, size_t maxLength, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<TimelineRecord> records(count);
    int64_t wall = int64_t{1796687990} * 1000000;  // 2026-12-07 23:59:50 UTC
    int channel = 1;
    for (size_t i = 0; i < count; ++i) {
        TimelineRecord& r = records[i];
        r.number = i;
        r.gapMicros = i == 0 ? 0 : i % 10 == 0 ? static_cast<int64_t>(random() % 100000) * 1000000 + 7
                                               : static_cast<int64_t>(random() % 20000);
        wall += r.gapMicros;
        const std::time_t second = static_cast<std::time_t>(wall / 1000000);
        gmtime_r(&second, &r.local);
        r.micros = static_cast<int32_t>(wall % 1000000);
        if (random() % 3 == 0) channel = 3 - channel;
        if (i % 4000 >= 1000 && i % 4000 < 3200) channel = 2;
        r.channel = channel;
        const size_t length = 1 + random() % maxLength;
        r.bytes.resize(length);
        for (char& c : r.bytes) c = static_cast<char>(random());
    }
    return records;
}

std::string fileOf(const std::vector<TimelineRecord>& records) {
    std::string text;
    for (const TimelineRecord& r : records) text += recordLine(r);
    return text;
}

TimelineFile::Progress indexed(const TimelineFile& file) {
    TimelineFile::Progress progress = file.progress();
    while (!progress.done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        progress = file.progress();
    }
    return progress;
}

std::vector<TimelineRecord> readAll(const TimelineSource& source) {
    std::vector<TimelineRecord> out;
    const TimelineExtent extent = source.extent();
    source.read(extent.first, static_cast<size_t>(extent.end - extent.first), out);
    return out;
}

// Every rows-before and every row against a walk over the records, under each filter.
void expectRowsAsAWalkCountsThem(const TimelineSource& source, const std::vector<TimelineRecord>& records) {
    for (TimelineFilter filter : {TimelineFilter::Both, TimelineFilter::OneToTwo, TimelineFilter::TwoToOne}) {
        SCOPED_TRACE(static_cast<int>(filter));
        uint64_t rows = 0;
        for (const TimelineRecord& r : records) {
            ASSERT_EQ(source.rowsBefore(r.number, filter), rows) << "record " << r.number;
            if (!timelineShows(filter, r.channel)) continue;
            for (uint64_t inRecord = 0; inRecord < timelineRows(r.bytes.size()); ++inRecord) {
                uint64_t number = 0, at = 0;
                ASSERT_TRUE(source.recordAtRow(rows + inRecord, filter, number, at)) << "row " << rows + inRecord;
                ASSERT_EQ(std::make_pair(number, at), std::make_pair(r.number, inRecord)) << "row " << rows + inRecord;
            }
            rows += timelineRows(r.bytes.size());
        }
        EXPECT_EQ(source.rowsBefore(records.size(), filter), rows);
        uint64_t number = 0, at = 0;
        EXPECT_FALSE(source.recordAtRow(rows, filter, number, at));
    }
}

int openFile(TimelineFile& file, const std::string& path) {
    int error = -1;
    return file.open(path, error) ? 0 : error;
}

// Lines the writer writes read back to the same fields, and a line that reads back is one the
// writer writes: every change of one character of a line is either refused or still a line the
// writer gives for what was read. Each prefix of a line is read from a buffer of just its size,
// so that a read past the end shows in the sanitizer build.
TEST(TimelineRecordLine, ReadsBackWhatTheWriterWritesAndNothingItWouldWriteOtherwise) {
    std::vector<TimelineRecord> records = makeRecords(400, 4096, 1);
    records[1].gapMicros = INT64_MAX;  // the longest gap there is
    records[2].bytes = std::string("|*IDN?\r\n\0\x7f|", 11);
    for (const TimelineRecord& want : records) {
        const std::string line = recordLine(want);
        TimelineRecord got;
        got.number = want.number;
        ASSERT_TRUE(parseTimelineRecord(line.data(), line.size() - 1, got)) << line;
        expectSameRecord(got, want);
        // The same line as a tool that writes CR LF leaves it.
        const std::string crlf = line.substr(0, line.size() - 1) + "\r";
        EXPECT_TRUE(parseTimelineRecord(crlf.data(), crlf.size(), got));
    }

    const std::string line = recordLine(records[2]).substr(0, recordLine(records[2]).size() - 1);
    TimelineRecord got;
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
        line + " ",                                     // something after the text column
        line + "\r\r",                                  // more than one CR
        "2026-12-07 14:03:27.123456 +0.004211 1>2  0    ||",  // no bytes
        "2026-12-07 14:03:27.123456 +0.004211 1>2  02  41 42  |AB|",  // a count of two digits for 2
        "2026-12-07 14:03:27.123456 +00.004211 1>2  2  41 42  |AB|",  // nor for the gap's seconds
        "2026-12-07 14:03:27.123456 +0.004211 1>2  2  41 4a  |AJ|",   // lower-case hex
        "2026-12-07 14:03:27.123456 +0.004211 1>2  2  41 42  |AC|",   // the columns disagree
        "2026-12-07 14:03:27.123456 +0.004211 1>1  2  41 42  |AB|",
        "2026-13-07 14:03:27.123456 +0.004211 1>2  2  41 42  |AB|",   // no 13th month
        "2026-12-07 24:03:27.123456 +0.004211 1>2  2  41 42  |AB|",
        "2026-12-07 14:03:27.123456 +9223372036854.775808 1>2  1  41  |A|",  // a gap past int64
        "2026-12-07 14:03:27.123456 +0.004211 2>1  3  41 42  |AB|",
    };
    for (const std::string& text : refused) EXPECT_FALSE(parseTimelineRecord(text.data(), text.size(), got)) << text;
    const std::string kept = "2026-12-07 14:03:27.123456 +9223372036854.775807 2>1  2  41 42  |AB|";
    EXPECT_TRUE(parseTimelineRecord(kept.data(), kept.size(), got));
    EXPECT_EQ(got.gapMicros, INT64_MAX);
}

// The real program's combined capture, written while the timeline window's records take the same
// chunks, opens to exactly those records: the same times, gaps, directions and bytes.
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
    const TimelineFile::Progress progress = indexed(file);
    EXPECT_EQ(progress.records, 600u);
    EXPECT_EQ(progress.skippedLines, 0u);
    EXPECT_EQ(progress.error, 0);
    EXPECT_EQ(progress.bytesRead, progress.size);
    const TimelineExtent extent = file.extent();
    EXPECT_EQ(std::make_tuple(extent.first, extent.end, extent.dropped), std::make_tuple(0u, 600u, 0u));
    const std::vector<TimelineRecord> saved = readAll(file);
    ASSERT_EQ(saved.size(), live.size());
    for (size_t i = 0; i < saved.size(); ++i) expectSameRecord(saved[i], live[i]);
    expectRowsAsAWalkCountsThem(file, live);
}

// Lines that are not records are counted and skipped wherever they are, and the records around
// them keep their rows; a last line with no line end (a file still being written) is left out.
TEST(TimelineFile, LinesThatAreNotRecordsAreCountedAndSkipped) {
    ScratchDir dir;
    const std::vector<TimelineRecord> records = makeRecords(3000, 40, 2);
    std::string text;
    size_t line = 0;
    std::vector<size_t> skipped;
    const auto junk = [&](const std::string& what) {
        text += what;
        skipped.push_back(++line);
    };
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
        text += record;
        ++line;
    }
    text += recordLine(records[0]).substr(0, 70);  // half written
    dir.write("mixed.log", text);

    TimelineFile file;
    ASSERT_EQ(openFile(file, dir.file("mixed.log")), 0);
    const TimelineFile::Progress progress = indexed(file);
    EXPECT_EQ(progress.records, records.size());
    EXPECT_EQ(progress.skippedLines, skipped.size());
    EXPECT_EQ(progress.firstSkippedLine, skipped.front());
    const std::vector<TimelineRecord> got = readAll(file);
    ASSERT_EQ(got.size(), records.size());
    for (size_t i = 0; i < got.size(); ++i) expectSameRecord(got[i], records[i]);
    expectRowsAsAWalkCountsThem(file, records);
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
        EXPECT_EQ(progress.records, 0u);
        EXPECT_EQ(progress.error, 0);
        EXPECT_TRUE(file.extent().empty());
        std::vector<TimelineRecord> out;
        file.read(0, 10, out);
        EXPECT_TRUE(out.empty());
        uint64_t number = 0, at = 0;
        EXPECT_FALSE(file.recordAtRow(0, TimelineFilter::Both, number, at));
    }
    TimelineFile file;
    EXPECT_EQ(openFile(file, dir.path()), EISDIR);
    EXPECT_EQ(openFile(file, dir.file("missing.log")), ENOENT);
}

#ifdef _WIN32
TEST(TimelineFile, ASparseFileIndexesToTheRecordsBetweenItsHoles) {
    GTEST_SKIP() << "a Windows file has holes only once it is marked sparse, and the timeline reads whatever "
                    "zeros a file holds there: gigabytes of them would be written and read here";
}
#else
// A file of holes and records, each hole a line of zeros: made by appending text and growing
// the file over holes.
class SparseFile {
public:
    explicit SparseFile(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)) {}
    ~SparseFile() { ::close(fd_); }
    bool append(const std::string& text) {
        return ::pwrite(fd_, text.data(), text.size(), ::lseek(fd_, 0, SEEK_END)) == static_cast<ssize_t>(text.size());
    }
    // To a whole MB: the data after the hole then begins where a record begins, as the file
    // system sees it, and only where the zeros were tells that it is on their line.
    bool hole(off_t bytes) { return ::ftruncate(fd_, (::lseek(fd_, 0, SEEK_END) + bytes) / (1 << 20) * (1 << 20)) == 0; }

private:
    int fd_;
};

void expectRecords(const TimelineFile& file, std::vector<TimelineRecord> want) {
    for (size_t i = 0; i < want.size(); ++i) want[i].number = i;
    const std::vector<TimelineRecord> got = readAll(file);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) expectSameRecord(got[i], want[i]);
    expectRowsAsAWalkCountsThem(file, want);
}

// Records only after a hole of 2 GB: the hole is a line of zeros, not a record. Then records
// between holes, a record written straight after a hole (part of the zeros' line), and records
// more than 4 GB after the first.
TEST(TimelineFile, ASparseFileIndexesToTheRecordsBetweenItsHoles) {
    ScratchDir dir;
    const std::vector<TimelineRecord> records = makeRecords(300, 100, 3);
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

    const std::vector<TimelineRecord> first(records.begin(), records.begin() + 100);
    const std::vector<TimelineRecord> second(records.begin() + 100, records.begin() + 200);
    const std::vector<TimelineRecord> third(records.begin() + 200, records.end());
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

// Opened while it is being written: what it held then, its last line left out while its line
// end is still to come, however much is written after.
TEST(TimelineFile, AFileThatGrowsAfterItWasOpenedShowsWhatItHeldThen) {
    ScratchDir dir;
    const std::vector<TimelineRecord> records = makeRecords(25000, 64, 4);
    const std::vector<TimelineRecord> before(records.begin(), records.begin() + 20000);
    const std::string rest = fileOf(std::vector<TimelineRecord>(records.begin() + 20000, records.end()));
    const size_t held = recordLine(records[20000]).size() - 1;
    dir.write("growing.log", fileOf(before) + rest.substr(0, held));
    TimelineFile file;
    ASSERT_EQ(openFile(file, dir.file("growing.log")), 0);
    {
        std::ofstream more(dir.file("growing.log"), std::ios::binary | std::ios::app);
        more << rest.substr(held);
    }
    const TimelineFile::Progress progress = indexed(file);
    EXPECT_EQ(progress.records, before.size());
    EXPECT_EQ(progress.skippedLines, 0u);
    EXPECT_EQ(progress.bytesRead, progress.size);
    EXPECT_EQ(progress.size, fileOf(before).size() + held);
    const std::vector<TimelineRecord> got = readAll(file);
    ASSERT_EQ(got.size(), before.size());
    for (size_t i = 0; i < got.size(); i += 997) expectSameRecord(got[i], before[i]);
    expectSameRecord(got.back(), before.back());
}

// While the indexer runs, every answer the window gets is one a walk over the records gives,
// for what has been indexed so far; reads anywhere give the records asked for, and an end while
// indexing stops the indexer.
TEST(TimelineFile, AnswersWhileIndexingAgreeWithAWalkOverTheRecords) {
    ScratchDir dir;
    const std::vector<TimelineRecord> records = makeRecords(60000, 90, 6);
    dir.write("big.log", fileOf(records));
    std::vector<uint64_t> rowsBefore[3];
    for (int f = 0; f < 3; ++f) {
        const TimelineFilter filter = static_cast<TimelineFilter>(f);
        uint64_t rows = 0;
        for (const TimelineRecord& r : records) {
            rowsBefore[f].push_back(rows);
            if (timelineShows(filter, r.channel)) rows += timelineRows(r.bytes.size());
        }
        rowsBefore[f].push_back(rows);
    }

    { TimelineFile ended; ASSERT_EQ(openFile(ended, dir.file("big.log")), 0); }
    TimelineFile file;
    ASSERT_EQ(openFile(file, dir.file("big.log")), 0);
    std::mt19937 random(11);
    int looks = 0;
    for (bool last = false; !last; ++looks) {
        last = file.progress().done;
        const uint64_t end = file.extent().end;
        ASSERT_LE(end, records.size());
        const TimelineFilter filter = static_cast<TimelineFilter>(looks % 3);
        const std::vector<uint64_t>& walk = rowsBefore[looks % 3];
        const uint64_t number = random() % (end + 1);
        ASSERT_EQ(file.rowsBefore(number, filter), walk[number]);
        uint64_t found = 0, at = 0;
        const uint64_t row = walk[end] == 0 ? 0 : random() % walk[end];
        if (walk[end] > 0) {
            ASSERT_TRUE(file.recordAtRow(row, filter, found, at));
            ASSERT_LE(walk[found], row);
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
    std::vector<TimelineRecord> out;
    file.read(records.size() - 3, 10, out);
    EXPECT_EQ(out.size(), 3u);
    out.clear();
    file.read(UINT64_MAX, SIZE_MAX, out);
    EXPECT_TRUE(out.empty());
}

}  // namespace

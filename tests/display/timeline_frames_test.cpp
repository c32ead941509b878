// The timeline's Frames view: the frames of the live list and of a saved capture are the frame
// log's lines, read back from a compact index; a saved frame log opens as the frames it holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "decode/frame_line.h"
#include "decode/frame_stream.h"
#include "display/timeline_file.h"
#include "display/timeline_frames.h"
#include "display/timeline_records.h"
#include "tests/decode/rtu_frame.h"
#include "tests/display/timeline_lines.h"
#include "tests/support/pty_cable.h"

namespace {

constexpr int64_t kStart = 1796687990000000;  // 2026-12-07 23:59:50 UTC, in microseconds

struct Read {
    int channel;
    std::string bytes;
    int64_t wall;
};

// Modbus RTU between a master on port 1 and two units, each frame cut into reads of 1 to 7 bytes, an answer's last
// reads now and then among the next request's first: transaction 7's answer has a bad CRC, 12 gets no answer before the
// next request 2 s later (a timeout), 20 is sent with the next request at once, and the last gets no answer at all.
std::vector<Read> modbusTraffic() {
    const std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> pairs = {
        {{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, {0x11, 0x03, 0x06, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40}},
        {{0x05, 0x06, 0x00, 0x01, 0x00, 0x03}, {0x05, 0x06, 0x00, 0x01, 0x00, 0x03}},
        {{0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}, {0x11, 0x10, 0x00, 0x01, 0x00, 0x02}},
        {{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, {0x11, 0x83, 0x02}},
    };
    std::mt19937 random(5);
    std::vector<Read> reads;
    const auto cut = [&](int channel, const std::vector<uint8_t>& frame, int64_t& wall) {
        for (size_t at = 0; at < frame.size();) {
            const size_t length = std::min<size_t>(frame.size() - at, 1 + random() % 7);
            reads.push_back({channel, {frame.begin() + at, frame.begin() + at + length}, wall});
            at += length;
            wall += 150;
        }
    };
    int64_t wall = kStart;
    std::vector<uint8_t> asking;
    for (int i = 0; i < 40; ++i) {
        const auto& [ask, told] = pairs[i % pairs.size()];
        const std::vector<uint8_t> request = rtu(ask);
        asking.insert(asking.end(), request.begin(), request.end());
        if (i == 20) continue;  // sent with the next: a read holds the end of one and the start of the other
        cut(1, asking, wall);
        asking.clear();
        if (i == 12 || i == 39) {
            wall += i == 12 ? 2'000'000 : 100'000;
            continue;
        }
        std::vector<uint8_t> answer = rtu(told);
        if (i == 7) answer.back() ^= 0x40;
        const int64_t answered = wall + 1000;
        int64_t answering = answered;
        cut(2, answer, answering);
        wall = i % 2 == 1 ? std::max(answered + 100, answering - 300) : answering + 3000;
    }
    std::stable_sort(reads.begin(), reads.end(), [](const Read& a, const Read& b) { return a.wall < b.wall; });
    return reads;
}

// The frame log's lines for the reads, as the shared pipeline gives them, with the first record
// number of each; a live line's quiet 2 s after the last read, or a file's end.
struct Reference {
    std::vector<std::string> lines;
    std::vector<uint64_t> firstRecords;
    std::string text(size_t from = 0, bool errorsOnly = false) const {
        std::string text;
        for (size_t i = from; i < lines.size(); ++i)
            if (!errorsOnly || verdictIsError(verdicts[i])) text += lines[i];
        return text;
    }
    std::vector<Verdict> verdicts;
};

Reference referenceOf(const std::vector<Read>& reads, bool quietAtEnd) {
    FrameStream stream(DecodeChoice{}, LineSettings{}, LineSettings{});
    std::vector<FrameRow> rows;
    for (uint64_t n = 0; n < reads.size(); ++n)
        stream.add(reads[n].channel, reinterpret_cast<const uint8_t*>(reads[n].bytes.data()), reads[n].bytes.size(),
                   reads[n].wall, n, rows);
    if (quietAtEnd) stream.quiet(reads.back().wall + 2'000'000, rows);
    else stream.finish(rows);
    Reference reference;
    for (const FrameRow& row : rows) {
        std::string line;
        appendFrameLine(line, row);
        reference.lines.push_back(line);
        reference.firstRecords.push_back(row.frame.firstRecord);
        reference.verdicts.push_back(row.reading.verdict);
    }
    return reference;
}

// The live list framed in slices while reads arrive, and once more at once under a bound that lets records
// go: the frame log's lines, the errors among them, rows that agree with the index.
TEST(TimelineFrames, LiveRecordsGiveTheFrameLogsLinesAndItsErrorsAndABoundLetsTheirRowsGo) {
    const std::vector<Read> reads = modbusTraffic();
    const Reference reference = referenceOf(reads, true);
    for (const uint64_t bound : {TimelineRecords::kMaxRecords, uint64_t{60}}) {
        SCOPED_TRACE(bound);
        TimelineRecords live(bound);
        live.setTaking(true);
        TimelineFrames frames(live, DecodeChoice{}, LineSettings{}, LineSettings{});
        for (size_t i = 0; i < reads.size(); ++i) {
            takeRead(live, reads[i].channel, reads[i].bytes, reads[i].wall, reads[i].wall - kStart);
            if (bound == 60 || i % 5 == 4) frames.advance(bound == 60 ? SIZE_MAX : 3, reads[i].wall);
        }
        while (!frames.advance(7, reads.back().wall)) {
        }
        EXPECT_EQ(frames.all().extent().end + 1, reference.lines.size()) << "the last request not yet timed out";
        frames.advance(7, reads.back().wall + 2'000'000);
        size_t gone = 0;
        while (reference.firstRecords[gone] < live.extent().first) ++gone;
        const TimelineExtent extent = frames.all().extent();
        EXPECT_EQ(std::make_tuple(extent.first, extent.end, extent.dropped),
                  std::make_tuple(uint64_t{gone}, uint64_t{reference.lines.size()}, uint64_t{gone}));
        const auto goneEnd = reference.verdicts.begin() + static_cast<std::ptrdiff_t>(gone);
        const auto errorsGone = std::count_if(reference.verdicts.begin(), goneEnd, verdictIsError);
        EXPECT_EQ(std::make_pair(frames.errors().extent().first, frames.errors().extent().dropped),
                  std::make_pair(uint64_t(errorsGone), uint64_t(errorsGone)));
        EXPECT_EQ(frameLines(readAll(frames.all())), reference.text(gone));
        EXPECT_EQ(frameLines(readAll(frames.errors())), reference.text(gone, true));
        EXPECT_EQ(readAll(frames.errors()).size() + errorsGone, 4u);  // the bad CRC and three timeouts
        EXPECT_EQ(frames.master(), 1);
        expectRowsAgree(frames.all());
        expectRowsAgree(frames.errors());
    }
}

// Frames of a saved combined capture are the frame log's lines; a saved frame log opens as the
// lines it holds, each written back the same, and its errors are its bad lines.
TEST(TimelineFrames, ASavedCaptureGivesTheFrameLogsLinesAndASavedFrameLogReadsBackAsItIs) {
    const std::vector<Read> reads = modbusTraffic();
    ScratchDir dir;
    TimelineRecords live;  // its records as the combined capture writes them
    live.setTaking(true);
    for (const Read& read : reads) takeRead(live, read.channel, read.bytes, read.wall, read.wall - kStart);
    dir.write("capture.log", linesOf(live));
    const std::string frameLog = referenceOf(reads, true).text();
    dir.write("frames.log", frameLog);

    const auto framesOf = [&](const std::string& name, TimelineFile& file, TimelineFrames& frames) {
        EXPECT_EQ(indexed(file, dir.file(name)).skippedLines, 0u);
        EXPECT_TRUE(eventually([&] { return frames.advance(50, 0, true); }));
    };
    TimelineFile captureFile, logFile;
    TimelineFrames captured(captureFile, DecodeChoice{}, LineSettings{}, LineSettings{});
    TimelineFrames logged(logFile, DecodeChoice{}, LineSettings{}, LineSettings{});
    framesOf("capture.log", captureFile, captured);
    framesOf("frames.log", logFile, logged);
    const Reference atTheEnd = referenceOf(reads, false);  // a file's end is no quiet line
    EXPECT_EQ(frameLines(readAll(captured.all())), atTheEnd.text());
    EXPECT_EQ(frameLines(readAll(captured.errors())), atTheEnd.text(0, true));

    const std::vector<TimelineRecord> lines = readAll(logFile);
    EXPECT_EQ(frameLines(lines), frameLog);
    EXPECT_TRUE(std::all_of(lines.begin(), lines.end(), [](const TimelineRecord& r) { return r.frame; }));
    EXPECT_EQ(frameLines(readAll(logged.all())), frameLog);
    EXPECT_EQ(frameLines(readAll(logged.errors())), referenceOf(reads, true).text(0, true));
    expectRowsAgree(logged.errors());
}

}  // namespace

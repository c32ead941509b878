// The timeline's two sources, the live record list and a saved combined capture.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

#include "display/timeline_export.h"
#include "display/timeline_file.h"
#include "display/timeline_find.h"
#include "record/pcap_record.h"
#include "shell/session.h"
#include "tests/display/timeline_lines.h"
#include "tests/support/child_process.h"
#include "tests/support/pty_cable.h"

namespace {

using enum TimelineFilter;
constexpr int64_t kStart = 1796687990000000;  // 2026-12-07 23:59:50 UTC, in microseconds

std::tm localOf(int64_t wallMicros) {
    const std::time_t second = static_cast<std::time_t>(wallMicros / 1000000);
    std::tm local{};
    return *localtime_r(&second, &local);
}

auto secondOf(const std::tm& t) { return std::make_tuple(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec); }

// Each record's line, numbered when asked: equal when every field is (a parsed time has no weekday).
std::string textOf(const std::vector<TimelineRecord>& records, bool numbered = true, size_t from = 0,
                   size_t to = SIZE_MAX) {
    std::string text;
    for (size_t i = from; i < std::min(to, records.size()); ++i)
        text += (numbered ? std::to_string(records[i].number) + " " : "") + recordLine(records[i]);
    return text;
}

// Records a few ms apart from 23:59:50 (the day changes), each tenth gap up to a day; records 1000 to
// 3199 of each 4000 port 2's, longer than the file's index keeps together, so that a filter hides stretches.
std::vector<TimelineRecord> makeRecords(size_t count, size_t maxLength, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<TimelineRecord> records(count);
    int64_t wall = kStart;
    int channel = 1;
    for (size_t i = 0; i < count; ++i) {
        TimelineRecord& r = records[i];
        r.number = i;
        if (i > 0 && i % 10 == 0) r.gapMicros = static_cast<int64_t>(random() % 100000) * 1000000 + 7;
        else if (i > 0) r.gapMicros = random() % 20000;
        wall += r.gapMicros;
        r.local = localOf(wall);
        r.micros = static_cast<int32_t>(wall % 1000000);
        if (random() % 3 == 0) channel = 3 - channel;
        r.channel = i % 4000 >= 1000 && i % 4000 < 3200 ? 2 : channel;
        r.bytes.resize(1 + random() % maxLength);
        for (char& c : r.bytes) c = static_cast<char>(random());
    }
    return records;
}

// The same records live and saved, with lines not records (skipped and counted), CR LF ends and a
// half-written last line (left out): reads give the records asked for; rows agree with a walk.
TEST(TimelineSources, ReadsGiveTheRecordsWholeAndRowsAgreeWithAWalk) {
    const std::vector<TimelineRecord> records = makeRecords(9000, 100, 2);
    TimelineRecords live{10000000, uint64_t{1} << 30};
    live.setTaking(true);
    int64_t wall = kStart;
    for (const TimelineRecord& r : records) {
        wall += r.gapMicros;
        takeRead(live, r.channel, r.bytes, wall, wall - kStart);
    }
    ScratchDir dir;
    std::string text, binary = randomBytes(5000, 4);
    std::replace(binary.begin(), binary.end(), '\n', ' ');
    for (size_t i = 0; i < records.size(); ++i) {  // 16 lines not records in all, the first the 6th
        std::string record = recordLine(records[i]), wrong = record;
        wrong[wrong.size() - 3] = wrong[wrong.size() - 3] == '.' ? 'x' : '.';  // the text column disagrees
        text += i == 5 ? "\n" : i == 10 ? "[DEVICES]\n" : i == 20 ? record.substr(0, 60) + "\n" : i == 1234 ? binary + "\n" : "";
        text += i % 700 == 699 ? wrong : "";
        text += i % 7 == 0 ? record.insert(record.size() - 1, "\r") : record;
    }
    dir.write("saved.log", text + recordLine(records[0]).substr(0, 70));
    TimelineFile saved;
    const TimelineFile::Progress progress = indexed(saved, dir.file("saved.log"));
    EXPECT_EQ(std::make_tuple(progress.records, progress.skippedLines, progress.firstSkippedLine, progress.error,
                              progress.bytesRead),
              std::make_tuple(records.size(), 16u, 6u, 0, progress.size));
    for (const TimelineSource* source : std::initializer_list<const TimelineSource*>{&live, &saved}) {
        const TimelineExtent extent = source->extent();
        EXPECT_EQ(std::make_tuple(extent.first, extent.end, extent.dropped), std::make_tuple(0u, 9000u, 0u));
        const std::tuple<uint64_t, size_t, size_t> reads[] = {
            {0, 9000, 9000}, {8990, SIZE_MAX, 10}, {8998, 100, 2}, {9000, 10, 0}, {UINT64_MAX, SIZE_MAX, 0}};
        for (const auto& [from, count, given] : reads) {
            std::vector<TimelineRecord> out;
            source->read(from, count, out);
            const auto at = records.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(from, 9000));
            EXPECT_EQ(textOf(out), textOf({at, at + static_cast<std::ptrdiff_t>(given)})) << from;
        }
        expectRowsAgree(*source, records);
    }
}

// The newest records are kept, saying how many went since when, anew after a clear; by bytes the newest stays whatever its size.
TEST(TimelineRecords, BoundsKeepTheNewestAndRowsTheirCountRecordsAreTakenOnlyWhileOpenGapsOfTheMonotonicClock) {
    TimelineRecords records(5), bytes(1000, 10);
    records.setTaking(true);
    bytes.setTaking(true);
    for (int i = 0; i < 12; ++i) takeRead(records, i % 2 + 1, "r" + std::to_string(i), kStart + i * 1000000, i * 1000);
    const TimelineExtent extent = records.extent();
    EXPECT_EQ(std::make_tuple(extent.first, extent.end, extent.dropped), std::make_tuple(7u, 12u, 7u));
    EXPECT_EQ(secondOf(extent.droppedSince), secondOf(localOf(kStart)));  // the first record let go
    std::vector<TimelineRecord> held;
    for (int n = 7; n < 12; ++n)
        held.push_back({uint64_t(n), localOf(kStart + n * 1000000), 0, 1000, n % 2 + 1, "r" + std::to_string(n), {}, {}, {}});
    EXPECT_EQ(textOf(readAll(records)), textOf(held));
    EXPECT_EQ(records.heldBytes(), 3u * 2 + 2 * 3);
    std::vector<TimelineRecord> out;
    records.read(0, 9, out);  // 0..8, of which 7 and 8 are held
    EXPECT_EQ(textOf(out), textOf({held[0], held[1]}));
    records.clear();
    EXPECT_TRUE(records.extent().empty() && records.extent().dropped == 0);
    for (int i = 0; i < 6; ++i) takeRead(records, 1, "x", kStart + (100 + i) * 1000000, (100 + i) * 1000);
    EXPECT_EQ(std::make_pair(records.extent().dropped, secondOf(records.extent().droppedSince)),
              std::make_pair(uint64_t{1}, secondOf(localOf(kStart + 100 * 1000000))));
    const std::tuple<std::string, uint64_t, uint64_t, uint64_t> steps[] = {  // added, then held bytes, first and end
        {"aaaa", 4, 0, 1}, {"bbbb", 8, 0, 2}, {"cccc", 8, 1, 3}, {std::string(20, 'd'), 20, 3, 4}, {"e", 1, 4, 5}};
    for (int64_t t = 0; const auto& [added, heldBytes, first, end] : steps) {
        takeRead(bytes, 1 + t % 2, added, kStart + t, t);
        ++t;
        EXPECT_EQ(
            std::make_tuple(bytes.heldBytes(), bytes.extent().first, bytes.extent().end, readAll(bytes).back().bytes),
            std::make_tuple(heldBytes, first, end, added));
    }
    EXPECT_EQ(bytes.extent().dropped, 4u);

    // Rows keep their count while older records go, one or several at once (by count and by bytes), and over a clear.
    std::vector<TimelineRecord> given;
    std::mt19937 random(3);
    const auto add = [&](TimelineRecords& to, int count) {
        for (int i = 0; i < count; ++i) {  // runs of one direction, so that a filter hides runs
            TimelineRecord r;
            r.channel = (given.empty() ? 1 : given.back().channel) ^ (random() % 4 == 0 ? 3 : 0);
            r.bytes.assign(std::vector<size_t>{1, 5, 15, 16, 17, 31, 32, 33, 48, 49, 100}[random() % 11], 'x');
            const auto at = static_cast<int64_t>(given.size());
            takeRead(to, r.channel, r.bytes, kStart + at, at);
            given.push_back(r);
        }
        expectRowsAgree(to, given);
    };
    TimelineRecords byCount(60), byBytes(1000, 300);
    byCount.setTaking(true);
    byBytes.setTaking(true);
    add(byCount, 40);
    std::vector<uint64_t> rows;
    for (uint64_t n = 0; n < 120; ++n) rows.push_back(byCount.rowsBefore(n / 3, static_cast<TimelineFilter>(n % 3)));
    add(byCount, 35);
    ASSERT_EQ(byCount.extent().first, 15u);
    for (uint64_t n = 45; n < 120; ++n) EXPECT_EQ(byCount.rowsBefore(n / 3, static_cast<TimelineFilter>(n % 3)), rows[n]) << n;
    add(byCount, 500);
    byCount.clear();
    ASSERT_TRUE(byCount.extent().empty());
    given.resize(byCount.extent().end);
    add(byCount, 30);
    given.clear();
    for (int i = 0; i < 11; ++i) add(byBytes, 37);
    EXPECT_GT(byBytes.extent().dropped, 0u);

    // Closed until the window opens, and closed again it holds nothing. Gaps are of the monotonic clock, never
    // negative; a clear keeps the gap to the chunk before, a window opened anew starts at 0.
    TimelineRecords closed;
    const auto gaps = [&](const std::vector<std::pair<int64_t, int64_t>>& reads) {  // wall and monotonic times
        int channel = 1;
        for (const auto& [wall, monotonic] : reads) takeRead(closed, channel = 3 - channel, "a", wall, monotonic);
        std::vector<int64_t> result;
        for (const TimelineRecord& record : readAll(closed)) result.push_back(record.gapMicros);
        return result;
    };
    EXPECT_TRUE(!closed.takesReads() && gaps({{kStart, 0}}).empty());
    closed.setTaking(true);
    EXPECT_EQ(gaps({{kStart, 5000000}, {kStart + 4211, 5004211}, {kStart - 3600000000LL, 5010000},
                    {kStart + 1, 5009000}, {kStart + 2, 5009500}}),
              (std::vector<int64_t>{0, 4211, 5789, 0, 500}));
    closed.clear();
    EXPECT_EQ(gaps({{kStart + 3, 5010500}}), std::vector<int64_t>{1000});
    closed.setTaking(false);
    EXPECT_TRUE(!closed.takesReads() && closed.extent().empty() && closed.heldBytes() == 0);
    EXPECT_TRUE(gaps({{kStart + 3, 5015000}}).empty());
    closed.setTaking(true);
    EXPECT_EQ(gaps({{kStart + 4, 5020000}}), std::vector<int64_t>{0});
}

// Reads while a worker adds and the bound drops see whole records in order. (ThreadSanitizer runs this too.)
TEST(TimelineRecords, ReadsWhileAWorkerAddsSeeWholeRecordsInOrder) {
    TimelineRecords records(300, 4000);
    records.setTaking(true);
    std::atomic<bool> done = false;
    std::thread worker([&] {
        for (int i = 0; i < 30000; ++i)
            takeRead(records, i % 3 == 0 ? 2 : 1, "#" + std::to_string(i) + std::string(i % 40, '.'), kStart + i, i);
        done = true;
    });
    for (bool last = false; !last;) {
        last = done;
        const TimelineExtent extent = records.extent();
        std::vector<TimelineRecord> out;
        records.read(extent.first, 200, out);
        for (size_t i = 0; const TimelineRecord& r : out)
            ASSERT_TRUE(r.bytes == "#" + std::to_string(r.number) + std::string(r.number % 40, '.') &&
                        r.channel == (r.number % 3 == 0 ? 2 : 1) && (i++ == 0 || r.number == out[i - 2].number + 1))
                << r.number;
        uint64_t number = 0, rowInRecord = 0;
        const uint64_t row = records.rowsBefore(extent.end, TwoToOne);
        ASSERT_FALSE(row > 0 && records.recordAtRow(row - 1, TwoToOne, number, rowInRecord) && number % 3 != 0);
    }
    worker.join();
    EXPECT_EQ(records.extent().end, 30000u);
}

// The program's combined capture, written while its timeline takes the same chunks, opens to exactly those records.
TEST(TimelineFile, ACombinedCaptureOfTheProgramOpensToTheRecordsItsTimelineHeld) {
    ScratchDir dir;
    Session app;
    app.timeline.setTaking(true);
    ASSERT_EQ(app.captures.openCombinedCapture(dir.file("both.log")), 1);
    std::mt19937 random(5);
    const std::string traffic = randomBytes(1 << 16, 3);
    for (int chunk = 0; chunk < 600; ++chunk) {  // mostly short reads, now and then a long one
        const size_t length = chunk % 50 == 7 ? 1024 : 1 + random() % 64;
        app.readOrder.onRead(1 + static_cast<int>(random() % 2),
                             reinterpret_cast<const uint8_t*>(traffic.data()) + random() % 60000, length);
        if (chunk % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    ASSERT_TRUE(app.captures.combinedCapture.close() && app.timeline.extent().end == 600u);
    TimelineFile file;
    indexed(file, dir.file("both.log"));
    EXPECT_EQ(textOf(readAll(file)), textOf(readAll(app.timeline)));
}

// Records `from`..`to` as a pcap or pcapng file holds them, read times from kStart; a pcapng section starts anew
// where `sections` says. Each packet's start goes to `starts`.
std::string capturedAs(PcapForm form, const std::vector<TimelineRecord>& records,
                       std::initializer_list<size_t> sections, std::vector<size_t>* starts = nullptr) {
    std::string out;
    int64_t wall = kStart;
    for (size_t i = 0; i < records.size(); ++i) {
        const TimelineRecord& r = records[i];
        wall += r.gapMicros;
        if (i == 0 || std::find(sections.begin(), sections.end(), i) != sections.end())
            appendPcapStart(out, form, "test", "COM1 <-> COM2");
        if (starts != nullptr) starts->push_back(out.size());
        appendPcapRecord(out, form, wall, r.channel, reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size());
    }
    return out;
}

// Debian's editcap, on Linux: under Wine /usr/bin/editcap would be the Linux one, given Windows paths.
#ifdef _WIN32
const std::string kEditcap;
#else
const std::string kEditcap = std::filesystem::exists("/usr/bin/editcap") ? "/usr/bin/editcap" : "";
#endif

// Written by our writer in either form (a pcapng appended to: two sections), exported from a saved capture, by
// editcap (classic pcap, µs and ns), or with a line-state packet among them: the same records, times to the µs, gaps
// and bytes; rows agree with a walk. A file cut inside its last packet shows those before it and says where.
TEST(TimelineFile, PcapAndPcapngFilesOpenToTheRecordsTheyHoldTimesGapsAndBytesExact) {
    std::vector<TimelineRecord> records = makeRecords(3000, 300, 6);
    records[1700].bytes = randomBytes(70000, 6);  // more than the indexer reads in one go
    ScratchDir dir;
    const auto expectRecords = [&](const std::string& name, const std::string& content = {}, uint64_t skipped = 0,
                                   uint64_t firstSkipped = 0) {
        SCOPED_TRACE(name);
        if (!content.empty()) dir.write(name, content);
        TimelineFile file;
        const TimelineFile::Progress progress = indexed(file, dir.file(name));
        EXPECT_EQ(std::make_tuple(progress.capture, progress.records, progress.skippedLines, progress.firstSkippedLine,
                                  progress.stop, progress.bytesRead),
                  std::make_tuple(true, records.size(), skipped, firstSkipped, PcapStop::None, progress.size));
        EXPECT_EQ(textOf(readAll(file)), textOf(records));
        for (const uint64_t from : {1u, 999u, 2999u}) {  // a gap is to the record before, read or not
            std::vector<TimelineRecord> out;
            file.read(from, 3, out);
            EXPECT_EQ(textOf(out), textOf(records, true, from, from + 3)) << from;
        }
        expectRowsAgree(file, records);
    };
    expectRecords("ours.pcap", capturedAs(PcapForm::Pcap, records, {}));
    std::vector<size_t> starts;
    const std::string appended = capturedAs(PcapForm::PcapNg, records, {1234}, &starts);
    expectRecords("ours.pcapng", appended);

    // A line-state record (event type 0x05, no data) between records 499 and 500 is counted, not shown.
    const size_t at = starts[500];
    std::string lineState = appended.substr(starts[499], at - starts[499]);
    lineState[28 + 8] = '\x05';
    expectRecords("line-state.pcapng", appended.substr(0, at) + lineState + appended.substr(at), 1, 501);

    // A saved combined capture exported as EXPORT writes it, then opened.
    dir.write("saved.log", textOf(records, false));
    TimelineFile saved;
    indexed(saved, dir.file("saved.log"));
    for (const PcapForm form : {PcapForm::Pcap, PcapForm::PcapNg}) {
        std::string exported;
        appendPcapStart(exported, form, "test", "COM1 <-> COM2");
        TimelineSelection all{0, records.size() - 1};
        RecordClock clock;
        ASSERT_TRUE(appendPcapSelection(saved, all, form, clock, SIZE_MAX, exported));
        const std::string name = form == PcapForm::Pcap ? "exported.pcap" : "exported.pcapng";
        expectRecords(name, exported);
    }

    if (!kEditcap.empty()) {
        for (const char* form : {"pcap", "nsecpcap", "pcapng"}) {
            const std::string name = std::string("editcap.") + form;
            ChildProcess convert(kEditcap, {"-F", form, dir.file("ours.pcapng"), dir.file(name)});
            ASSERT_EQ(convert.wait(), 0) << convert.output();
            expectRecords(name);
        }
    }

    dir.write("cut.pcapng", appended.substr(0, appended.size() - 5));
    TimelineFile cut;
    TimelineFile::Progress progress = indexed(cut, dir.file("cut.pcapng"));
    EXPECT_EQ(std::make_tuple(progress.records, progress.stop, progress.stopAt),
              std::make_tuple(records.size() - 1, PcapStop::Truncated, uint64_t{starts.back()}));
    EXPECT_EQ(textOf(readAll(cut)), textOf(records, true, 0, records.size() - 1));
    // Cut again while open, inside record 2000: the records it still holds whole.
    std::filesystem::resize_file(dir.file("cut.pcapng"), starts[2000] + 40);
    readAll(cut);  // comes up short: it looks for itself
    progress = cut.progress();
    EXPECT_EQ(std::make_tuple(progress.cut, progress.records), std::make_tuple(true, uint64_t{2000}));
    EXPECT_EQ(textOf(readAll(cut)), textOf(records, true, 0, 2000));
    if (kEditcap.empty()) GTEST_SKIP() << "editcap (Debian's wireshark-common) is not installed";
}

// A capture of another link type shows nothing and names the link type, whether its file header, its only interface
// or its first packet's interface says so; one that also describes a serial interface shows its serial records. A
// damaged block length stops the reading there, the records before it shown.
TEST(TimelineFile, ACaptureOfAnotherLinkTypeIsRefusedNamingItAndADamagedOneShowsTheRecordsBeforeTheDamage) {
    const std::vector<TimelineRecord> records = makeRecords(100, 40, 7);
    std::vector<size_t> starts;
    const std::string pcap = capturedAs(PcapForm::Pcap, records, {}),
                      ng = capturedAs(PcapForm::PcapNg, records, {}, &starts);
    uint32_t headLength = 0, interfaceLength = 0;  // of the section header and the interface description
    std::memcpy(&headLength, ng.data() + 4, 4);
    std::memcpy(&interfaceLength, ng.data() + headLength + 4, 4);
    std::string ethernetPcap = pcap, ethernetNg = ng, damaged = ng;
    ethernetPcap[20] = '\x01';
    ethernetNg[headLength + 8] = '\x01';
    damaged[starts[50] + 4] = '\x07';  // a length no block has
    const std::string noPackets = ethernetNg.substr(0, headLength + interfaceLength);
    // An Ethernet interface described first, then the serial one, whose packets are interface 1's.
    std::string both = noPackets + ng.substr(headLength);
    for (size_t at = headLength + 2 * interfaceLength; at < both.size();) {
        uint32_t length = 0;
        std::memcpy(&length, both.data() + at + 4, 4);
        both[at + 8] = '\x01';
        at += length;
    }
    ScratchDir dir;
    // Name, content, why the reading stopped, the link type refused, where it stopped, records held.
    const std::tuple<std::string, std::string, PcapStop, uint32_t, uint64_t, size_t> cases[] = {
        {"ethernet.pcap", ethernetPcap, PcapStop::LinkType, 1u, 0u, 0},
        {"ethernet.pcapng", ethernetNg, PcapStop::LinkType, 1u, headLength + interfaceLength, 0},
        {"no-packets.pcapng", noPackets, PcapStop::LinkType, 1u, headLength, 0},
        {"both.pcapng", both, PcapStop::None, 0u, 0u, records.size()},
        {"damaged.pcapng", damaged, PcapStop::Malformed, 0u, starts[50], 50},
    };
    for (const auto& [name, content, stop, linkType, at, held] : cases) {
        SCOPED_TRACE(name);
        dir.write(name, content);
        TimelineFile file;
        const TimelineFile::Progress progress = indexed(file, dir.file(name));
        EXPECT_EQ(
            std::make_tuple(progress.capture, progress.stop, progress.linkType, progress.stopAt, progress.records),
            std::make_tuple(true, stop, linkType, at, uint64_t{held}));
        EXPECT_EQ(textOf(readAll(file)), textOf(records, true, 0, held));
    }
}

#ifndef _WIN32  // a Windows file has holes only once marked sparse: its zeros would be written out
// Records between holes, each a line of zeros grown to a whole MB, so that only where the zeros were tells
// that the data after a hole is on their line; records more than 4 GB after the first.
TEST(TimelineFile, ASparseFileIndexesToTheRecordsBetweenItsHoles) {
    ScratchDir dir;
    std::vector<TimelineRecord> records = makeRecords(300, 100, 3);
    const std::string path = dir.file("sparse.log");
    const auto hole = [&](uintmax_t bytes) {
        std::filesystem::resize_file(path, (std::filesystem::file_size(path) + bytes) / (1 << 20) * (1 << 20));
    };
    const auto append = [&](const std::string& text) { std::ofstream(path, std::ios::binary | std::ios::app) << text; };
    dir.write("sparse.log", textOf(records, false, 0, 100));
    hole(uintmax_t{1} << 30);
    append(textOf(records, false, 100, 200));
    hole(uintmax_t{7} << 29);
    append("\n" + textOf(records, false, 200));
    TimelineFile file;
    const TimelineFile::Progress progress = indexed(file, path);
    EXPECT_GT(progress.size, uint64_t{9} << 29);
    EXPECT_EQ(std::make_tuple(progress.error, progress.skippedLines, progress.firstSkippedLine), std::make_tuple(0, 2u, 101u));
    records.erase(records.begin() + 100);  // the first after a hole is on the zeros' line
    for (size_t i = 0; i < records.size(); ++i) records[i].number = i;
    EXPECT_EQ(textOf(readAll(file)), textOf(records));
    expectRowsAgree(file, records);
}
#endif

// While indexing, every answer agrees with a walk over the records indexed so far; an end stops the indexer.
// Opened while written: its last line left out until its end comes. Written over in place, lines no longer
// records are left out and a search goes past them; cut, it holds the lines still whole, and says so.
TEST(TimelineFile, AnswersWhileIndexingAgreeWithAWalkAndAFileGrownOrCutShowsWhatItStillHolds) {
    ScratchDir dir;
    const std::vector<TimelineRecord> records = makeRecords(62000, 90, 4);
    const std::string before = textOf(records, false, 0, 60000), rest = textOf(records, false, 60000),
                      path = dir.file("growing.log");
    const size_t held = recordLine(records[60000]).size() - 1;
    dir.write("growing.log", before + rest.substr(0, held));
    std::vector<uint64_t> rowsBefore[3] = {{0}, {0}, {0}};
    for (int f = 0; f < 3; ++f)
        for (const TimelineRecord& r : records)
            rowsBefore[f].push_back(rowsBefore[f].back() + (timelineShows(static_cast<TimelineFilter>(f), r.channel)
                                                                ? timelineRows(r.bytes.size())
                                                                : 0));
    int error = 0;
    ASSERT_TRUE(std::make_unique<TimelineFile>()->open(path, error));  // gone at once: an end stops the indexer
    TimelineFile file;
    ASSERT_TRUE(file.open(path, error));
    std::ofstream(path, std::ios::binary | std::ios::app) << rest.substr(held);
    std::mt19937 random(11);
    for (int looks = 0, last = 0; !last; ++looks) {
        last = file.progress().done;
        const uint64_t end = file.extent().end, number = random() % (end + 1);
        ASSERT_LE(end, 60000u);
        const TimelineFilter filter = static_cast<TimelineFilter>(looks % 3);
        const std::vector<uint64_t>& walk = rowsBefore[looks % 3];
        ASSERT_EQ(file.rowsBefore(number, filter), walk[number]);
        uint64_t found = 0, at = 0, row = walk[end] > 0 ? random() % walk[end] : 0;
        ASSERT_TRUE(walk[end] == 0 ||
                    (file.recordAtRow(row, filter, found, at) && walk[found] + at == row &&
                     at < timelineRows(records[found].bytes.size()) && timelineShows(filter, records[found].channel)))
            << row;
        std::vector<TimelineRecord> out;
        file.read(number, 50, out);  // records indexed since the extent was read may come too
        ASSERT_TRUE(out.size() >= std::min<uint64_t>(50, end - number) && out.size() <= 50u);
        for (const TimelineRecord& r : out) ASSERT_EQ(textOf({r}), textOf({records.at(r.number)}));
    }
    TimelineFile::Progress progress = indexed(file);
    EXPECT_TRUE(file.indexBytes() > 0 && file.indexBytes() <= 60000 * 9);
    EXPECT_EQ(std::make_tuple(progress.records, progress.skippedLines, progress.cut), std::make_tuple(60000u, 0u, false));
    EXPECT_EQ(std::make_pair(progress.bytesRead, progress.size), std::make_pair(before.size() + held, before.size() + held));
    EXPECT_EQ(textOf(readAll(file)), textOf({records.begin(), records.begin() + 60000}));

    std::fstream(path, std::ios::binary | std::ios::in | std::ios::out).seekp(600000) << std::string(100000, 'x');
    const auto linesBefore = [&](size_t at) {
        return static_cast<size_t>(std::count(before.begin(), before.begin() + at, '\n'));
    };
    std::vector<TimelineRecord> kept(records.begin(), records.begin() + linesBefore(600000));
    kept.insert(kept.end(), records.begin() + linesBefore(700000) + 1, records.begin() + 60000);
    EXPECT_EQ(textOf(readAll(file)), textOf(kept));
    TimelineFind find(file, std::string(1, records[59999].bytes[0]), Both);
    EXPECT_TRUE(find.advance(100000) && find.count() > 0);
    EXPECT_FALSE(file.checkSize() || file.progress().cut);

    const size_t whole = linesBefore(1000000);
    std::filesystem::resize_file(path, 1000000);
    readAll(file);  // comes up short: it looks for itself
    progress = file.progress();
    EXPECT_EQ(std::make_tuple(progress.cut, progress.cutTo, progress.records, file.extent().end),
              std::make_tuple(true, 1000000u, whole, whole));
    EXPECT_EQ(textOf(readAll(file)), textOf({kept.begin(), kept.end() - (60000 - whole)}));
    expectRowsAgree(file, records);
    std::filesystem::resize_file(path, 0);
    EXPECT_TRUE(file.checkSize());
    EXPECT_EQ(std::make_tuple(file.progress().cutTo, file.extent().end, readAll(file).size()),
              std::make_tuple(0u, 0u, size_t{0}));
}

}  // namespace

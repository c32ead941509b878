// The timeline's live record list as the relay and the window use it: chunks taken through its
// read listener, rows and records asked for by the window, the bound letting the oldest go.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

#include "display/timeline_records.h"

namespace {

constexpr int64_t kStart = 1700000000123456;  // a wall time with microseconds

void take(TimelineRecords& records, int channel, const std::string& bytes, int64_t wall, int64_t monotonic) {
    records.onRead(channel, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), ReadTime{wall, monotonic});
}

std::vector<TimelineRecord> readAll(const TimelineRecords& records) {
    const TimelineExtent extent = records.extent();
    std::vector<TimelineRecord> out;
    records.read(extent.first, static_cast<size_t>(extent.end - extent.first), out);
    return out;
}

std::tm localOf(int64_t wallMicros) {
    const std::time_t second = static_cast<std::time_t>(wallMicros / 1000000);
    std::tm local{};
    localtime_r(&second, &local);
    return local;
}

bool sameSecond(const std::tm& a, const std::tm& b) {
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

// --- The bound -------------------------------------------------------------------------------

TEST(TimelineRecords, TheBoundByCountKeepsTheNewestAndSaysHowManyWentSinceWhen) {
    TimelineRecords records(5);
    records.setTaking(true);
    for (int i = 0; i < 12; ++i) take(records, i % 2 + 1, "r" + std::to_string(i), kStart + i * 1000000, i * 1000);
    const TimelineExtent extent = records.extent();
    EXPECT_EQ(extent.first, 7u);
    EXPECT_EQ(extent.end, 12u);
    EXPECT_EQ(extent.dropped, 7u);
    EXPECT_TRUE(sameSecond(extent.droppedSince, localOf(kStart)));  // the first record let go
    const std::vector<TimelineRecord> held = readAll(records);
    ASSERT_EQ(held.size(), 5u);
    for (size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(held[i].number, 7 + i);
        EXPECT_EQ(held[i].bytes, "r" + std::to_string(7 + i));
        EXPECT_EQ(held[i].channel, static_cast<int>((7 + i) % 2 + 1));
        EXPECT_TRUE(sameSecond(held[i].local, localOf(kStart + static_cast<int64_t>(7 + i) * 1000000)));
        EXPECT_EQ(held[i].micros, 123456);
    }
    EXPECT_EQ(records.heldBytes(), 3u * 2 + 2 * 3);

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
    take(records, 1, "aaaa", kStart, 0);        // 0
    take(records, 2, "bbbb", kStart + 1, 1);    // 1
    EXPECT_EQ(records.heldBytes(), 8u);
    EXPECT_EQ(records.extent().dropped, 0u);
    take(records, 1, "cccc", kStart + 2, 2);    // 2: 12 bytes, so record 0 goes
    EXPECT_EQ(records.heldBytes(), 8u);
    EXPECT_EQ(records.extent().first, 1u);
    take(records, 2, std::string(20, 'd'), kStart + 3, 3);  // 3: larger than the bound alone
    EXPECT_EQ(records.extent().first, 3u);
    EXPECT_EQ(records.extent().end, 4u);
    EXPECT_EQ(records.heldBytes(), 20u);
    ASSERT_EQ(readAll(records).size(), 1u);
    EXPECT_EQ(readAll(records)[0].bytes, std::string(20, 'd'));
    take(records, 1, "e", kStart + 4, 4);       // 4
    EXPECT_EQ(records.heldBytes(), 1u);
    EXPECT_EQ(records.extent().dropped, 4u);
    ASSERT_EQ(readAll(records).size(), 1u);
    EXPECT_EQ(readAll(records)[0].bytes, "e");
    EXPECT_EQ(readAll(records)[0].number, 4u);
}

TEST(TimelineRecords, ReadGivesTheRecordsStillHeldOfThoseAskedFor) {
    TimelineRecords records(4);
    records.setTaking(true);
    for (int i = 0; i < 6; ++i) take(records, 1, std::string(1, static_cast<char>('a' + i)), kStart + i, i);
    // Held: 2..5.
    std::vector<TimelineRecord> out;
    records.read(0, 4, out);  // 0..3, of which 2 and 3 are held
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].number, 2u);
    EXPECT_EQ(out[1].bytes, "d");
    out.clear();
    records.read(4, 100, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].number, 5u);
    out.clear();
    records.read(6, 10, out);
    EXPECT_TRUE(out.empty());
    // "As many as there are": a count too large to add to the first number still means all.
    out.clear();
    records.read(3, SIZE_MAX, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].bytes, "d");
    EXPECT_EQ(out[2].bytes, "f");
}

// --- Rows ------------------------------------------------------------------------------------

// What the list holds, by record number, as the test gave it: channel and length.
struct Given {
    int channel;
    size_t length;
};

// rowsBefore and recordAtRow agree with a walk over the records held, for every filter: each
// shown record takes timelineRows(length) rows right after the shown record before it, hidden
// records take none, and no row outside the held records is a record's.
void expectRowsAgreeWithAWalk(const TimelineRecords& records, const std::vector<Given>& given) {
    const TimelineExtent extent = records.extent();
    for (TimelineFilter filter : {TimelineFilter::Both, TimelineFilter::OneToTwo, TimelineFilter::TwoToOne}) {
        SCOPED_TRACE(static_cast<int>(filter));
        const uint64_t base = records.rowsBefore(extent.first, filter);
        uint64_t row = base;
        for (uint64_t n = extent.first; n < extent.end; ++n) {
            ASSERT_EQ(records.rowsBefore(n, filter), row) << n;
            if (!timelineShows(filter, given[n].channel)) continue;
            for (uint64_t r = 0; r < timelineRows(given[n].length); ++r, ++row) {
                uint64_t number = ~uint64_t{0}, rowInRecord = ~uint64_t{0};
                ASSERT_TRUE(records.recordAtRow(row, filter, number, rowInRecord)) << row;
                ASSERT_EQ(number, n) << row;
                ASSERT_EQ(rowInRecord, r) << row;
            }
        }
        ASSERT_EQ(records.rowsBefore(extent.end, filter), row);
        uint64_t number = 0, rowInRecord = 0;
        EXPECT_FALSE(records.recordAtRow(row, filter, number, rowInRecord));
        EXPECT_FALSE(records.recordAtRow(row + 100, filter, number, rowInRecord));
        if (base > 0) {
            EXPECT_FALSE(records.recordAtRow(base - 1, filter, number, rowInRecord));
        }
    }
}

TEST(TimelineRecords, RowsAndRecordsAtRowsAgreeWithAWalkAfterDropsAndClears) {
    const size_t lengths[] = {1, 5, 15, 16, 17, 31, 32, 33, 48, 49, 100};
    std::mt19937 random(3);
    std::vector<Given> given;
    int64_t time = 0;
    TimelineRecords records(60);
    records.setTaking(true);
    const auto add = [&](int count) {
        for (int i = 0; i < count; ++i) {
            // Runs of one direction, so that a filter hides runs at the start, the middle and the end.
            int channel = given.empty() ? 1 : given.back().channel;
            if (random() % 4 == 0) channel = 3 - channel;
            const size_t length = lengths[random() % std::size(lengths)];
            given.push_back({channel, length});
            take(records, channel, std::string(length, 'x'), kStart + time, time);
            ++time;
        }
    };

    add(40);
    expectRowsAgreeWithAWalk(records, given);
    // A row keeps its count while older records go.
    const TimelineExtent before = records.extent();
    std::vector<std::array<uint64_t, 3>> rows;
    for (uint64_t n = before.first; n < before.end; ++n) {
        rows.push_back({records.rowsBefore(n, TimelineFilter::Both), records.rowsBefore(n, TimelineFilter::OneToTwo),
                        records.rowsBefore(n, TimelineFilter::TwoToOne)});
    }
    add(35);
    ASSERT_GT(records.extent().first, 0u);
    ASSERT_LT(records.extent().first, before.end);
    expectRowsAgreeWithAWalk(records, given);
    for (uint64_t n = records.extent().first; n < before.end; ++n) {
        EXPECT_EQ(records.rowsBefore(n, TimelineFilter::Both), rows[n - before.first][0]);
        EXPECT_EQ(records.rowsBefore(n, TimelineFilter::OneToTwo), rows[n - before.first][1]);
        EXPECT_EQ(records.rowsBefore(n, TimelineFilter::TwoToOne), rows[n - before.first][2]);
    }
    add(500);
    expectRowsAgreeWithAWalk(records, given);

    records.clear();
    ASSERT_TRUE(records.extent().empty());
    given.resize(records.extent().end);  // numbers go on after a clear
    expectRowsAgreeWithAWalk(records, given);
    add(30);
    expectRowsAgreeWithAWalk(records, given);

    // Bounded by bytes instead: drops of several records at once.
    TimelineRecords byBytes(1000, 300);
    byBytes.setTaking(true);
    given.clear();
    for (int i = 0; i < 400; ++i) {
        const int channel = random() % 3 == 0 ? 2 : 1;
        const size_t length = lengths[random() % std::size(lengths)];
        given.push_back({channel, length});
        take(byBytes, channel, std::string(length, 'y'), kStart + i, i);
        if (i % 37 == 0) expectRowsAgreeWithAWalk(byBytes, given);
    }
    EXPECT_GT(byBytes.extent().dropped, 0u);
    expectRowsAgreeWithAWalk(byBytes, given);
}

TEST(TimelineRecords, AFilterThatShowsNothingHasNoRows) {
    TimelineRecords records;
    records.setTaking(true);
    take(records, 1, "one", kStart, 0);
    take(records, 1, std::string(40, 'x'), kStart + 1, 1);
    uint64_t number = 0, rowInRecord = 0;
    EXPECT_EQ(records.rowsBefore(0, TimelineFilter::TwoToOne), records.rowsBefore(2, TimelineFilter::TwoToOne));
    EXPECT_FALSE(records.recordAtRow(0, TimelineFilter::TwoToOne, number, rowInRecord));
    EXPECT_EQ(records.rowsBefore(2, TimelineFilter::OneToTwo) - records.rowsBefore(0, TimelineFilter::OneToTwo), 4u);
}

// --- Taking ----------------------------------------------------------------------------------

TEST(TimelineRecords, AClosedWindowsListTakesAndHoldsNothing) {
    TimelineRecords records;
    EXPECT_FALSE(records.takesReads());  // closed until the window opens
    take(records, 1, "lost", kStart, 0);
    EXPECT_TRUE(records.extent().empty());
    EXPECT_EQ(records.heldBytes(), 0u);

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
    EXPECT_TRUE(records.extent().empty());
    EXPECT_TRUE(readAll(records).empty());
}

// --- Gaps ------------------------------------------------------------------------------------

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
    ASSERT_EQ(readAll(records).size(), 1u);
    EXPECT_EQ(readAll(records)[0].gapMicros, 1000);
    records.setTaking(false);
    records.setTaking(true);
    take(records, 1, "g", kStart + 4, 5020000);
    ASSERT_EQ(readAll(records).size(), 1u);
    EXPECT_EQ(readAll(records)[0].gapMicros, 0);
}

// --- Two threads -----------------------------------------------------------------------------

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

}  // namespace

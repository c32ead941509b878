// The find over the live record list as the window drives it: in slices, while records arrive and go.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "display/timeline_find.h"
#include "display/timeline_records.h"
#include "tests/display/timeline_lines.h"

namespace {

using enum TimelineFilter;

// A live list fed as the read order feeds it: one chunk a record, a millisecond apart.
struct Feed {
    TimelineRecords records;
    int64_t micros = 1700000000000000;
    explicit Feed(uint64_t maxRecords = TimelineRecords::kMaxRecords) : records(maxRecords) { records.setTaking(true); }
    void add(int channel, const std::string& bytes) {
        micros += 1000;
        takeRead(records, channel, bytes, micros, micros);
    }
};

using Match = std::tuple<int, uint64_t, uint32_t, uint64_t, uint32_t>;  // channel, start record and offset, end's

std::vector<Match> matchesOf(const TimelineFind& find) {
    std::vector<Match> out;
    for (size_t i = 0; i < find.count(); ++i)
        out.emplace_back(find.match(i).channel, find.match(i).startRecord, find.match(i).startOffset,
                         find.match(i).endRecord, find.match(i).endOffset);
    return out;
}

// The same search the plain way: each direction's stream as one string, leftmost matches, going on at a match's end.
std::vector<Match> plainSearch(const TimelineSource& source, const std::string& pattern, TimelineFilter filter) {
    std::vector<Match> out;
    for (int channel : {1, 2}) {
        std::string stream;
        std::vector<std::pair<uint64_t, uint32_t>> place;
        for (const TimelineRecord& record : readAll(source))
            if (record.channel == channel && timelineShows(filter, channel)) {
                stream += record.bytes;
                for (uint32_t i = 0; i < record.bytes.size(); ++i) place.emplace_back(record.number, i);
            }
        for (size_t p = stream.find(pattern); p != std::string::npos; p = stream.find(pattern, p + pattern.size()))
            out.emplace_back(channel, place[p].first, place[p].second, place[p + pattern.size() - 1].first,
                             place[p + pattern.size() - 1].second + 1);
    }
    std::sort(out.begin(), out.end(), [](const Match& a, const Match& b) {
        return std::tie(std::get<1>(a), std::get<2>(a)) < std::tie(std::get<1>(b), std::get<2>(b));
    });
    return out;
}

// Hex only by the rule the bar shows; an error says why and leaves no bytes. Input, hex toggle, read, as hex, bytes:
TEST(FindPattern, ReadsHexOnlyByTheRuleTheBarShows) {
    const std::tuple<std::string, bool, bool, bool, std::string> cases[] = {
        {"*IDN?", false, true, false, "*IDN?"}, {"AB", false, true, false, "AB"}, {"AB", true, true, true, "\xAB"},
        {"0D0A", false, true, false, "0D0A"}, {"0D0A", true, true, true, "\r\n"}, {"0d 0a", false, true, true, "\r\n"},
        {"ff 00", false, true, true, std::string("\xff\0", 2)}, {"41  42 43", false, true, true, "ABC"},
        {"0D 0", false, true, false, "0D 0"}, {"0D 0G", false, true, false, "0D 0G"}, {"0D 0A ", false, true, false, "0D 0A "},
        {"0x0D0A", false, true, true, "\r\n"}, {"0X0d 0A", false, true, true, "\r\n"},
        {"0x", false, false, false, ""}, {"0x0D0", false, false, false, ""}, {"0x0D 0", false, false, false, ""},
        {"0x0G", false, false, false, ""}, {"0D0 A", true, false, false, ""}, {"  ", true, false, false, ""},
        {"", false, false, false, ""},
    };
    for (const auto& [input, toggle, ok, hex, bytes] : cases) {
        FindPattern pattern{"left over", false, {}};
        ASSERT_EQ(readFindPattern(input, toggle, pattern), ok) << input << pattern.error;
        EXPECT_EQ(std::make_tuple(pattern.hex, pattern.bytes, pattern.error.empty()),
                  std::make_tuple(ok ? hex : pattern.hex, bytes, ok)) << input;
    }
}

// A step of a case: a record of channel 1 or 2, kSearch (a slice that catches up) or kClear.
constexpr int kSearch = 0, kClear = -1;
using Steps = std::vector<std::pair<int, std::string>>;

// A match is a run of one direction's bytes, whatever the other read between. What began in records let go or
// cleared is forgotten, no byte of them joins the records held; records let go before they were searched are passed over.
TEST(TimelineFind, FindsRunsOfOneDirectionsBytesInTheRecordsHeld) {
    const uint64_t all = TimelineRecords::kMaxRecords;
    const Steps binary = {{2, "OK\r"}, {1, std::string("\xff\0\x01", 3)}, {2, "\n*IDN?"}};
    Steps unsearched = {{1, "OK"}, {1, "OK"}, {kSearch, ""}, {2, "x"}};
    unsearched.resize(11, {1, "OK"});
    // Runs over records, directions, filters, slices and matches let go are the random test's: here bytes it
    // never makes, and what is let go or cleared while a match is under way. What, bound, steps, pattern, matches:
    const Steps partLetGo = {{1, "A"}, {1, "x"}, {1, "BC"}, {2, ".."}, {kSearch, ""}, {1, "DE"}};
    const std::vector<Match> sixOks = {Match{1, 4, 0, 4, 2}, Match{1, 5, 0, 5, 2}, Match{1, 6, 0, 6, 2},
                                       Match{1, 7, 0, 7, 2}, Match{1, 8, 0, 8, 2}, Match{1, 9, 0, 9, 2}};
    const std::tuple<const char*, uint64_t, Steps, std::string, std::vector<Match>> cases[] = {
        {"into the next record, the other direction between", all, {{1, "AT+C"}, {2, "OK"}, {1, "GSN\r"}}, "+CGSN",
         {Match{1, 0, 2, 2, 3}}},
        {"a line end over two records", all, binary, "\r\n", {Match{2, 0, 2, 2, 1}}},
        {"a NUL byte", all, binary, std::string("\xff\0", 2), {Match{1, 1, 0, 1, 2}}},
        {"records let go before they were searched", 6, unsearched, "OK", sixOks},
        {"a start left in a record let go", 3,
         {{1, "xxAB"}, {2, ".."}, {kSearch, ""}, {2, ".."}, {2, ".."}, {kSearch, ""}, {1, "CD"}}, "ABCD", {}},
        {"no byte of a record let go", 3, {{1, "A"}, {1, "B"}, {kSearch, ""}, {2, ".."}, {1, "ABA"}}, "ABA",
         {Match{1, 3, 0, 3, 3}}},
        {"a start in a record held", 4, partLetGo, "xBCDE", {Match{1, 1, 0, 4, 2}}},
        {"its part let go", 4, partLetGo, "AxBCDE", {}},
        {"a list cleared", all, {{1, "OK"}, {1, "O"}, {kSearch, ""}, {kClear, ""}, {1, "K"}, {2, "OK"}}, "OK",
         {Match{2, 3, 0, 3, 2}}},
    };
    for (const auto& [what, bound, steps, pattern, expected] : cases) {
        Feed feed(bound);
        TimelineFind find(feed.records, pattern, Both);
        for (const auto& [channel, bytes] : steps) {
            if (channel == kSearch) ASSERT_TRUE(find.advance(100)) << what;
            else if (channel == kClear) feed.records.clear();
            else feed.add(channel, bytes);
        }
        EXPECT_TRUE(find.advance(SIZE_MAX) && find.caughtUp() &&
                    find.searched() == feed.records.extent().end - feed.records.extent().first) << what;
        EXPECT_EQ(matchesOf(find), expected) << what;
    }
}

// Next and previous go on from a place and wrap around.
TEST(TimelineFind, NextAndPreviousWrapAroundSlicesSearchAtMostTheirRecordsAndMatchesStopAtTheCap) {
    Feed feed;
    for (const auto& [channel, bytes] : Steps{{1, "OK OK"}, {2, "none"}, {2, "xOK"}})
        feed.add(channel, bytes);  // at (0,0), (0,3), (2,1)
    TimelineFind find(feed.records, "OK", Both), none(feed.records, "absent", Both);
    ASSERT_TRUE(find.advance(100) && none.advance(100) && find.count() == 3u);
    // record, offset, next, previous
    const std::tuple<uint64_t, uint32_t, size_t, size_t> steps[] = {
        {0, 0, 1, 2}, {0, 1, 1, 0}, {0, 3, 2, 0}, {1, 2, 2, 1}, {2, 1, 0, 1}, {5, 0, 0, 2}, {9, 0, 0, 2}};
    for (const auto& [record, offset, next, previous] : steps)
        EXPECT_EQ(std::make_pair(find.next(record, offset), find.previous(record, offset)),
                  std::make_pair(next, previous)) << record << "," << offset;
    EXPECT_EQ(std::make_pair(none.next(0, 0), none.previous(0, 0)), std::make_pair(none.count(), none.count()));

    Feed many;  // a slice searches at most the records it is given
    for (int i = 0; i < 1000; ++i) many.add(i % 2 + 1, i % 7 == 0 ? "xOKx" : "....");
    TimelineFind sliced(many.records, "OK", Both);
    uint64_t slices = 0;
    while (!sliced.advance(300)) EXPECT_TRUE(sliced.searched() == 300 * ++slices && !sliced.caughtUp()) << slices;
    EXPECT_EQ(std::make_pair(slices, sliced.count()), std::make_pair(uint64_t{3}, size_t{143}));

    // One common byte over a long list: the matches stop at the cap rather than taking gigabytes, and it says so.
    Feed full;
    const std::string block(4096, 'A');
    for (size_t i = 0; i < TimelineFind::kMaxMatches / block.size() + 2; ++i) full.add(1 + static_cast<int>(i % 2), block);
    TimelineFind capped(full.records, "A", Both);
    EXPECT_TRUE(capped.advance(SIZE_MAX));
    full.add(1, "A");
    EXPECT_TRUE(capped.advance(SIZE_MAX) && capped.capped() && capped.caughtUp());
    EXPECT_EQ(std::make_pair(capped.count(), capped.match(capped.count() - 1).startRecord),
              std::make_pair(TimelineFind::kMaxMatches, (TimelineFind::kMaxMatches - 1) / block.size()));
}

// Random traffic of a small alphabet searched in random slices while records arrive: what the plain search finds, for
// every filter; under a bound that drops records one by one, less what began in records let go.
TEST(TimelineFind, SlicesOfAnySizeWhileRecordsArriveAndGoFindWhatThePlainSearchFinds) {
    std::mt19937 random(20);
    for (const std::string pattern : {"ab", "aba", "abba", "aaaa", "babab", "abaabaaab"}) {
        Feed feed, held(40);
        std::vector<TimelineFind> finds;
        for (TimelineFilter filter : {Both, OneToTwo, TwoToOne}) finds.emplace_back(feed.records, pattern, filter);
        TimelineFind bounded(held.records, pattern, Both);
        for (int round = 0; round < 60; ++round) {
            for (int i = std::uniform_int_distribution<int>(0, 40)(random); i > 0; --i) {
                std::string bytes(std::uniform_int_distribution<size_t>(1, 7)(random), 'a');
                for (char& c : bytes) c = random() % 3 == 0 ? 'b' : 'a';
                const int channel = random() % 3 == 0 ? 2 : 1;
                feed.add(channel, bytes);
                held.add(channel, bytes);
                ASSERT_TRUE(bounded.advance(10));
            }
            for (TimelineFind& find : finds) find.advance(std::uniform_int_distribution<size_t>(0, 300)(random));
            std::vector<Match> expected = plainSearch(feed.records, pattern, Both);
            std::erase_if(expected, [&](const Match& m) { return std::get<1>(m) < held.records.extent().first; });
            ASSERT_EQ(matchesOf(bounded), expected) << pattern << " round " << round;
        }
        for (size_t f = 0; f < finds.size(); ++f) {
            finds[f].advance(SIZE_MAX);
            EXPECT_EQ(matchesOf(finds[f]), plainSearch(feed.records, pattern, static_cast<TimelineFilter>(f))) << f;
        }
    }
}

}  // namespace

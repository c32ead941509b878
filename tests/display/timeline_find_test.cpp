// The find over the live record list as the window drives it: records taken through the list's
// read listener, the search run in slices, records arriving and going meanwhile.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "display/timeline_find.h"
#include "display/timeline_records.h"

namespace {

// A live list fed as the read order feeds it: one chunk a record, a millisecond apart.
struct Feed {
    TimelineRecords records;
    int64_t micros = 1700000000000000;

    explicit Feed(uint64_t maxRecords = TimelineRecords::kMaxRecords) : records(maxRecords) { records.setTaking(true); }
    void add(int channel, const std::string& bytes) {
        micros += 1000;
        records.onRead(channel, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), ReadTime{micros, micros});
    }
};

// channel, startRecord, startOffset, endRecord, endOffset
using Match = std::tuple<int, uint64_t, uint32_t, uint64_t, uint32_t>;

Match at(int channel, uint64_t startRecord, uint32_t startOffset, uint64_t endRecord, uint32_t endOffset) {
    return {channel, startRecord, startOffset, endRecord, endOffset};
}

std::vector<Match> matchesOf(const TimelineFind& find) {
    std::vector<Match> out;
    for (size_t i = 0; i < find.count(); ++i) {
        const TimelineMatch& m = find.match(i);
        out.push_back(at(m.channel, m.startRecord, m.startOffset, m.endRecord, m.endOffset));
    }
    return out;
}

std::vector<Match> findAll(const TimelineSource& source, const std::string& pattern,
                           TimelineFilter filter = TimelineFilter::Both) {
    TimelineFind find(source, pattern, filter);
    EXPECT_TRUE(find.advance(SIZE_MAX));
    EXPECT_TRUE(find.caughtUp());
    return matchesOf(find);
}

// The same search the slow, plain way: each direction's stream as one string with the place of
// every byte, the leftmost match taken and the search going on at its end. Matches that begin
// before `from` or in a record no longer held do not count.
std::vector<Match> plainSearch(const TimelineSource& source, const std::string& pattern, TimelineFilter filter,
                               uint64_t from = 0) {
    const TimelineExtent extent = source.extent();
    std::vector<TimelineRecord> records;
    source.read(std::max(from, extent.first), static_cast<size_t>(extent.end - extent.first), records);
    std::vector<Match> out;
    for (int channel : {1, 2}) {
        if (!timelineShows(filter, channel)) continue;
        std::string stream;
        std::vector<std::pair<uint64_t, uint32_t>> place;
        for (const TimelineRecord& record : records) {
            if (record.channel != channel) continue;
            stream += record.bytes;
            for (uint32_t i = 0; i < record.bytes.size(); ++i) place.emplace_back(record.number, i);
        }
        for (size_t p = stream.find(pattern); p != std::string::npos; p = stream.find(pattern, p + pattern.size())) {
            const auto& last = place[p + pattern.size() - 1];
            out.push_back(at(channel, place[p].first, place[p].second, last.first, last.second + 1));
        }
    }
    std::sort(out.begin(), out.end(), [](const Match& a, const Match& b) {
        return std::tie(std::get<1>(a), std::get<2>(a)) < std::tie(std::get<1>(b), std::get<2>(b));
    });
    return out;
}

// --- The find bar's input --------------------------------------------------------------------

struct PatternCase {
    std::string input;
    bool toggle;
    bool ok;
    bool hex;
    std::string bytes;
};

class FindPatternReading : public testing::TestWithParam<PatternCase> {};

TEST_P(FindPatternReading, ReadsHexOnlyByTheRuleTheBarShows) {
    const PatternCase& c = GetParam();
    FindPattern pattern;
    pattern.bytes = "left over";
    ASSERT_EQ(readFindPattern(c.input, c.toggle, pattern), c.ok) << pattern.error;
    if (c.ok) {
        EXPECT_EQ(pattern.hex, c.hex);
        EXPECT_EQ(pattern.bytes, c.bytes);
        EXPECT_TRUE(pattern.error.empty());
    } else {
        EXPECT_FALSE(pattern.error.empty());  // the bar says why
        EXPECT_TRUE(pattern.bytes.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, FindPatternReading,
    testing::Values(
        // Text as typed.
        PatternCase{"OK", false, true, false, "OK"}, PatternCase{"*IDN?", false, true, false, "*IDN?"},
        // One pair alone, or digits run together, is text; a toggle makes it hex.
        PatternCase{"AB", false, true, false, "AB"}, PatternCase{"AB", true, true, true, "\xAB"},
        PatternCase{"0D0A", false, true, false, "0D0A"}, PatternCase{"0D0A", true, true, true, "\r\n"},
        // Two or more pairs apart by spaces, either case.
        PatternCase{"0D 0A", false, true, true, "\r\n"}, PatternCase{"0d 0a", false, true, true, "\r\n"},
        PatternCase{"ff 00", false, true, true, std::string("\xff\0", 2)},
        PatternCase{"41  42 43", false, true, true, "ABC"},
        // Not quite pairs: text.
        PatternCase{"0D 0", false, true, false, "0D 0"}, PatternCase{"0D 0G", false, true, false, "0D 0G"},
        // "0x" makes the rest hex, whole bytes, spaces between bytes allowed.
        PatternCase{"0x0D0A", false, true, true, "\r\n"}, PatternCase{"0X0d 0A", false, true, true, "\r\n"},
        PatternCase{"0x0D0A", true, true, true, "\r\n"},
        // Hex that is not whole bytes, or no bytes at all: an error.
        PatternCase{"0x", false, false, false, ""}, PatternCase{"0x0D0", false, false, false, ""},
        PatternCase{"0x0D 0", false, false, false, ""}, PatternCase{"0x0G", false, false, false, ""},
        PatternCase{"0D0 A", true, false, false, ""}, PatternCase{"ABC", true, false, false, ""},
        PatternCase{"  ", true, false, false, ""}, PatternCase{"", false, false, false, ""},
        PatternCase{"", true, false, false, ""}));

// --- What is a match -------------------------------------------------------------------------

struct MatchCase {
    const char* what;
    std::vector<std::pair<int, std::string>> records;  // channel and bytes, in read order
    std::string pattern;
    TimelineFilter filter;
    std::vector<Match> expected;
};

// A match is a run of one direction's bytes, on into its next records whatever the other
// direction read between; never across directions; a false start is taken up again inside the
// record it began in; matches do not overlap and come in the order of their first byte.
TEST(TimelineFind, MatchesAreRunsOfOneDirectionsBytesInTheOrderOfTheirFirstByte) {
    using enum TimelineFilter;
    const std::vector<std::pair<int, std::string>> modem = {{1, "AT+C"}, {1, "GMI\r"}, {2, "OK"}, {1, "AT+C"}, {2, "\r\n"}, {1, "GSN\r"}};
    const std::vector<std::pair<int, std::string>> read = {{1, "READ"}, {2, "READ"}, {2, "RE"}, {1, "RE"}, {2, "AD"}, {1, "AD"}};
    const std::vector<std::pair<int, std::string>> binary = {{2, "OK\r"}, {1, std::string("\xff\0\x01", 3)}, {2, "\n*IDN?"}};
    const MatchCase cases[] = {
        {"into the next record", modem, "+CGMI", Both, {at(1, 0, 2, 1, 3)}},
        {"the other direction between", modem, "+CGSN", Both, {at(1, 3, 2, 5, 3)}},
        {"channel 2's stream whatever came between", modem, "K\r", Both, {at(2, 2, 1, 4, 1)}},
        {"across directions", modem, "\rOK", Both, {}},
        {"across directions too", modem, "KA", Both, {}},
        {"nor this way", modem, "C\r\n", Both, {}},
        {"over several records", {{1, "xAB"}, {2, "zz"}, {1, "C"}, {1, "D"}, {2, "ABC"}, {1, "EFy"}}, "ABCDEF", Both, {at(1, 0, 1, 5, 2)}},
        {"a false start taken up again", {{1, "ABAB"}, {2, "AB"}, {1, "ABC"}}, "ABABC", Both, {at(1, 0, 2, 2, 3)}},
        {"one-byte records", {{2, "a"}, {2, "a"}, {2, "a"}, {2, "b"}}, "aab", Both, {at(2, 1, 0, 3, 1)}},
        {"no overlap", {{1, "aaaaa"}}, "aa", Both, {at(1, 0, 0, 0, 2), at(1, 0, 2, 0, 4)}},
        {"no overlap, then a third", {{1, "aaaaa"}, {1, "a"}}, "aa", Both, {at(1, 0, 0, 0, 2), at(1, 0, 2, 0, 4), at(1, 0, 4, 1, 1)}},
        {"by first byte, not by last", {{1, "xA"}, {2, "AB"}, {2, "AB"}, {1, "B"}}, "AB", Both,
         {at(1, 0, 1, 3, 1), at(2, 1, 0, 1, 2), at(2, 2, 0, 2, 2)}},
        {"port 1's only", read, "READ", OneToTwo, {at(1, 0, 0, 0, 4), at(1, 3, 0, 5, 2)}},
        {"port 2's only", read, "READ", TwoToOne, {at(2, 1, 0, 1, 4), at(2, 2, 0, 4, 2)}},
        {"both", read, "READ", Both, {at(1, 0, 0, 0, 4), at(2, 1, 0, 1, 4), at(2, 2, 0, 4, 2), at(1, 3, 0, 5, 2)}},
        {"a line end over two records", binary, "\r\n", Both, {at(2, 0, 2, 2, 1)}},
        {"a NUL byte", binary, std::string("\xff\0", 2), Both, {at(1, 1, 0, 1, 2)}},
        {"text after it", binary, "*IDN?", Both, {at(2, 2, 1, 2, 6)}},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(c.what);
        Feed feed;
        for (const auto& [channel, bytes] : c.records) feed.add(channel, bytes);
        EXPECT_EQ(findAll(feed.records, c.pattern, c.filter), c.expected);
    }
}

// --- Going from match to match ---------------------------------------------------------------

TEST(TimelineFind, NextAndPreviousGoOnFromAPlaceAndWrapAround) {
    Feed feed;
    feed.add(1, "OK OK");  // 0: matches at (0,0) and (0,3)
    feed.add(2, "none");   // 1
    feed.add(2, "xOK");    // 2: a match at (2,1)
    TimelineFind find(feed.records, "OK", TimelineFilter::Both);
    ASSERT_TRUE(find.advance(100));
    ASSERT_EQ(find.count(), 3u);

    EXPECT_EQ(find.next(0, 0), 1u);  // from the first match's own start on
    EXPECT_EQ(find.next(0, 1), 1u);
    EXPECT_EQ(find.next(0, 3), 2u);
    EXPECT_EQ(find.next(1, 2), 2u);
    EXPECT_EQ(find.next(2, 1), 0u);  // past the last: the first again
    EXPECT_EQ(find.next(5, 0), 0u);

    EXPECT_EQ(find.previous(2, 1), 1u);
    EXPECT_EQ(find.previous(0, 3), 0u);
    EXPECT_EQ(find.previous(0, 1), 0u);
    EXPECT_EQ(find.previous(0, 0), 2u);  // before the first: the last again
    EXPECT_EQ(find.previous(9, 0), 2u);

    TimelineFind none(feed.records, "absent", TimelineFilter::Both);
    ASSERT_TRUE(none.advance(100));
    EXPECT_EQ(none.next(0, 0), none.count());
    EXPECT_EQ(none.previous(0, 0), none.count());
}

// --- Slices, new records, records let go -----------------------------------------------------

TEST(TimelineFind, RecordsArrivingAfterTheSearchCaughtUpAreSearchedByTheNextSlice) {
    Feed feed;
    feed.add(1, "CONNECT 96");  // 0
    feed.add(2, "AT");          // 1
    TimelineFind find(feed.records, "9600", TimelineFilter::Both);
    EXPECT_TRUE(find.advance(10));
    EXPECT_TRUE(find.caughtUp());
    EXPECT_EQ(find.count(), 0u);

    feed.add(2, "D");    // 2
    feed.add(1, "00");   // 3: ends the match begun in the old last record of channel 1
    feed.add(1, "9600"); // 4
    EXPECT_FALSE(find.caughtUp());
    EXPECT_EQ(find.searched(), 2u);
    EXPECT_TRUE(find.advance(10));
    EXPECT_EQ(find.searched(), 5u);
    EXPECT_EQ(matchesOf(find), (std::vector<Match>{at(1, 0, 8, 3, 2), at(1, 4, 0, 4, 4)}));
}

// Random traffic of a small alphabet, so that matches, false starts and spans are many, searched
// in slices of random sizes while records keep arriving: the same matches as the plain search of
// the whole streams, for every filter.
TEST(TimelineFind, SlicesOfAnySizeWhileRecordsArriveFindWhatThePlainSearchFinds) {
    std::mt19937 random(20);
    for (const std::string pattern : {"ab", "aba", "abba", "aaaa", "babab", "abaabaaab"}) {
        Feed feed;
        std::vector<TimelineFind> finds;
        for (TimelineFilter filter : {TimelineFilter::Both, TimelineFilter::OneToTwo, TimelineFilter::TwoToOne}) {
            finds.emplace_back(feed.records, pattern, filter);
        }
        for (int round = 0; round < 60; ++round) {
            for (int i = std::uniform_int_distribution<int>(0, 40)(random); i > 0; --i) {
                std::string bytes(std::uniform_int_distribution<size_t>(1, 7)(random), 'a');
                for (char& c : bytes) c = random() % 3 == 0 ? 'b' : 'a';
                feed.add(random() % 3 == 0 ? 2 : 1, bytes);
            }
            for (TimelineFind& find : finds) find.advance(std::uniform_int_distribution<size_t>(0, 300)(random));
        }
        for (size_t f = 0; f < finds.size(); ++f) {
            const TimelineFilter filter = static_cast<TimelineFilter>(f);
            EXPECT_TRUE(finds[f].advance(SIZE_MAX));
            EXPECT_EQ(finds[f].searched(), feed.records.extent().end);
            EXPECT_EQ(matchesOf(finds[f]), plainSearch(feed.records, pattern, filter)) << pattern << " filter " << f;
        }
    }
}

TEST(TimelineFind, ASliceSearchesAtMostTheRecordsItIsGiven) {
    Feed feed;
    for (int i = 0; i < 1000; ++i) feed.add(i % 2 + 1, i % 7 == 0 ? "xOKx" : "....");
    TimelineFind find(feed.records, "OK", TimelineFilter::Both);
    uint64_t slices = 0;
    while (!find.advance(300)) {
        ++slices;
        EXPECT_EQ(find.searched(), 300 * slices);
        EXPECT_FALSE(find.caughtUp());
    }
    EXPECT_EQ(slices, 3u);
    EXPECT_EQ(find.count(), 143u);
    EXPECT_EQ(matchesOf(find), plainSearch(feed.records, "OK", TimelineFilter::Both));
}

TEST(TimelineFind, MatchesOfRecordsLetGoAreForgottenAndTheRestStay) {
    Feed feed(6);
    feed.add(1, "OK1");   // 0
    feed.add(2, "OK2");   // 1
    feed.add(1, "xO");    // 2: a match that begins here...
    feed.add(2, "..");    // 3
    feed.add(1, "K3");    // 4: ...ends here
    feed.add(2, "OK4");   // 5
    TimelineFind find(feed.records, "OK", TimelineFilter::Both);
    ASSERT_TRUE(find.advance(100));
    ASSERT_EQ(matchesOf(find), (std::vector<Match>{at(1, 0, 0, 0, 2), at(2, 1, 0, 1, 2), at(1, 2, 1, 4, 1),
                                                   at(2, 5, 0, 5, 2)}));

    feed.add(1, "OK6");  // 6: lets record 0 go
    feed.add(2, "..");   // 7: and record 1
    feed.add(2, "..");   // 8: and record 2, where the spanning match began
    ASSERT_EQ(feed.records.extent().first, 3u);
    EXPECT_TRUE(find.advance(100));
    EXPECT_EQ(matchesOf(find), (std::vector<Match>{at(2, 5, 0, 5, 2), at(1, 6, 0, 6, 2)}));
    EXPECT_EQ(find.searched(), 6u);
    EXPECT_EQ(find.next(0, 0), 0u);
    EXPECT_EQ(find.previous(0, 0), 1u);

    // Records let go before they were searched are passed over.
    for (int i = 0; i < 10; ++i) feed.add(1, "OK");
    EXPECT_TRUE(find.advance(100));
    EXPECT_EQ(matchesOf(find), plainSearch(feed.records, "OK", TimelineFilter::Both));
    EXPECT_EQ(find.count(), 6u);
}

TEST(TimelineFind, AStartLeftInARecordLetGoIsCut) {
    Feed feed(3);
    feed.add(1, "xxAB");  // 0
    feed.add(2, "..");    // 1
    TimelineFind find(feed.records, "ABCD", TimelineFilter::Both);
    ASSERT_TRUE(find.advance(100));
    feed.add(2, "..");    // 2
    feed.add(2, "..");    // 3: lets record 0 go, and the "AB" that might begin a match
    ASSERT_TRUE(find.advance(100));
    feed.add(1, "CD");    // 4
    ASSERT_TRUE(find.advance(100));
    EXPECT_EQ(find.count(), 0u);

    // A match begun in a record let go takes no bytes of the records held: "A" (gone) "B" +
    // "ABA" holds "ABA" at the start of the last record, not a match from the "A" let go.
    Feed overlap(3);
    overlap.add(1, "A");    // 0
    overlap.add(1, "B");    // 1
    TimelineFind aba(overlap.records, "ABA", TimelineFilter::Both);
    ASSERT_TRUE(aba.advance(100));
    overlap.add(2, "..");   // 2
    overlap.add(1, "ABA");  // 3: lets record 0 go
    ASSERT_TRUE(aba.advance(100));
    EXPECT_EQ(matchesOf(aba), (std::vector<Match>{at(1, 3, 0, 3, 3)}));

    // Only the part let go is cut: a start in a record still held, with the record let go
    // before it in the same tail, still makes a match.
    Feed straddle(4);
    straddle.add(1, "A");   // 0
    straddle.add(1, "x");   // 1
    straddle.add(1, "BC");  // 2
    straddle.add(2, "..");  // 3
    TimelineFind tail(straddle.records, "xBCDE", TimelineFilter::Both);
    TimelineFind gone(straddle.records, "AxBCDE", TimelineFilter::Both);
    ASSERT_TRUE(tail.advance(100));
    ASSERT_TRUE(gone.advance(100));
    straddle.add(1, "DE");  // 4: lets record 0 go
    ASSERT_EQ(straddle.records.extent().first, 1u);
    ASSERT_TRUE(tail.advance(100));
    ASSERT_TRUE(gone.advance(100));
    EXPECT_EQ(matchesOf(tail), (std::vector<Match>{at(1, 1, 0, 4, 2)}));
    EXPECT_EQ(gone.count(), 0u);
}

// The bound lets records go one by one as new ones come, the search caught up after each: what
// it keeps is the plain search of the whole streams less what began in records let go.
TEST(TimelineFind, UnderTheBoundTheMatchesKeptAreThoseOfTheRecordsHeld) {
    std::mt19937 random(7);
    for (const std::string pattern : {"ab", "bab", "aaab"}) {
        Feed all;  // unbounded: the whole streams
        Feed held(40);
        TimelineFind find(held.records, pattern, TimelineFilter::Both);
        for (int i = 0; i < 3000; ++i) {
            std::string bytes(std::uniform_int_distribution<size_t>(1, 6)(random), 'a');
            for (char& c : bytes) c = random() % 3 == 0 ? 'b' : 'a';
            const int channel = random() % 2 + 1;
            all.add(channel, bytes);
            held.add(channel, bytes);
            ASSERT_TRUE(find.advance(10));
            if (i % 97 == 0 || i == 2999) {
                std::vector<Match> expected = plainSearch(all.records, pattern, TimelineFilter::Both);
                const uint64_t first = held.records.extent().first;
                std::erase_if(expected, [&](const Match& m) { return std::get<1>(m) < first; });
                ASSERT_EQ(matchesOf(find), expected) << pattern << " after record " << i;
            }
        }
    }
}

TEST(TimelineFind, AClearedListIsSearchedAnewFromItsNextRecord) {
    Feed feed;
    feed.add(1, "OK");
    feed.add(1, "O");
    TimelineFind find(feed.records, "OK", TimelineFilter::Both);
    ASSERT_TRUE(find.advance(100));
    ASSERT_EQ(find.count(), 1u);
    feed.records.clear();
    feed.add(1, "K");   // 2: no match with the "O" cleared away
    feed.add(2, "OK");  // 3
    EXPECT_TRUE(find.advance(100));
    EXPECT_EQ(matchesOf(find), (std::vector<Match>{at(2, 3, 0, 3, 2)}));
    EXPECT_EQ(find.searched(), 2u);
}

// The window searches on the UI thread while a worker adds records and the bound lets old ones
// go: every match held is one of records still held, in order, and its bytes are the pattern.
TEST(TimelineFind, SearchingWhileAWorkerAddsAndTheBoundDropsKeepsOnlyTrueMatches) {
    Feed feed(500);
    std::atomic<bool> done = false;
    std::thread worker([&] {
        for (int i = 0; i < 20000; ++i) feed.add(i % 3 == 0 ? 2 : 1, i % 5 == 0 ? "xyzO" : (i % 5 == 1 ? "Kxy" : "OKOK"));
        done = true;
    });
    TimelineFind find(feed.records, "OK", TimelineFilter::Both);
    for (bool last = false; !last;) {
        last = done;
        find.advance(700);
    }
    worker.join();
    ASSERT_TRUE(find.advance(SIZE_MAX));
    const TimelineExtent extent = feed.records.extent();
    ASSERT_GT(find.count(), 0u);
    std::vector<TimelineRecord> records;
    feed.records.read(extent.first, static_cast<size_t>(extent.end - extent.first), records);
    for (size_t i = 0; i < find.count(); ++i) {
        const TimelineMatch& m = find.match(i);
        ASSERT_GE(m.startRecord, extent.first);
        if (i > 0) {
            ASSERT_TRUE(std::tie(find.match(i - 1).startRecord, find.match(i - 1).startOffset) <
                        std::tie(m.startRecord, m.startOffset));
        }
        std::string bytes;
        for (uint64_t n = m.startRecord; n <= m.endRecord; ++n) {
            const TimelineRecord& record = records[n - extent.first];
            if (record.channel != m.channel) continue;
            const size_t from = n == m.startRecord ? m.startOffset : 0;
            const size_t to = n == m.endRecord ? m.endOffset : record.bytes.size();
            bytes += record.bytes.substr(from, to - from);
        }
        ASSERT_EQ(bytes, "OK") << i;
    }
}

}  // namespace

namespace {

// One common byte over a long list: the matches stop at the cap rather than taking gigabytes,
// and the search says it stopped.
TEST(TimelineFindCap, AOneBytePatternOverAFullListStopsAtTheCapAndSaysSo) {
    Feed feed;
    const std::string block(4096, 'A');
    const size_t blocks = TimelineFind::kMaxMatches / block.size() + 2;
    for (size_t i = 0; i < blocks; ++i) feed.add(1 + static_cast<int>(i % 2), block);
    TimelineFind find(feed.records, "A", TimelineFilter::Both);
    EXPECT_TRUE(find.advance(SIZE_MAX));
    EXPECT_TRUE(find.capped());
    EXPECT_TRUE(find.caughtUp());
    EXPECT_EQ(find.count(), TimelineFind::kMaxMatches);
    feed.add(1, "A");
    EXPECT_TRUE(find.advance(SIZE_MAX));
    EXPECT_EQ(find.count(), TimelineFind::kMaxMatches);
    const TimelineMatch& last = find.match(find.count() - 1);
    EXPECT_EQ(last.startRecord, (TimelineFind::kMaxMatches - 1) / block.size());
}

}  // namespace

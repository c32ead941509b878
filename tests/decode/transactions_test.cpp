// Requests and answers: the master's side found from who answers whom, each answer paired with its
// request and response time, an unanswered request a timeout, the figures per unit, the frame line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "decode/frame_line.h"
#include "decode/frame_stream.h"
#include "decode/transactions.h"
#include "tests/decode/rtu_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

Frame rtuFrame(int channel, const Bytes& pdu, int64_t first, int64_t last) {
    return {.channel = channel, .bytes = rtu(pdu), .firstMicros = first, .lastMicros = last};
}

struct Conversation : ::testing::Test {
    void SetUp() override {  // the frame lines' local time
#ifdef _WIN32
        _putenv("TZ=UTC0");
        _tzset();
#else
        setenv("TZ", "UTC0", 1);
        tzset();
#endif
    }
    std::vector<FrameRow> rows;
    std::vector<std::string> summaries() const {
        std::vector<std::string> out;
        for (const FrameRow& r : rows) out.push_back(std::string(verdictText(r.reading.verdict)) + " " + r.line());
        return out;
    }
};

TEST_F(Conversation, TheAnsweredSideIsTheMasterAndEachAnswerFindsItsRequest) {
    Transactions t(FrameRule::ModbusRtu);  // master to be found: port 2 asks here
    const Bytes ask{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03};
    const Bytes told{0x11, 0x03, 0x06, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40};
    t.add(rtuFrame(2, ask, 1'000'000, 1'000'500), rows);
    t.add(rtuFrame(1, told, 1'002'000, 1'002'400), rows);
    EXPECT_EQ(t.master(), 2);
    t.add(rtuFrame(2, ask, 2'000'000, 2'000'500), rows);
    t.add(rtuFrame(1, {0x11, 0x83, 0x02}, 2'001'234, 2'001'300), rows);  // an exception answers too
    t.add(rtuFrame(2, {0x00, 0x06, 0x00, 0x01, 0x00, 0x03}, 3'000'000, 3'000'100), rows);  // a broadcast: no answer due
    t.add(rtuFrame(2, ask, 4'000'000, 4'000'500), rows);
    t.quiet(5'000'400, rows);
    EXPECT_EQ(rows.size(), 6u) << "not yet a second";
    t.quiet(5'000'501, rows);
    EXPECT_EQ(summaries(), (std::vector<std::string>{
        "[ok] unit 17 Read Holding Registers 107..109",
        "[ok] → 3 registers 0xAE41 0x5652 0x4340, answer after 1.500 ms",
        "[ok] unit 17 Read Holding Registers 107..109",
        "[ok] → exception 2 Illegal Data Address to Read Holding Registers, answer after 0.734 ms",
        "[ok] unit 0 Write Single Register 1 = 0x0003",
        "[ok] unit 17 Read Holding Registers 107..109",
        "[timeout] timeout after 1.000 s: unit 17 Read Holding Registers 107..109",
    }));
    EXPECT_EQ(rows[1].gapMicros, 2000);
    const UnitFigures& u = t.units().at(17);  // its errors: the exception and the timeout
    EXPECT_EQ(std::make_tuple(u.transactions, u.errors, u.percentile(0), u.percentile(50), u.percentile(100)),
              std::make_tuple(3, 2, 734, 734, 1500));

    std::string line;
    appendFrameLine(line, rows[1]);
    EXPECT_EQ(line, "1970-01-01 00:00:01.002000 +0.002000 1>2  11  11 03 06 AE 41 56 52 43 40 49 AD  |....AVRC@I.|  "
                    "[ok] → 3 registers 0xAE41 0x5652 0x4340, answer after 1.500 ms\n");
    line.clear();
    appendFrameLine(line, rows[6]);
    EXPECT_EQ(line, "1970-01-01 00:00:05.000500 +1.000500 2>1  0    ||  [timeout] timeout after 1.000 s: "
                    "unit 17 Read Holding Registers 107..109\n");
}

TEST_F(Conversation, ASetMasterReadsEveryFrameInItsRoleAndAnotherRequestEndsTheWait) {
    Transactions t(FrameRule::ModbusRtu, 1, 500'000);
    // Both readings would fit these bytes; the master's side makes it a request.
    t.add(rtuFrame(1, {0x05, 0x06, 0x00, 0x01, 0x00, 0x03}, 0, 100), rows);
    t.add(rtuFrame(1, {0x05, 0x03, 0x00, 0x00, 0x00, 0x01}, 200'000, 200'100), rows);
    Frame bad = rtuFrame(2, {0x05, 0x03, 0x02, 0x00, 0x2A}, 201'000, 201'100);
    bad.bytes.back() ^= 1;
    t.add(bad, rows);
    EXPECT_EQ(summaries(), (std::vector<std::string>{
        "[ok] unit 5 Write Single Register 1 = 0x0003",
        "[timeout] no answer before the next request, after 0.199 s: unit 5 Write Single Register 1 = 0x0003",
        "[ok] unit 5 Read Holding Registers 0..0",
        "[bad crc] CRC bad: 0xC85A, should be 0xC85B, answer after 0.900 ms",
    }));
    EXPECT_EQ(std::make_tuple(t.units().at(5).errors, t.units().at(5).percentile(50)), std::make_tuple(2, -1));
}

// Both directions' pipeline: frames read in the order they began, whichever ended first (for a
// while); a quiet look times a request out only if its answer cannot be being read yet.
TEST_F(Conversation, TheStreamReadsFramesInTheOrderTheyBeganAndAQuietLookWaitsForAnAnswerBeingRead) {
    DecodeChoice nmea;
    nmea.rule = FrameRule::Nmea;
    FrameStream both(nmea, LineSettings{}, LineSettings{});
    const std::string fix = "$GPGLL,4916.45,N,12311.12,W,225444,A*31\r\n", said = "$GPTXT,01,01,02,hi*05\r\n";
    const auto add = [&](FrameStream& stream, int channel, const std::string& bytes, int64_t micros, uint64_t record) {
        stream.add(channel, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), micros, record, rows);
    };
    add(both, 1, fix.substr(0, 20), 1000, 0);
    add(both, 2, said, 1100, 1);  // ends first, began later
    add(both, 1, fix.substr(20), 1200, 2);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(std::make_pair(rows[0].frame.firstRecord, rows[1].frame.firstRecord),
              std::make_pair(uint64_t{0}, uint64_t{1}));
    EXPECT_EQ(std::make_pair(rows[1].gapMicros, rows[1].frame.firstOffset), std::make_pair(int64_t{100}, uint32_t{0}));

    rows.clear();
    DecodeChoice portOneAsks;
    portOneAsks.master = 1;
    FrameStream modbus(portOneAsks, LineSettings{}, LineSettings{});
    const Bytes askBytes = rtu({0x11, 0x03, 0x00, 0x6B, 0x00, 0x01}), toldBytes = rtu({0x11, 0x03, 0x02, 0x00, 0x2A});
    const std::string ask(askBytes.begin(), askBytes.end()), told(toldBytes.begin(), toldBytes.end());
    add(modbus, 1, ask, 0, 0);
    add(modbus, 2, told, 2'000, 1);
    add(modbus, 1, ask, 100'000, 2);
    // A slow slave: its answer's bytes a millisecond apart, the first before the time runs out.
    for (int64_t i = 0; i < 7; ++i) {
        add(modbus, 2, told.substr(static_cast<size_t>(i), 1), 1'099'000 + i * 1000, 3 + static_cast<uint64_t>(i));
        modbus.quiet(1'099'500 + i * 1000, rows);
    }
    EXPECT_EQ(summaries(), (std::vector<std::string>{
        "[ok] unit 17 Read Holding Registers 107..107",
        "[ok] → 1 register 0x002A, answer after 2.000 ms",
        "[ok] unit 17 Read Holding Registers 107..107",
        "[ok] → 1 register 0x002A, answer after 999.000 ms",
    }));

    // A prompt waits for a line end that comes only with the next line: the other side's lines
    // wait for it no longer than a second.
    rows.clear();
    DecodeChoice lines;
    lines.rule = FrameRule::Delimiter;
    lines.delimiter = {'\r', '\n'};
    FrameStream prompted(lines, LineSettings{}, LineSettings{});
    add(prompted, 1, "> ", 0, 0);
    add(prompted, 2, "ok\r\n", 100, 1);
    prompted.quiet(999'000, rows);
    EXPECT_TRUE(rows.empty());
    prompted.quiet(1'000'000, rows);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].frame.channel, 2);
}

}  // namespace

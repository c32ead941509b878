// Requests and answers: the master's side found from who answers whom, each answer paired with
// its request and its response time, a request left unanswered as a timeout, the figures per unit,
// and the frame line a copy or a frame log writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "decode/frame_line.h"
#include "decode/transactions.h"

namespace {

using Bytes = std::vector<uint8_t>;

Frame rtuFrame(int channel, Bytes pdu, int64_t first, int64_t last) {
    const uint16_t crc = modbusCrc(pdu.data(), pdu.size());
    pdu.push_back(static_cast<uint8_t>(crc & 0xFF));
    pdu.push_back(static_cast<uint8_t>(crc >> 8));
    Frame f;
    f.channel = channel;
    f.bytes = pdu;
    f.firstMicros = first;
    f.lastMicros = last;
    return f;
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
    const UnitFigures& unit = t.units().at(17);
    EXPECT_EQ(unit.transactions, 3);
    EXPECT_EQ(unit.errors, 2);  // the exception and the timeout
    EXPECT_EQ(unit.percentile(0), 734);
    EXPECT_EQ(unit.percentile(50), 734);
    EXPECT_EQ(unit.percentile(100), 1500);

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
    EXPECT_EQ(t.units().at(5).errors, 2);
    EXPECT_EQ(t.units().at(5).percentile(50), -1);
}

}  // namespace

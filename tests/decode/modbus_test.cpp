// Reading one frame by its protocol: checksums against the protocols' own published examples,
// and the words for each function, as a request and as an answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/modbus.h"
#include "tests/decode/rtu_frame.h"
#include "decode/nmea.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ModbusChecks, MatchThePublishedExamples) {
    EXPECT_EQ(rtu({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}), (Bytes{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87}));
    const Bytes ascii{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03};
    EXPECT_EQ(modbusLrc(ascii.data(), ascii.size()), 0x7E);
    const std::string gga = "GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,";
    EXPECT_EQ(nmeaChecksum(reinterpret_cast<const uint8_t*>(gga.data()), gga.size()), 0x47);
}

struct RtuCase {
    Bytes frame;  // without its CRC
    ModbusRole role;
    const char* summary;
    Verdict verdict = Verdict::Ok;
};

TEST(ModbusRtu, NamesWhatEachFunctionAsksAndAnswers) {
    const RtuCase cases[] = {
        {{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, ModbusRole::Request, "unit 17 Read Holding Registers 107..109"},
        {{0x11, 0x03, 0x06, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40}, ModbusRole::Answer, "→ 3 registers 0xAE41 0x5652 0x4340"},
        {{0x01, 0x01, 0x00, 0x13, 0x00, 0x13}, ModbusRole::Request, "unit 1 Read Coils 19..37"},
        {{0x01, 0x01, 0x03, 0xCD, 0x6B, 0x05}, ModbusRole::Answer, "→ 3 bytes of coils 0xCD 0x6B 0x05"},
        {{0x02, 0x02, 0x00, 0xC4, 0x00, 0x16}, ModbusRole::Request, "unit 2 Read Discrete Inputs 196..217"},
        {{0x03, 0x04, 0x00, 0x08, 0x00, 0x01}, ModbusRole::Request, "unit 3 Read Input Registers 8..8"},
        {{0x04, 0x05, 0x00, 0xAC, 0xFF, 0x00}, ModbusRole::Request, "unit 4 Write Single Coil 172 = ON"},
        {{0x04, 0x05, 0x00, 0xAC, 0x00, 0x00}, ModbusRole::Answer, "→ coil 172 = OFF"},
        {{0x05, 0x06, 0x00, 0x01, 0x00, 0x03}, ModbusRole::Request, "unit 5 Write Single Register 1 = 0x0003"},
        {{0x05, 0x06, 0x00, 0x01, 0x00, 0x03}, ModbusRole::Answer, "→ register 1 = 0x0003"},
        {{0x06, 0x0F, 0x00, 0x13, 0x00, 0x0A, 0x02, 0xCD, 0x01}, ModbusRole::Request,
         "unit 6 Write Multiple Coils 19..28 0xCD 0x01"},
        {{0x06, 0x0F, 0x00, 0x13, 0x00, 0x0A}, ModbusRole::Answer, "→ coils 19..28 written"},
        {{0x07, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}, ModbusRole::Request,
         "unit 7 Write Multiple Registers 1..2 0x000A 0x0102"},
        {{0x07, 0x10, 0x00, 0x01, 0x00, 0x02}, ModbusRole::Answer, "→ registers 1..2 written"},
        {{0x08, 0x17, 0x00, 0x03, 0x00, 0x02, 0x00, 0x0E, 0x00, 0x01, 0x02, 0x00, 0xFF}, ModbusRole::Request,
         "unit 8 Read/Write Multiple Registers read 3..4 write 14..14 0x00FF"},
        {{0x08, 0x17, 0x04, 0x00, 0xFE, 0x0A, 0xCD}, ModbusRole::Answer, "→ 2 registers 0x00FE 0x0ACD"},
        {{0x0A, 0x83, 0x02}, ModbusRole::Answer, "→ exception 2 Illegal Data Address to Read Holding Registers"},
        {{0x0A, 0x08, 0x00, 0x00, 0xA5, 0x37}, ModbusRole::Request, "unit 10 Diagnostics: 0x00 0x00 0xA5 0x37",
         Verdict::Unknown},
        {{0x0A, 0x03, 0x00, 0x01}, ModbusRole::Request, "unit 10 Read Holding Registers: 0x00 0x01", Verdict::Unknown},
        // With nobody's role known, the length tells: a request where both readings fit.
        {{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, ModbusRole::Unknown, "unit 17 Read Holding Registers 107..109"},
        {{0x11, 0x03, 0x02, 0x00, 0x2A}, ModbusRole::Unknown, "→ 1 register 0x002A"},
    };
    for (const RtuCase& c : cases) {
        SCOPED_TRACE(c.summary);
        const Bytes frame = rtu(c.frame);
        const FrameReading r = readRtu(frame.data(), frame.size(), c.role);
        EXPECT_EQ(r.summary, c.summary);
        EXPECT_EQ(r.verdict, c.verdict);
        EXPECT_EQ(r.unit, c.frame[0]);
        EXPECT_EQ(r.function, c.frame[1]);
        EXPECT_EQ(r.exception, c.frame[1] & 0x80 ? c.frame[2] : -1);
    }
}

TEST(ModbusRtu, TellsABadCrcFromAFrameCutShort) {
    Bytes bad{0x11, 0x03, 0x06, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40, 0x49, 0x52};
    const FrameReading r = readRtu(bad.data(), bad.size(), ModbusRole::Answer);
    EXPECT_EQ(r.verdict, Verdict::BadCrc);
    EXPECT_EQ(r.summary, "CRC bad: 0x4952, should be 0x49AD");
    const Bytes whole = rtu({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03});
    for (size_t cut : {1u, 3u, 5u, 7u})
        EXPECT_EQ(readRtu(whole.data(), cut, ModbusRole::Request).verdict, Verdict::Truncated) << cut;
    EXPECT_EQ(readRtu(whole.data(), 5, ModbusRole::Request).summary, "truncated: 5 bytes of unit 17 Read Holding Registers");
}

// ASCII frames and NMEA sentences: each with its verdict and, where it says one, its summary.
TEST(ModbusAsciiAndNmea, CheckTheirChecksumsAndNameWhatTheyCarry) {
    const std::string gga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
    const struct { std::string text; Verdict verdict; const char* summary; } cases[] = {
        {":1103006B00037E\r\n", Verdict::Ok, "unit 17 Read Holding Registers 107..109"},
        {":1103006B00037F\r\n", Verdict::BadLrc, "LRC bad: 0x7F, should be 0x7E"},
        {":1103006B0003X\r\n", Verdict::BadLrc, nullptr},
        {":1103006B", Verdict::Truncated, nullptr},
        {gga, Verdict::Ok, "talker GP sentence GGA"},
        {std::string(gga).replace(gga.size() - 3, 1, "8"), Verdict::BadChecksum, "checksum bad: 0x48, should be 0x47"},
        {"$PGRME,15.0,M,45.0,M,25.0,M\r\n", Verdict::Ok, "proprietary GRME, no checksum"},
        {"$GPGGA,1", Verdict::Truncated, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const Bytes b(c.text.begin(), c.text.end());
        const FrameReading r = c.text[0] == ':' ? readAscii(b.data(), b.size(), ModbusRole::Request)
                                                : readNmea(b.data(), b.size());
        EXPECT_EQ(r.verdict, c.verdict);
        EXPECT_TRUE(c.summary == nullptr || r.summary == c.summary) << r.summary;
    }
}

}  // namespace

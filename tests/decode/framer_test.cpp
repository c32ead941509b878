// One direction cut into frames: every byte in one frame however the reads split them, the gap rule
// as a plain reference computes it, and frames written by hand (bad CRC, cut short, two in one read).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "decode/framer.h"
#include "decode/modbus.h"
#include "tests/decode/rtu_frame.h"
#include "decode/transactions.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A random request or answer of a function with a length rule.
Bytes randomRtu(std::mt19937& random) {
    const auto byte = [&random] { return static_cast<uint8_t>(random() & 0xFF); };
    const uint8_t unit = static_cast<uint8_t>(1 + random() % 247);
    Bytes f{unit};
    uint8_t n = 0;  // the data bytes that follow, where the function counts them
    switch (random() % 6) {
        case 0: f.insert(f.end(), {3, 0, byte(), 0, static_cast<uint8_t>(1 + random() % 100)}); break;
        case 1:
            n = static_cast<uint8_t>(2 * (1 + random() % 60));
            f.insert(f.end(), {4, n});
            break;
        case 2: f.insert(f.end(), {6, byte(), byte(), byte(), byte()}); break;
        case 3:
            n = static_cast<uint8_t>(2 * (1 + random() % 10));
            f.insert(f.end(), {16, 0, byte(), 0, static_cast<uint8_t>(n / 2), n});
            break;
        case 4: f.insert(f.end(), {0x83, static_cast<uint8_t>(1 + random() % 4)}); break;
        default: f.insert(f.end(), {15, 0, byte(), 0, 8}); break;
    }
    for (int i = 0; i < n; ++i) f.push_back(byte());
    return rtu(f);
}

struct Read {
    Bytes bytes;
    int64_t micros;
};

std::vector<Frame> frame(const std::vector<Read>& reads, FramingOptions options) {
    Framer framer(1, options);
    std::vector<Frame> frames;
    uint64_t record = 0;
    for (const Read& r : reads) framer.add(r.bytes.data(), r.bytes.size(), r.micros, record++, frames);
    framer.finish(frames);
    return frames;
}

// The stream cut into reads at random places, all read at the same moment.
std::vector<Read> cutAtRandom(const Bytes& stream, std::mt19937& random) {
    std::vector<Read> reads;
    for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min<size_t>(stream.size() - at, 1 + random() % 40);
        reads.push_back({Bytes(stream.begin() + at, stream.begin() + at + n), 0});
        at += n;
    }
    return reads;
}

std::vector<Bytes> contents(const std::vector<Frame>& frames) {
    std::vector<Bytes> out;
    for (const Frame& f : frames) out.push_back(f.bytes);
    return out;
}

TEST(Framing, LengthRuledFramesDoNotDependOnHowTheyWereRead) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        std::vector<Bytes> sent;
        for (int i = 0; i < 30; ++i) {
            if (random() % 5 == 0) {  // now and then a few bytes of line noise between two frames
                sent.emplace_back(1 + random() % 6);
                for (uint8_t& b : sent.back()) b = static_cast<uint8_t>(0xF8 + random() % 8);  // no unit starts so
            }
            sent.push_back(randomRtu(random));
        }
        Bytes stream;
        for (const Bytes& b : sent) stream.insert(stream.end(), b.begin(), b.end());
        const std::vector<Frame> whole = frame({{stream, 0}}, {});
        ASSERT_EQ(contents(whole), sent);
        for (const Frame& f : whole) EXPECT_EQ(f.noise, f.bytes[0] >= 0xF8);
        EXPECT_EQ(contents(frame(cutAtRandom(stream, random), {})), sent);
    }
}

TEST(Framing, AQuietGapCutsWhereAPlainReferenceDoes) {
    for (unsigned seed = 1; seed <= 200; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        FramingOptions options;
        options.rule = FrameRule::Gap;
        options.gapMicros = 4000;
        options.charMicros = 1000;
        std::vector<Read> reads;
        int64_t now = 1'000'000;
        std::vector<Bytes> expected{{}};
        for (int i = 0; i < 60; ++i) {
            Bytes b(1 + random() % 5, static_cast<uint8_t>(i));
            const int64_t quiet = static_cast<int64_t>(random() % 7000);
            now += quiet + static_cast<int64_t>(b.size()) * options.charMicros;
            // The reference: the line was quiet for `quiet` before this read's first byte.
            if (i > 0 && quiet >= options.gapMicros) expected.emplace_back();
            expected.back().insert(expected.back().end(), b.begin(), b.end());
            reads.push_back({b, now});
        }
        EXPECT_EQ(contents(frame(reads, options)), expected);
    }
}

TEST(Framing, FramesWrittenOneByOneKeepTheirVerdicts) {
    const Bytes request = rtu({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03});
    const Bytes answer = rtu({0x11, 0x03, 0x06, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40});
    Bytes badCrc = answer;
    badCrc.back() ^= 0x55;
    const Bytes cutShort(request.begin(), request.begin() + 5);
    FramingOptions options;
    options.gapMicros = 4000;
    options.charMicros = 1100;
    std::vector<Read> reads;
    int64_t t = 0;
    const auto send = [&](const Bytes& b, int64_t after) {
        t += after;
        reads.push_back({b, t});
    };
    send(request, 0);
    send(badCrc, 50000);
    send(cutShort, 50000);
    Bytes two = request;
    two.insert(two.end(), answer.begin(), answer.end());
    send(two, 50000);                                 // two frames in one read
    for (uint8_t b : request) send({b}, 2000);        // one frame a byte at a time, short gaps
    send({0xFF, 0xFE}, 50000);                        // noise between frames
    send(request, 50000);
    const std::vector<Frame> frames = frame(reads, options);
    std::vector<Verdict> verdicts;
    for (const Frame& f : frames) verdicts.push_back(readFrame(f, FrameRule::ModbusRtu, ModbusRole::Unknown).verdict);
    EXPECT_EQ(verdicts, (std::vector<Verdict>{Verdict::Ok, Verdict::BadCrc, Verdict::Truncated, Verdict::Ok, Verdict::Ok,
                                              Verdict::Ok, Verdict::Noise, Verdict::Ok}));
    ASSERT_EQ(frames.size(), 8u);
    EXPECT_EQ(frames[5].firstRecord, 4u);  // the byte-by-byte frame: its first and last reads
    EXPECT_EQ(frames[5].lastRecord, 11u);
    EXPECT_EQ(frames[5].lastMicros - frames[5].firstMicros, 7 * 2000);
}

// An answer of 4 input bytes whose first 8 bytes end in a CRC that holds by chance, as a request of
// the same function would: a side known to answer is not cut there.
TEST(Framing, ASideKnownToAnswerIsCutByTheAnswersLengthOnly) {
    Bytes answer;
    for (uint8_t first = 0;; ++first) {
        Bytes head{0x11, 0x02, 0x04, first, 0x65, 0x47};
        const uint16_t chance = modbusCrc(head.data(), head.size());
        head.push_back(static_cast<uint8_t>(chance & 0xFF));
        answer = rtu(head);
        if (answer[7] == chance >> 8) break;
    }
    Framer framer(2, {});
    std::vector<Frame> frames;
    framer.setRole(ModbusRole::Answer);
    framer.add(answer.data(), answer.size(), 0, 0, frames);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, answer);
}

TEST(Framing, LinesStartAtTheirCharacterAndEndAtTheLineEnd) {
    FramingOptions options;
    options.rule = FrameRule::Nmea;
    const std::string text = "xx$GPGLL,1*00\r\n$GPGSA,2*0\r$GPRMC,3*11\r\n";
    std::vector<Read> reads;
    for (char c : text) reads.push_back({Bytes{static_cast<uint8_t>(c)}, 0});
    const std::vector<Frame> frames = frame(reads, options);
    std::vector<std::string> got;
    for (const Frame& f : frames) got.push_back((f.noise ? "noise:" : "") + std::string(f.bytes.begin(), f.bytes.end()));
    EXPECT_EQ(got, (std::vector<std::string>{"noise:xx", "$GPGLL,1*00\r\n", "$GPGSA,2*0\r", "$GPRMC,3*11\r\n"}));

    options.rule = FrameRule::Delimiter;
    options.delimiter = {0x0D, 0x0A};
    const std::vector<Frame> lines = frame({{{'a', 0x0D}, 0}, {{0x0A, 'b'}, 0}, {{0x0D, 0x0A}, 0}}, options);
    EXPECT_EQ(contents(lines), (std::vector<Bytes>{{'a', 0x0D, 0x0A}, {'b', 0x0D, 0x0A}}));
}

TEST(Framing, TheDefaultGapIsThreeAndAHalfCharactersOfTheLine) {
    EXPECT_EQ(quietGapMicros(9600, 8, false, false), 3646);  // 10 bits a character
    EXPECT_EQ(quietGapMicros(9600, 8, true, true), 4375);    // 12 bits
    EXPECT_EQ(quietGapMicros(19200, 7, true, false), 1823);  // 10 bits
    EXPECT_EQ(quietGapMicros(38400, 8, false, false), 1750);
    EXPECT_EQ(characterMicros(9600, 8, false, false), 1042);
}

}  // namespace

// The pcap and pcapng reader on files as other writers make them: either byte order, the time units their headers
// name, blocks it passes over; and on damage, where it stops. (Reading our own writer's files and editcap's, whole,
// is the saved timeline's test; any input cut any way is the fuzz harness's.)
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "record/pcap_reader.h"

namespace {

constexpr uint32_t kSecond = 1796687999;  // 2026-12-07 23:59:59 UTC

struct Writer {
    bool bigEndian;
    std::string out = {};
    Writer& n(uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            const int shift = 8 * (bigEndian ? bytes - 1 - i : i);
            out += static_cast<char>(value >> shift & 0xFF);
        }
        return *this;
    }
    Writer& raw(const std::string& bytes) {
        out += bytes;
        while (out.size() % 4 != 0) out += '\0';
        return *this;
    }
};

// A pcapng block of `type` around `body`, padded, its length before and after.
std::string block(bool bigEndian, uint32_t type, const std::string& body) {
    Writer padded{bigEndian};
    padded.raw(body);
    Writer w{bigEndian};
    const uint64_t length = padded.out.size() + 12;
    w.n(type, 4).n(length, 4).out += padded.out;
    return w.n(length, 4).out;
}
std::string sectionHeader(bool bigEndian) {
    return block(bigEndian, 0x0A0D0D0A, Writer{bigEndian}.n(0x1A2B3C4D, 4).n(1, 2).n(0, 2).n(UINT64_MAX, 8).out);
}
// An interface with options if_tsresol (`resolution`, when not 0) and if_tsoffset (when not 0).
std::string interface(bool bigEndian, uint16_t linkType, uint8_t resolution = 0, int64_t offsetSeconds = 0) {
    Writer w{bigEndian};
    w.n(linkType, 2).n(0, 2).n(0, 4);
    if (resolution != 0) w.n(9, 2).n(1, 2).raw(std::string(1, static_cast<char>(resolution)));
    if (offsetSeconds != 0) w.n(14, 2).n(8, 2).n(static_cast<uint64_t>(offsetSeconds), 8);
    if (resolution != 0 || offsetSeconds != 0) w.n(0, 4);
    return block(bigEndian, 1, w.out);
}
// The 12-byte header of link type 250 (its time big-endian, whatever the file's order), then `bytes`.
std::string serial(uint32_t seconds, uint32_t micros, uint8_t event, const std::string& bytes) {
    return Writer{true}.n(seconds, 4).n(micros, 4).n(event, 1).n(0, 3).out + bytes;
}
std::string enhanced(bool bigEndian, uint32_t interface, uint64_t stamp, const std::string& payload,
                     const std::string& options = "") {
    Writer w{bigEndian};
    w.n(interface, 4).n(stamp >> 32, 4).n(stamp & 0xFFFFFFFF, 4).n(payload.size(), 4).n(payload.size(), 4).raw(payload);
    return block(bigEndian, 6, w.out + options);
}
std::string pcapHeader(bool bigEndian, bool nanos, uint32_t linkType) {
    Writer w{bigEndian};
    return w.n(nanos ? 0xA1B23C4D : 0xA1B2C3D4, 4).n(2, 2).n(4, 2).n(0, 8).n(262144, 4).n(linkType, 4).out;
}
std::string pcapRecord(bool bigEndian, uint32_t seconds, uint32_t fraction, const std::string& payload) {
    return Writer{bigEndian}.n(seconds, 4).n(fraction, 4).n(payload.size(), 4).n(payload.size(), 4).out + payload;
}

using Record = std::tuple<int64_t, int, std::string>;  // µs since the epoch, channel, bytes

struct Result {
    std::vector<Record> records;
    PcapStop stop;
    uint64_t stopAt, skipped, firstSkipped;
};

Result readAll(const std::string& input) {
    PcapReader reader;
    std::vector<Record> records;
    reader.feed(reinterpret_cast<const uint8_t*>(input.data()), input.size(), [&](const PcapPacket& p) {
        records.emplace_back(p.wallMicros, p.channel, std::string(reinterpret_cast<const char*>(p.bytes), p.length));
    });
    reader.finish();
    return {std::move(records), reader.stop(), reader.stopAt(), reader.skipped(), reader.firstSkipped()};
}

constexpr int64_t kMicros = int64_t{kSecond} * 1000000;

}  // namespace

// Classic pcap big-endian in nanoseconds then, appended, little-endian in µs; pcapng big-endian in 2^-20 s, then a
// little-endian section in ns an hour on (if_tsoffset) with an Ethernet interface too: its packet, a line-state
// record, a block of an unknown type and an Enhanced Packet Block's options are passed over; a Simple Packet Block
// takes the record header's time.
TEST(PcapReader, ReadsEitherByteOrderInTheUnitsItsHeadersNameAndPassesOverWhatIsNotSerialData) {
    const Result pcap = readAll(pcapHeader(true, true, 250) +
                                pcapRecord(true, kSecond, 999999999, serial(0, 0, 1, "ab")) +
                                pcapHeader(false, false, 250) +
                                pcapRecord(false, kSecond + 1, 7, serial(0, 0, 2, "c")));
    EXPECT_EQ(pcap.records, (std::vector<Record>{{kMicros + 999999, 1, "ab"}, {kMicros + 1000007, 2, "c"}}));
    EXPECT_EQ(pcap.stop, PcapStop::None);

    const std::string ng = sectionHeader(true) + interface(true, 250, 0x80 | 20) +
                           enhanced(true, 0, uint64_t{kSecond} << 20 | 1 << 19, serial(0, 0, 1, "half")) +
                           sectionHeader(false) + interface(false, 250, 9, 3600) + interface(false, 1) +
                           enhanced(false, 1, 5, std::string(60, '\xFF')) +
                           enhanced(false, 0, uint64_t{kSecond} * 1000000000 + 123456789, serial(0, 0, 2, "ns"),
                                    Writer{false}.n(1, 2).n(7, 2).raw("comment").n(0, 4).out) +
                           block(false, 0xBAD, "not read here") + enhanced(false, 0, 0, serial(0, 0, 5, "")) +
                           block(false, 3, Writer{false}.n(18, 4).out + serial(kSecond, 42, 1, "simple"));
    const Result read = readAll(ng);
    EXPECT_EQ(read.records, (std::vector<Record>{{kMicros + 500000, 1, "half"},
                                                 {kMicros + 3600000000 + 123456, 2, "ns"},
                                                 {kMicros + 42, 1, "simple"}}));
    EXPECT_EQ(std::make_tuple(read.stop, read.skipped, read.firstSkipped), std::make_tuple(PcapStop::None, 2u, 2u));
}

// Where reading stops and why: a file of another link type at once, a version not read, lengths no writer gives,
// and an end inside a block; the records before are kept.
TEST(PcapReader, StopsWhereTheDamageIsAndSaysWhy) {
    const std::string head = sectionHeader(false) + interface(false, 250);
    const std::string one = enhanced(false, 0, kMicros, serial(0, 0, 1, "kept"));
    std::string unaligned = one;
    unaligned[4] = static_cast<char>(unaligned[4] + 1);
    std::string version = sectionHeader(false);
    version[12] = 2;
    const std::string huge = pcapRecord(false, kSecond, 0, "").substr(0, 8) + Writer{false}.n(64 << 20, 4).n(0, 4).out;
    const std::tuple<std::string, PcapStop, uint64_t, size_t> cases[] = {
        {pcapHeader(false, false, 1) + pcapRecord(false, 0, 0, "x"), PcapStop::LinkType, 0, 0},
        {pcapHeader(true, false, 1), PcapStop::LinkType, 0, 0},
        {"GIF89a" + std::string(30, '\0'), PcapStop::NotPcap, 0, 0},
        {head + one + version, PcapStop::Version, head.size() + one.size(), 1},
        {head + one + unaligned, PcapStop::Malformed, head.size() + one.size(), 1},
        {pcapHeader(false, false, 250) + huge, PcapStop::Malformed, 24, 0},
        {head + one + one.substr(0, one.size() - 1), PcapStop::Truncated, head.size() + one.size(), 1},
        {head + one + one.substr(0, 6), PcapStop::Truncated, head.size() + one.size(), 1},
    };
    for (const auto& [input, stop, at, records] : cases) {
        const Result read = readAll(input);
        EXPECT_EQ(std::make_tuple(read.stop, read.stopAt, read.records.size()), std::make_tuple(stop, at, records));
    }
    EXPECT_EQ(pcapLinkTypeName(1), "Ethernet");
}

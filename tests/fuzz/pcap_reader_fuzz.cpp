// The pcap and pcapng reader on any input: fed whole, a byte at a time or in blocks of other sizes it gives the
// same records and stops at the same place for the same reason; each record lies inside the input, within its
// packet, and reads again alike from its start with only its heads and bytes there (as a saved timeline reads it).
#include <algorithm>
#include <cstring>
#include <vector>

#include "record/pcap_reader.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

struct Read {
    std::vector<PcapPacket> packets;
    std::vector<std::string> bytes;
    PcapStop stop = PcapStop::None;
    uint64_t stopAt = 0, linkType = 0, skipped = 0, firstSkipped = 0, packetCount = 0;
    std::vector<PcapSection> sections;
};

// The input fed in blocks of the sizes `sizes` gives in turn, over again.
Read readIn(const uint8_t* data, size_t size, const std::vector<size_t>& sizes) {
    Read read;
    PcapReader reader;
    for (size_t at = 0, turn = 0; at < size; ++turn) {
        const size_t length = std::min(sizes[turn % sizes.size()], size - at);
        // A buffer of just its size, for the sanitizers.
        const std::vector<uint8_t> block(data + at, data + at + length);
        reader.feed(block.data(), block.size(), [&](const PcapPacket& packet) {
            read.packets.push_back(packet);
            read.bytes.emplace_back(reinterpret_cast<const char*>(packet.bytes), packet.length);
        });
        at += length;
    }
    reader.finish();
    read.stop = reader.stop();
    read.stopAt = reader.stopAt();
    read.linkType = reader.refusedLinkType();
    read.skipped = reader.skipped();
    read.firstSkipped = reader.firstSkipped();
    read.packetCount = reader.packets();
    read.sections = reader.sections();
    FUZZ_REQUIRE(reader.records() == read.packets.size());
    FUZZ_REQUIRE(reader.records() + reader.skipped() <= reader.packets());
    FUZZ_REQUIRE(reader.stopped() || reader.consumed() == size);
    return read;
}

bool same(const Read& a, const Read& b) {
    if (a.packets.size() != b.packets.size() || a.bytes != b.bytes) return false;
    for (size_t i = 0; i < a.packets.size(); ++i) {
        const PcapPacket &p = a.packets[i], &q = b.packets[i];
        if (p.offset != q.offset || p.wallMicros != q.wallMicros || p.channel != q.channel) return false;
    }
    return a.stop == b.stop && a.stopAt == b.stopAt && a.linkType == b.linkType && a.skipped == b.skipped &&
           a.firstSkipped == b.firstSkipped && a.packetCount == b.packetCount && a.sections.size() == b.sections.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Read whole = readIn(data, size, {size + 1});
    uint64_t previousEnd = 0;
    for (size_t i = 0; i < whole.packets.size(); ++i) {
        const PcapPacket& packet = whole.packets[i];
        // Inside the input, after the record before it, with room for its heads (a simple packet block's are
        // the shortest).
        FUZZ_REQUIRE(packet.offset >= previousEnd && packet.offset + 12 + 12 + packet.length <= size);
        previousEnd = packet.offset + 12 + 12 + packet.length;
        FUZZ_REQUIRE(packet.channel == 1 || packet.channel == 2);
        FUZZ_REQUIRE(packet.length > 0 && packet.wallMicros >= 0);
        FUZZ_REQUIRE(packet.wallMicros < int64_t{253402300800} * 1000000);  // a date of four digits
        // Read again from its start, as the section it is in says, with no more than its heads and bytes there.
        const auto in = std::upper_bound(whole.sections.begin(), whole.sections.end(), packet.offset,
                                         [](uint64_t at, const PcapSection& s) { return at < s.start; });
        FUZZ_REQUIRE(in != whole.sections.begin());
        const size_t room = std::min<size_t>(size - packet.offset, PcapReader::kMostHeadBytes + packet.length);
        const std::vector<uint8_t> again(data + packet.offset, data + packet.offset + room);
        PcapPacket reread;
        FUZZ_REQUIRE(PcapReader::readPacket(*(in - 1), again.data(), again.size(), packet.offset, reread) ==
                     PcapPacketKind::Data);
        FUZZ_REQUIRE(reread.wallMicros == packet.wallMicros && reread.channel == packet.channel &&
                     reread.length == packet.length &&
                     std::memcmp(reread.bytes, whole.bytes[i].data(), packet.length) == 0);
    }
    FUZZ_REQUIRE(whole.stopAt <= size);
    if (size <= 4096) FUZZ_REQUIRE(same(readIn(data, size, {1}), whole));
    FUZZ_REQUIRE(same(readIn(data, size, {3, 7, 24, 1, 60, 4096}), whole));
    FUZZ_REQUIRE(same(readIn(data, size, {size / 2 + 1}), whole));
    return 0;
}

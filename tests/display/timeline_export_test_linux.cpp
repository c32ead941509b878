// A selection of the live timeline exported for Wireshark: what tshark reads back is the
// selection's records of the chosen direction still held, at their read times to the microsecond.
#include <gtest/gtest.h>

#include <random>

#include "display/timeline_export.h"
#include "display/timeline_records.h"
#include "tests/support/pty_cable.h"
#include "tests/support/tshark.h"

namespace {

struct Read {
    int channel;
    std::string bytes;
    int64_t wall;
};

// Records 10..39 of port 2 chosen, then 30 more read, so that a bound of 50 lets 0..19 go before
// the export starts: it writes 20..39 of port 2, in both forms.
TEST(TimelineExport, ASelectionOfOneDirectionWritesItsRecordsStillHeldAtTheirReadTimes) {
    if (tsharkPath().empty()) GTEST_SKIP() << "tshark is not installed (tools/install-deps.sh installs it)";
    ScratchDir dir;
    std::mt19937 random(9);
    std::vector<Read> reads;
    int64_t wall = int64_t{1796687990} * 1000000 + 999'000;  // each read a second or less apart
    for (uint32_t i = 0; i < 70; ++i) {
        wall += 1 + random() % 1'000'000;
        reads.push_back({1 + static_cast<int>(random() % 2), randomBytes(1 + random() % 40, i), wall});
    }
    TimelineRecords live(50);
    live.setTaking(true);
    const auto take = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            const Read& r = reads[i];
            live.onRead(r.channel, reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size(), {r.wall, r.wall});
        }
    };
    take(0, 40);
    TimelineSelection chosen;
    chosen.next = 10;
    chosen.last = 39;
    chosen.channels = timelineChannelBit(2);
    take(40, reads.size());
    ASSERT_EQ(live.extent().first, 20u);
    std::vector<const Read*> wanted;
    for (size_t i = 20; i < 40; ++i)
        if (reads[i].channel == 2) wanted.push_back(&reads[i]);

    for (PcapForm form : {PcapForm::Pcap, PcapForm::PcapNg}) {
        const std::string out = dir.file(form == PcapForm::Pcap ? "chosen.pcap" : "chosen.pcapng");
        TimelineExport exporting(live, chosen, form, "Vorlinex v1.01a", "/dev/ttyUSB0 <-> /dev/ttyUSB1", out);
        ASSERT_TRUE(eventually([&] { return exporting.progress().done; }));
        EXPECT_EQ(exporting.progress().error, 0);
        EXPECT_EQ(exporting.progress().records, wanted.size());
        const auto packets = tsharkFields(out, {"frame.time_epoch", "rtacser.eventtype", "data.data",
                                                "frame.interface_name"});
        ASSERT_EQ(packets.size(), wanted.size());
        for (size_t i = 0; i < wanted.size(); ++i) {
            EXPECT_EQ(tsharkEpochMicros(packets[i][0]), wanted[i]->wall) << i;
            EXPECT_EQ(packets[i][1], "0x02") << i;
            EXPECT_EQ(packets[i][2], tsharkHex(wanted[i]->bytes)) << i;
            EXPECT_EQ(packets[i][3], form == PcapForm::PcapNg ? "/dev/ttyUSB0 <-> /dev/ttyUSB1" : "") << i;
        }
    }
}

}  // namespace

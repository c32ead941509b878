// A selection of the live timeline exported for Wireshark: what tshark reads back is the
// selection's records of the chosen direction still held, at their read times to the microsecond.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>

#include "display/timeline_export.h"
#include "tests/display/timeline_lines.h"
#include "tests/support/pty_cable.h"
#include "tests/support/tshark.h"

namespace {

// 70 reads from `start`, each a second or less after the one before, into a live list of 50;
// records 10..39 of port 2 chosen, of which the reads after the 40th let 0..19 go before the
// export starts: it writes 20..39 of port 2, in both forms.
void exportStillHeld(int64_t start) {
    SCOPED_TRACE(start);
    ScratchDir dir;
    std::mt19937 random(9);
    TimelineRecords live(50);
    live.setTaking(true);
    std::vector<TsharkPacket> wanted;
    int64_t wall = start;
    for (uint32_t i = 0; i < 70; ++i) {
        wall += 1 + random() % 1'000'000;
        const int channel = 1 + static_cast<int>(random() % 2);
        const std::string bytes = randomBytes(1 + random() % 40, i);
        takeRead(live, channel, bytes, wall, wall);
        if (i >= 20 && i < 40 && channel == 2) wanted.push_back({wall, 2, tsharkHex(bytes)});
    }
    ASSERT_EQ(live.extent().first, 20u);
    const TimelineSelection chosen{10, 39, timelineChannelBit(2)};

    for (PcapForm form : {PcapForm::Pcap, PcapForm::PcapNg}) {
        const std::string out = dir.file(form == PcapForm::Pcap ? "chosen.pcap" : "chosen.pcapng");
        TimelineExport exporting(live, chosen, form, "Vorlinex v1.01a", "/dev/ttyUSB0 <-> /dev/ttyUSB1", out);
        ASSERT_TRUE(eventually([&] { return exporting.progress().done; }));
        EXPECT_EQ(exporting.progress().error, 0);
        EXPECT_EQ(exporting.progress().records, wanted.size());
        EXPECT_TRUE(tsharkPackets(out) == wanted);
        for (const std::vector<std::string>& packet : tsharkFields(out, {"frame.interface_name"}))
            EXPECT_EQ(packet[0], form == PcapForm::PcapNg ? "/dev/ttyUSB0 <-> /dev/ttyUSB1" : "");
    }
}

// What is chosen and still held is written at its read times; also across the hour that a change
// to winter time repeats, where a record's local time says which of the two it was read in.
TEST(TimelineExport, ASelectionOfOneDirectionWritesItsRecordsStillHeldAtTheirReadTimes) {
    if (tsharkPath().empty()) GTEST_SKIP() << "tshark is not installed (tools/install-deps.sh installs it)";
    exportStillHeld(int64_t{1796687990} * 1000000 + 999'000);  // in the machine's zone
    const char* was = std::getenv("TZ");
    const std::string machines = was != nullptr ? was : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    exportStillHeld(int64_t{1792889985} * 1000000);  // 2026-10-25 02:59:45 summer time, 15 s before 02:00 winter time
    if (was != nullptr) setenv("TZ", machines.c_str(), 1);
    else unsetenv("TZ");
    tzset();
}

}  // namespace

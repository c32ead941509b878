// A session of the real program handed to Wireshark: its combined capture exported as pcap and
// pcapng, read back by tshark, the independent reader: the same packets, directions, bytes and
// microseconds as the capture's records; Modbus RTU frames with the same CRC verdicts as the
// program's. And --export-pcap's exit statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <sstream>

#include "display/timeline_export.h"
#include "display/timeline_file.h"
#include "display/timeline_frames.h"
#include "shell/command_line.h"
#include "tests/decode/rtu_frame.h"
#include "tests/display/timeline_lines.h"
#include "tests/shell/headless_on_cables.h"
#include "tests/support/combined_records.h"
#include "tests/support/tshark.h"

namespace {

// PI_WARN of Wireshark's expert items; PI_ERROR is above it.
constexpr long kTsharkWarning = 0x00600000;

const std::pair<PcapForm, const char*> kForms[] = {{PcapForm::Pcap, "pcap"}, {PcapForm::PcapNg, "pcapng"}};

class PcapExport : public HeadlessOnCables {
protected:
    void SetUp() override {
        if (tsharkPath().empty()) GTEST_SKIP() << "tshark is not installed (tools/install-deps.sh installs it)";
        HeadlessOnCables::SetUp();
    }
    // The headless program between the cables, capturing both directions into c.log while
    // `traffic` runs, then stopped.
    void relayCapturing(const std::function<void()>& traffic) {
        ChildProcess relay(programUnderTest(),
                           {"--headless", "--ini", "site.ini", "--log-combined", "c.log", "--status-every", "0"});
        ASSERT_NE(relay.awaitLine("^<5>relaying "), "") << relay.err();
        traffic();
        relay.signal(SIGTERM);
        ASSERT_EQ(relay.wait(), 0) << relay.err();
    }
    int exportCli(const std::vector<std::string>& arguments, std::string& err) {
        std::vector<std::string> all = {"--export-pcap"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        ChildProcess child(programUnderTest(), all);
        const int status = child.wait();
        err = child.err();
        return status;
    }
};

// Random bytes both ways, each piece waited for at the far end: tshark reads every record of the
// capture as one packet, with its direction, its bytes and its read time to the microsecond, in
// both forms; the pcapng names the program and the ports.
TEST_F(PcapExport, ARelayedSessionReadsInTsharkAsTheCapturesRecordsInBothForms) {
    relayCapturing([&] {
        std::mt19937 random(3);
        for (uint32_t piece = 0; piece < 60; ++piece) {
            const std::string bytes = randomBytes(1 + random() % 300, piece);
            PtyCable& from = piece % 3 == 1 ? second : first;
            PtyCable& to = &from == &first ? second : first;
            from.send(bytes);
            ASSERT_TRUE(to.receive(bytes.size(), 10000) == bytes) << piece;
        }
    });
    std::string error;
    const std::vector<CombinedRecord> records = parseCombinedRecords(dir.read("c.log"), error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_GE(records.size(), 60u);
    for (const auto& [form, name] : kForms) {
        SCOPED_TRACE(name);
        const std::string out = std::string("c.") + name;
        std::string err;
        ASSERT_EQ(exportCli({"c.log", out, "--format", name}, err), 0) << err;
        EXPECT_EQ(err, "");
        std::vector<TsharkPacket> expected;
        for (const CombinedRecord& r : records) expected.push_back({r.wallMicros, r.channel, tsharkHex(r.bytes)});
        EXPECT_TRUE(tsharkPackets(out) == expected);
        for (const std::vector<std::string>& packet : tsharkFields(out, {"frame.interface_name"}))
            ASSERT_EQ(packet[0], form == PcapForm::PcapNg ? "COM1 <-> COM2" : "");
        if (form != PcapForm::PcapNg || ::access("/usr/bin/capinfos", X_OK) != 0) continue;
        ChildProcess capinfos("/usr/bin/capinfos", {out});
        if (capinfos.wait() == 0) {
            EXPECT_NE(capinfos.out().find("Capture application: Vorlinex v1.01a\n"), std::string::npos)
                << capinfos.out();
        }
    }
}

// A Modbus RTU master on port 1 and a slave on port 2, one answer sent with a bad CRC: exported a
// frame per packet, tshark's Modbus RTU reading gives the program's CRC verdict on every frame,
// and warns of nothing but the planted fault.
TEST_F(PcapExport, ModbusFramesExportedPerFrameGetTsharksCrcVerdictOfTheProgramWithNoOtherWarning) {
    const std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> kinds = {
        {{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03}, {0x11, 0x03, 0x06, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40}},
        {{0x05, 0x06, 0x00, 0x01, 0x00, 0x03}, {0x05, 0x06, 0x00, 0x01, 0x00, 0x03}},
        {{0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}, {0x11, 0x10, 0x00, 0x01, 0x00, 0x02}},
        {{0x11, 0x01, 0x00, 0x13, 0x00, 0x0A}, {0x11, 0x01, 0x02, 0xCD, 0x01}},
        {{0x11, 0x04, 0x00, 0x08, 0x00, 0x01}, {0x11, 0x04, 0x02, 0x00, 0x0A}},
    };
    constexpr size_t kTransactions = 30, kPlanted = 17;
    std::vector<uint8_t> planted;
    relayCapturing([&] {
        for (size_t i = 0; i < kTransactions; ++i) {
            const auto& [ask, told] = kinds[i % kinds.size()];
            const std::vector<uint8_t> request = rtu(ask);
            std::vector<uint8_t> answer = rtu(told);
            if (i == kPlanted) {
                answer.back() ^= 0x40;
                planted = answer;
            }
            first.send({request.begin(), request.end()});
            ASSERT_EQ(second.receive(request.size(), 10000), std::string(request.begin(), request.end())) << i;
            second.send({answer.begin(), answer.end()});
            ASSERT_EQ(first.receive(answer.size(), 10000), std::string(answer.begin(), answer.end())) << i;
        }
    });
    TimelineFile file;
    int error = 0;
    ASSERT_TRUE(file.open(dir.file("c.log"), error)) << error;
    ASSERT_TRUE(eventually([&] { return file.progress().done; }));
    DecodeChoice modbus;
    ASSERT_TRUE(parseDecodeChoice("modbus-rtu", modbus));
    LineSettings line;
    line.baudRate = 9600;
    TimelineFrames frames(file, modbus, line, line);
    ASSERT_TRUE(eventually([&] { return frames.advance(50, 0, true); }));
    const std::vector<TimelineRecord> rows = readAll(frames.all());
    ASSERT_EQ(rows.size(), 2 * kTransactions);
    std::vector<std::string> verdicts;  // tshark's words: 1 good, 0 bad
    for (const TimelineRecord& row : rows) verdicts.push_back(row.verdict == Verdict::BadCrc ? "0" : "1");
    ASSERT_EQ(std::count(verdicts.begin(), verdicts.end(), "0"), 1);
    EXPECT_EQ(rows[2 * kPlanted + 1].bytes, std::string(planted.begin(), planted.end()));

    const std::vector<std::string> asModbus = {"-d", "rtacser.data,mbrtu", "-o", "mbrtu.crc_verification:TRUE"};
    for (const auto& [form, name] : kForms) {
        SCOPED_TRACE(name);
        const std::string out = dir.file(std::string("frames.") + name);
        TimelineSelection all;
        all.last = frames.all().extent().end - 1;
        TimelineExport exporting(frames.all(), all, form, "Vorlinex v1.01a", "COM1 <-> COM2", out);
        ASSERT_TRUE(eventually([&] { return exporting.progress().done; }));
        EXPECT_EQ(exporting.progress().error, 0);
        EXPECT_EQ(exporting.progress().records, rows.size());
        const auto packets = tsharkFields(
            out, {"mbrtu.crc16.status", "rtacser.eventtype", "_ws.expert.severity", "_ws.expert.message"}, asModbus);
        ASSERT_EQ(packets.size(), rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(packets[i][0], verdicts[i]) << i << ": " << tsharkHex(rows[i].bytes);
            EXPECT_EQ(packets[i][1], rows[i].channel == 1 ? "0x01" : "0x02") << i;
            // tshark's expert items, as -z expert counts them: warnings and errors only where planted.
            std::istringstream severities(packets[i][2]);
            bool warned = false;
            for (std::string severity; std::getline(severities, severity, ',');)
                warned = warned || std::stol(severity) >= kTsharkWarning;
            EXPECT_EQ(warned, verdicts[i] == "0") << i << ": " << packets[i][3];
            if (verdicts[i] == "0") {
                EXPECT_NE(packets[i][3].find("Incorrect CRC"), std::string::npos) << packets[i][3];
            }
        }
    }
}

// 1 with the reason when the capture cannot be read or the file not written (nothing said to be
// written that was not). (A wrong command line: command_line_test's table; its exit 2: the headless test's.)
TEST_F(PcapExport, ExitsOneWithTheReasonWhenTheCaptureCannotBeReadOrTheFileNotWritten) {
    dir.write("notes.txt", "shopping list\nmilk\n");
    dir.write("c.log", "");
    std::filesystem::create_directory(dir.file("folder"));
    const std::pair<std::vector<std::string>, std::string> failures[] = {
        {{"missing.log", "o.pcapng"}, "vorlinex: cannot open missing.log: No such file or directory\n"},
        {{"folder", "o.pcapng"}, "vorlinex: cannot open folder: Is a directory\n"},
        {{"notes.txt", "o.pcapng"},
         "vorlinex: notes.txt is not a combined capture or frame log: line 1 is not a record\n"},
        {{"c.log", "c.log"}, "vorlinex: c.log is the capture itself\n"},
        {{"c.log", "folder/none/o.pcap", "--format", "pcap"},
         "vorlinex: cannot write folder/none/o.pcap: No such file or directory\n"},
        {{"c.log", "/dev/full"}, "vorlinex: cannot write /dev/full: No space left on device\n"},
    };
    for (const auto& [arguments, said] : failures) {
        std::string err;
        EXPECT_EQ(exportCli(arguments, err), 1) << said;
        EXPECT_EQ(err, said);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("o.pcapng"))) << "nothing is written for what is no capture";
    std::string err;
    EXPECT_EQ(exportCli({"c.log", "empty.pcap", "--format=pcap"}, err), 0) << err;
    EXPECT_EQ(dir.read("empty.pcap").size(), 24u) << "a capture of no records: the file header alone";
}

}  // namespace

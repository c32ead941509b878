// The headless program's records for Wireshark, live: its PCAP-over-IP server read by real tshark
// clients (TCP@127.0.0.1:PORT) and by a client that never reads, and its --pcap files rotated by
// SIGHUP, all under traffic both ways.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <list>
#include <regex>
#include <thread>

#include "tests/shell/headless_on_cables.h"
#include "tests/support/combined_records.h"
#include "tests/support/test_socket.h"
#include "tests/support/tshark.h"

namespace {

using PcapLive = HeadlessOnCables;

// Two tshark clients and one that connects and never reads, under traffic: each tshark gets
// every record of the combined capture of the same run, exact; the stalled client is dropped with
// a line naming it; a client that comes mid-stream gets a valid pcap from then on; the --pcap file
// rotated twice by SIGHUP meanwhile: each file reads in tshark and together they hold every record
// once; the relay loses nothing; SIGTERM ends it all with 0. A second run on the same port ends
// with 1 and says why.
TEST_F(PcapLive, TsharkClientsGetEveryRecordAStalledOneIsDroppedAndRotatedPcapngFilesHoldEachRecordOnce) {
    if (tsharkPath().empty()) GTEST_SKIP() << "tshark is not installed (tools/install-deps.sh)";
    std::list<ChildProcess> children;
    ChildProcess& run = children.emplace_back(programUnderTest(), std::vector<std::string>{"--headless", "--ini",
        "site.ini", "--log-combined", "c.log", "--pcap", "s.pcapng", "--pcap-listen", "0", "--status-every", "0"});
    size_t from = 0;
    const auto told = [&](const std::string& pattern) { return run.expectLine(pattern, from); };
    std::smatch listening;
    const std::string line = told("^<5>pcap-listen 127\\.0\\.0\\.1:\\d+: PCAP-over-IP to whoever connects");
    ASSERT_TRUE(std::regex_search(line, listening, std::regex("127\\.0\\.0\\.1:(\\d+)")));
    const std::string address = listening[0];
    const uint16_t port = static_cast<uint16_t>(std::stoi(listening[1]));
    // A port another program holds ends a run before it opens anything.
    ChildProcess& taken = children.emplace_back(programUnderTest(), std::vector<std::string>{
        "--headless", "--ini", "site.ini", "--pcap-listen", std::to_string(port), "--status-every", "0"});
    EXPECT_EQ(taken.wait(), 1);
    EXPECT_EQ(taken.err(), "<3>pcap-listen " + address + " cannot listen: Address already in use\n");

    const auto tshark = [&](const std::string& file) -> ChildProcess& {
        const std::vector<std::string> arguments = {"-i", "TCP@" + address, "-w", file, "-F", "pcap"};
        return children.emplace_back(tsharkPath(), arguments);
    };
    ChildProcess &a = tshark("a.pcap"), &b = tshark("b.pcap");
    // The stalled client: a small receive buffer, so that what waits for it is soon the server's.
    TestSocket stalled(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int small = 4096;
    ::setsockopt(static_cast<int>(stalled.get()), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(static_cast<int>(stalled.get()), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string stalledPeer = "127.0.0.1:" + std::to_string(stalled.localPort());
    // tshark loads every dissector before it connects: on a busy machine that takes a while.
    int connected = 0;
    for (int tries = 0; connected < 3 && tries < 6; ++tries)
        if (!run.awaitLine("^<5>.* pcap-listen client 127\\.0\\.0\\.1:\\d+ connected$", from).empty()) ++connected;
    ASSERT_EQ(connected, 3) << run.err();

    // Rounds of random bytes both ways, each arriving whole and in order, at most a fast adapter's
    // 1.2 MB/s each way, until the end.
    std::atomic<int64_t> rounds{0};
    std::jthread traffic([&](std::stop_token done) {
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t seed = 1; !done.stop_requested(); seed += 2, ++rounds) {
            expectRelaysBothWays(first, second, seed);
            std::this_thread::sleep_until(start + std::chrono::microseconds(rounds * 7000 * 10 / 24));
        }
    });
    const auto relayed = [&](int64_t bytes) { return eventually([&] { return rounds * 7000 >= bytes; }); };
    ASSERT_TRUE(relayed(1'000'000));
    // A client that comes mid-stream, and reads until the server closes.
    std::string late;
    std::thread lateReader([&] {
        TestSocket socket = connectLocal(port);
        for (std::string more; !(more = socket.receiveSome(20000)).empty();) late += more;
    });
    for (int rotation = 1; rotation <= 2; ++rotation) {
        std::filesystem::rename(dir.file("s.pcapng"), dir.file("s." + std::to_string(rotation) + ".pcapng"));
        run.signal(SIGHUP);
        told("^<5>.* capture pcap s\\.pcapng reopened$");
        ASSERT_TRUE(relayed(rounds * 7000 + 1'000'000));
    }
    told("^<4>.* pcap-listen client " + stalledPeer + " dropped: it stopped reading, [\\d,]+ bytes waited for it$");
    traffic.request_stop();
    traffic.join();
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait(), 0) << run.err();
    lateReader.join();

    std::string error;
    const std::vector<CombinedRecord> records = parseCombinedRecords(dir.read("c.log"), error);
    ASSERT_EQ(error, "");
    std::vector<TsharkPacket> expected;
    int64_t bytes[2] = {0, 0}, pcapSize = 24;
    for (const CombinedRecord& r : records) {
        bytes[r.channel - 1] += static_cast<int64_t>(r.bytes.size());
        pcapSize += 16 + 12 + static_cast<int64_t>(r.bytes.size());
        expected.push_back({r.wallMicros, r.channel, tsharkHex(r.bytes)});
    }
    // tshark waits on after its stream ended, until it is told to stop: once it has written
    // what came; each gets every record of the capture.
    for (auto [client, file] : {std::pair{&a, "a.pcap"}, std::pair{&b, "b.pcap"}}) {
        EXPECT_TRUE(eventually([&] {
            return std::filesystem::exists(dir.file(file)) &&
                   static_cast<int64_t>(std::filesystem::file_size(dir.file(file))) >= pcapSize;
        })) << file << "\n" << client->err();
        client->requestStop();
        client->wait();
        const std::vector<TsharkPacket> got = tsharkPackets(dir.file(file));
        EXPECT_TRUE(got == expected) << file << ": " << got.size() << " records of " << expected.size();
    }
    ASSERT_TRUE(bytes[0] == rounds * 3000 && bytes[1] == rounds * 4000)
        << bytes[0] << " and " << bytes[1] << " bytes captured of " << rounds << " rounds' 3000 and 4000\n"
        << run.err();
    dir.write("late.pcap", late);
    const std::vector<TsharkPacket> lateRecords = tsharkPackets(dir.file("late.pcap"), nullptr, /*cutShort=*/true);
    ASSERT_FALSE(lateRecords.empty()) << "the mid-stream client's";
    const auto lateStart = std::ranges::find(expected, lateRecords.front());
    ASSERT_NE(lateStart, expected.end());
    EXPECT_GT(lateStart - expected.begin(), 0) << "it came mid-stream";
    EXPECT_TRUE(std::equal(lateRecords.begin(), lateRecords.end(), lateStart, expected.end()));
    EXPECT_EQ(expected.end() - lateStart, static_cast<ptrdiff_t>(lateRecords.size()));

    std::vector<TsharkPacket> rotated;
    for (const char* file : {"s.1.pcapng", "s.2.pcapng", "s.pcapng"}) {
        std::set<std::string> sections;
        const std::vector<TsharkPacket> got = tsharkPackets(dir.file(file), &sections);
        EXPECT_EQ(sections, std::set<std::string>{"1"}) << file << ": one section, its own";
        rotated.insert(rotated.end(), got.begin(), got.end());
    }
    EXPECT_TRUE(rotated == expected) << rotated.size() << " records of " << expected.size();
}

}  // namespace

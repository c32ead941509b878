// The capture log on real files: opening, closing while a worker writes; and the combined
// record. Line ends and the counter are the fuzz harness's, FIFOs with a reader the log window test's.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "shell/application.h"
#include "tests/support/pty_cable.h"

using namespace std::string_literals;

namespace {

// Refused at once, with the reason: a missing folder, and a FIFO that nobody reads (an open that
// waits for a reader hangs here, and fails the program's ways out). Then a close while writing.
TEST(CaptureLog, OpenNeverWaitsForAFifoReaderAndCloseWhileAnotherThreadWritesLosesNothing) {
    ScratchDir dir;
    Application app;  // its end closes what a check left open
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::pair<std::string, int> refused[] = {{dir.file("no such folder/x.txt"), ENOENT}, {pipe, ENXIO}};
    for (const auto& [path, error] : refused) {
        SCOPED_TRACE(path);
        std::string failure;
        EXPECT_EQ(app.captures.openCaptureLog(2, path, &failure), 0);
        EXPECT_EQ(failure.rfind(std::strerror(error), 0), 0u) << failure;
        EXPECT_EQ(app.relay.relayChannel2.logEnabled.load(), 0);
    }

    const std::string data = randomBytes(100003, 5);
    ASSERT_EQ(app.captures.openCaptureLog(1, dir.file("racing.log")), 1);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> calls{0};
    std::thread writer([&, twice = data + data] {
        for (size_t at = 0, n = 1; !stop; at += n, n = n % 256 + 1) {
            const auto* block = reinterpret_cast<const uint8_t*>(twice.data() + at % data.size());
            app.captures.writeCaptureLog(app.relay.relayChannel1, block, static_cast<int32_t>(n), 0);
            ++calls;
        }
    });
    EXPECT_TRUE(eventually([&] { return app.captures.captureByteCount(1) > 300000; }));
    app.captures.closeCaptureLog(1);
    const int64_t callsAtClose = calls;
    EXPECT_TRUE(eventually([&] { return calls > callsAtClose + 1000; }));
    stop = true;
    writer.join();
    EXPECT_EQ(app.relay.relayChannel1.logEnabled.load(), 0);

    const std::string file = dir.read("racing.log");
    EXPECT_EQ(static_cast<int64_t>(file.size()), app.captures.captureByteCount(1));
    for (size_t i = 0; i < file.size(); ++i) ASSERT_EQ(file[i], data[i % data.size()]) << "at byte " << i;
}

TEST(CombinedRecord, OneLinePerChunkWithTimeGapDirectionCountHexAndText) {
    const std::string longest(1024, 'A');
    std::string longestHex = "41";
    for (int i = 1; i < 1024; ++i) longestHex += " 41";
    std::string out = "kept";
    const auto append = [&out](const char* local, int32_t micros, int64_t gap, int channel, const std::string& bytes) {
        std::tm t{};
        strptime(local, "%F %T", &t);
        appendCombinedRecord(out, t, micros, gap, channel, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    };
    append("2026-12-07 14:03:27", 123456, 4211, 1, "*IDN?\r\n\0\x1f ~\x7f\x80\xff|A"s);
    append("2027-01-01 00:00:00", 0, 0, 2, "\0"s);
    append("2026-12-31 23:59:59", 999999, 3723000001, 2, longest);
    EXPECT_EQ(out, "kept2026-12-07 14:03:27.123456 +0.004211 1>2  16  "
                   "2A 49 44 4E 3F 0D 0A 00 1F 20 7E 7F 80 FF 7C 41  |*IDN?.... ~...|A|\n"
                   "2027-01-01 00:00:00.000000 +0.000000 2>1  1  00  |.|\n"
                   "2026-12-31 23:59:59.999999 +3723.000001 2>1  1024  " + longestHex + "  |" + longest + "|\n");
}

}  // namespace

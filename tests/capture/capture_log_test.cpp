// The capture log on real files: line-end removal, the counter, failures of the file, and
// closing while a worker writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "capture/capture_log.h"
#include "relay/relay_channel.h"
#include "relay/serial_port.h"
#include "settings/config.h"
#include "shell/message_catalogue.h"
#include "tests/support/pty_cable.h"

using namespace std::string_literals;

namespace {

const std::string kShortStamp = "2026/12/06 20:15:07\n";
const std::string kLongStamp = "\n\n" + kShortStamp;

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

off_t sizeOnDisk(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

void writeBlock(int channel, const std::string& block, int32_t stamp = 0) {
    writeCaptureLog(relayChannel(channel), reinterpret_cast<const uint8_t*>(block.data()),
                    static_cast<int32_t>(block.size()), stamp);
}

template <typename Condition>
bool waitFor(Condition condition, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class CaptureLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        appOptions.CRLF = 0;
        setBoxFunction([this](const BoxRequest& box) {
            std::lock_guard<std::mutex> hold(boxLock);
            boxes.push_back(box);
        });
    }
    void TearDown() override {
        closeCaptureLog(1);
        closeCaptureLog(2);
        setBoxFunction(nullptr);
    }

    ScratchDir dir;
    std::mutex boxLock;
    std::vector<BoxRequest> boxes;
};

struct ConversionCase {
    std::string name;
    int channel;
    int32_t crlf;
    std::string block;
    int32_t stamp;
    std::string expected;
};

std::string withoutByte(std::string bytes, char removed) {
    std::erase(bytes, removed);
    return bytes;
}

std::vector<ConversionCase> conversionCases() {
    const std::string readLimit1 = randomBytes(256, 11);
    const std::string noCr = withoutByte(randomBytes(1024, 12), '\r');
    const std::string noCrFull = noCr + std::string(1024 - noCr.size(), 'x');
    const std::string oversized = randomBytes(5000, 13);
    return {
        {"NoConversion", 1, 0, "AB\r\nC", 0, "AB\r\nC"},
        {"LfRemoved", 1, 1, "AB\r\nC", 0, "AB\rC"},
        {"CrRemoved", 2, 2, "AB\r\nC", 0, "AB\nC"},
        {"OtherValueRemovesLf", 1, 5, "AB\r\nC", 0, "AB\rC"},
        {"NegativeValueRemovesLf", 2, -3, "AB\r\nC", 0, "AB\rC"},
        {"OnlyCrs", 1, 2, "\r\r\r\r\r\r", 0, ""},
        {"NulInTheMiddleWritten", 1, 0, "ABC\0EFGHIJ"s, 0, "ABC\0EFGHIJ"s},
        {"NulsKeptWhileLfRemoved", 2, 1, "\0A\n\0B"s, 0, "\0A\0B"s},
        {"ShortStampWritten", 1, 0, kShortStamp + "DATA", 20, kShortStamp + "DATA"},
        {"StampLosesItsLineFeeds", 1, 1, kLongStamp + "X\nY", 22, "2026/12/06 20:15:07XY"},
        {"FullReadLimitChannel1", 1, 0, readLimit1, 0, readLimit1},
        {"LargestBlockChannel2", 2, 2, kLongStamp + noCrFull, 22, kLongStamp + noCrFull},
        {"LongerThanAnyBlock", 2, 1, oversized, 0, withoutByte(oversized, '\n')},
    };
}

void PrintTo(const ConversionCase& row, std::ostream* out) { *out << row.name; }

class CaptureConversion : public CaptureLogTest,
                          public ::testing::WithParamInterface<ConversionCase> {};

TEST_P(CaptureConversion, FileHoldsTheConvertedBlockAndCounterTheReceivedBytes) {
    const ConversionCase& c = GetParam();
    appOptions.CRLF = c.crlf;
    const std::string path = dir.file("capture.txt");
    ASSERT_EQ(openCaptureLog(c.channel, path), 1);
    writeBlock(c.channel, c.block, c.stamp);
    const int64_t received = static_cast<int64_t>(c.block.size()) - c.stamp;
    EXPECT_EQ(relayChannel(c.channel).logByteCount.load(), received);
    EXPECT_EQ(captureByteCount(c.channel), received);
    closeCaptureLog(c.channel);
    EXPECT_EQ(fileBytes(path), c.expected);
    EXPECT_TRUE(boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Blocks, CaptureConversion, ::testing::ValuesIn(conversionCases()),
                         [](const auto& row) { return row.param.name; });

TEST_F(CaptureLogTest, ExistingFileIsEmptiedAndTheNextCaptureCountsFromZero) {
    dir.write("old.txt", "an older and much longer capture");
    ASSERT_EQ(openCaptureLog(1, dir.file("old.txt")), 1);
    EXPECT_EQ(fileBytes(dir.file("old.txt")), "");
    writeBlock(1, "new");
    closeCaptureLog(1);
    EXPECT_EQ(fileBytes(dir.file("old.txt")), "new");

    ASSERT_EQ(openCaptureLog(1, dir.file("old.txt")), 1);
    EXPECT_EQ(relayChannel1.logByteCount.load(), 0);
    EXPECT_EQ(captureByteCount(1), 0);
}

TEST_F(CaptureLogTest, NameIsKeptWholeWithoutItsFolder) {
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    const std::string longName = std::string(180, 'n') + ".txt";
    ASSERT_EQ(openCaptureLog(2, dir.file("sub/" + longName)), 1);
    EXPECT_EQ(relayChannel2.logName, longName);
    closeCaptureLog(2);
    ASSERT_EQ(openCaptureLog(2, dir.file("a.txt")), 1);
    EXPECT_EQ(relayChannel2.logName, "a.txt");
}

TEST_F(CaptureLogTest, FileThatCannotBeOpenedIsReportedAndLeavesTheChannelClosed) {
    EXPECT_EQ(openCaptureLog(1, dir.file("no such folder/x.txt")), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "File Open Error。");
    EXPECT_EQ(boxes[0].icon, BoxIcon::Error);
    EXPECT_EQ(boxes[0].owner, BoxOwner::MainWindow);
    EXPECT_EQ(relayChannel1.logEnabled.load(), 0);
    EXPECT_EQ(relayChannel1.logFile, nullptr);
}

TEST_F(CaptureLogTest, FullDeviceEndsTheCaptureWithOneReportAndNoClaimedBytes) {
    ASSERT_EQ(openCaptureLog(2, "/dev/full"), 1);
    const std::string block = randomBytes(1000, 3);
    std::string report;
    for (int i = 0; i < 1000 && report.empty(); ++i) {
        writeBlock(2, block);
        report = takeCaptureFailure(2);
    }
    ASSERT_FALSE(report.empty()) << "the full device was never reported";
    EXPECT_NE(report.find("/dev/full"), std::string::npos) << report;
    EXPECT_NE(report.find(std::strerror(ENOSPC)), std::string::npos) << report;
    EXPECT_EQ(relayChannel2.logEnabled.load(), 0);
    EXPECT_EQ(relayChannel2.logFile, nullptr);
    EXPECT_EQ(relayChannel2.logByteCount.load(), 0);
    EXPECT_EQ(captureByteCount(2), 0);

    writeBlock(2, block);
    closeCaptureLog(2);
    EXPECT_EQ(takeCaptureFailure(2), "");
    EXPECT_TRUE(boxes.empty()) << "the writer's thread must leave the box to the window";
}

TEST_F(CaptureLogTest, FileSizeLimitKeepsTheBytesBeforeItAndTheCounterNeverClaimsMore) {
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 40000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

    const std::string path = dir.file("limited.log");
    const std::string data = randomBytes(200000, 4);
    ASSERT_EQ(openCaptureLog(1, path), 1);
    std::string report;
    for (size_t at = 0; at < data.size() && report.empty(); at += 250) {
        writeBlock(1, data.substr(at, 250));
        report = takeCaptureFailure(1);
    }
    setrlimit(RLIMIT_FSIZE, &previous);

    ASSERT_FALSE(report.empty());
    EXPECT_NE(report.find(std::strerror(EFBIG)), std::string::npos) << report;
    const std::string written = fileBytes(path);
    EXPECT_EQ(written.size(), 40000u);
    EXPECT_EQ(written, data.substr(0, written.size()));
    EXPECT_GT(captureByteCount(1), 0);
    EXPECT_LE(captureByteCount(1), static_cast<int64_t>(written.size()));
    EXPECT_EQ(relayChannel1.logFile, nullptr);
}

TEST_F(CaptureLogTest, LastFlushThatFailsAtCloseIsReportedAndShutdownClosesEveryLog) {
    ASSERT_EQ(openCaptureLog(1, "/dev/full"), 1);
    ASSERT_EQ(openCaptureLog(2, dir.file("two.log")), 1);
    writeBlock(1, "lost");
    writeBlock(2, "kept");
    EXPECT_EQ(closeAllCaptureLogs(), 1);
    EXPECT_EQ(relayChannel1.logFile, nullptr);
    EXPECT_EQ(relayChannel2.logFile, nullptr);
    EXPECT_EQ(captureByteCount(1), 0);
    EXPECT_EQ(fileBytes(dir.file("two.log")), "kept");

    ASSERT_EQ(openCaptureLog(1, "/dev/full"), 1);
    writeBlock(1, "lost");
    closeCaptureLog(1);
    EXPECT_NE(takeCaptureFailure(1), "");
}

TEST_F(CaptureLogTest, BytesReachTheDiskWhileDataFlowsAndWhenTheLineGoesQuiet) {
    // Far less than the stream's buffer: only the once-a-second flush brings these to disk.
    const std::string path1 = dir.file("flowing.log");
    ASSERT_EQ(openCaptureLog(1, path1), 1);
    EXPECT_TRUE(waitFor([&] {
        writeBlock(1, "12345678");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return sizeOnDisk(path1) > 0;
    }));

    const std::string path2 = dir.file("quiet.log");
    ASSERT_EQ(openCaptureLog(2, path2), 1);
    writeBlock(2, "one block, then silence");
    EXPECT_TRUE(waitFor([&] {
        flushCaptureLogIfDue(2);
        return sizeOnDisk(path2) == 23;
    }));
}

// The stream a writer sends: data repeated without end.
bool isStreamPrefix(const std::string& file, const std::string& data) {
    for (size_t i = 0; i < file.size(); ++i) {
        if (file[i] != data[i % data.size()]) return false;
    }
    return true;
}

TEST_F(CaptureLogTest, CloseWhileAnotherThreadWritesLosesNothingAndWritesNothingAfter) {
    const std::string data = randomBytes(100003, 5);
    const std::string path = dir.file("racing.log");
    ASSERT_EQ(openCaptureLog(1, path), 1);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> calls{0};
    std::thread writer([&] {
        size_t at = 0;
        for (size_t n = 1; !stop; n = n % 256 + 1) {
            std::string block;
            for (size_t i = 0; i < n; ++i) block += data[(at + i) % data.size()];
            writeBlock(1, block);
            at += n;
            ++calls;
        }
    });
    ASSERT_TRUE(waitFor([] { return captureByteCount(1) > 300000; }));
    closeCaptureLog(1);
    const int64_t callsAtClose = calls;
    EXPECT_TRUE(waitFor([&] { return calls > callsAtClose + 1000; }));
    stop = true;
    writer.join();
    EXPECT_EQ(relayChannel1.logEnabled.load(), 0);
    EXPECT_EQ(relayChannel1.logFile, nullptr);

    const std::string file = fileBytes(path);
    EXPECT_EQ(static_cast<int64_t>(file.size()), captureByteCount(1));
    EXPECT_TRUE(isStreamPrefix(file, data));
}

std::string portSection(const char* name, int com) {
    return std::string("[") + name + "]\r\nCOM=" + std::to_string(com) +
           "\r\nBPS=115200\r\nBIT=8\r\nPARI=0\r\nSTOP=0\r\nFLOW=0\r\n";
}

TEST_F(CaptureLogTest, RelayWorkersCaptureBothDirectionsIntoTwoFilesWhileTheyRelay) {
    PtyCable device1, device2;
    dir.write("Vorlinex.ini",
              portSection("DATA1", 0) + portSection("DATA2", 1) +
                  "[DATA]\r\nRATE=5\r\nDMODE=0\r\nCRLF=0\r\nDATETIME=0\r\nDATETIMEVAL=60\r\n" +
                  devicesSection({device1.slavePath(), device2.slavePath(), "", "", "", ""}));
    loadConfig();
    ASSERT_EQ(openCaptureLog(1, dir.file("one.log")), 1);
    ASSERT_EQ(openCaptureLog(2, dir.file("two.log")), 1);
    struct Workers {
        ~Workers() {
            for (RelayChannel* channel : {&relayChannel1, &relayChannel2}) {
                requestWorkerStop(*channel);
                joinRelayWorker(*channel);
            }
            closePort(serialPort1);
            closePort(serialPort2);
        }
    } workers;
    for (auto [port, channel] : {std::pair{&serialPort1, &relayChannel1},
                                 std::pair{&serialPort2, &relayChannel2}}) {
        const int com = port->settings.comIndex;
        ASSERT_EQ(openPort(portDeviceNameAt(com), com + 1, *port), 0);
        configurePort(*port);
        startRelayWorker(*channel);
    }

    const std::string toDevice2 = randomBytes(60000, 8), toDevice1 = randomBytes(90000, 9);
    std::thread send1([&] { device1.send(toDevice2); });
    std::thread send2([&] { device2.send(toDevice1); });
    EXPECT_EQ(device2.receive(toDevice2.size(), 10000), toDevice2);
    EXPECT_EQ(device1.receive(toDevice1.size(), 10000), toDevice1);
    send1.join();
    send2.join();

    // Every relayed byte was logged before it was sent on.
    EXPECT_EQ(captureByteCount(1), 60000);
    EXPECT_EQ(captureByteCount(2), 90000);
    closeCaptureLog(1);
    closeCaptureLog(2);
    EXPECT_EQ(fileBytes(dir.file("one.log")), toDevice2);
    EXPECT_EQ(fileBytes(dir.file("two.log")), toDevice1);
}

}  // namespace

// Captures on files that Linux alone has: FIFOs, links, devices, a frozen disk, a file-size limit.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "shell/message_catalogue.h"
#include "shell/session.h"
#include "tests/support/combined_records.h"
#include "tests/support/pty_cable.h"

namespace {

int logEnabled(const Session& app, int channel) { return app.captures.captureLog(channel).logEnabled.load(); }

void capture(Session& app, int channel, const std::string& bytes) {
    app.captures.writeCaptureLog(app.relay.relayChannel(channel), reinterpret_cast<const uint8_t*>(bytes.data()),
                                 static_cast<int32_t>(bytes.size()), 0);
}

// A refused write ends that capture alone, its reason handed out once, nothing counted. (A pipe
// without reader is the capture window's test's, as the program ignores SIGPIPE.)
TEST(CaptureLog, AWriteTheFileRefusesEndsThatCaptureAloneAndTellsWhyOnce) {
    for (const int target : {1, 2, 3}) {  // 3: the combined capture
        SCOPED_TRACE(target);
        ScratchDir dir;
        Session app;
        CombinedLog& combined = app.captures.combinedCapture;
        const int other = target == 1 ? 2 : 1;
        const bool isCombined = target == 3;
        const int opened = isCombined ? app.captures.openCombinedCapture("/dev/full")
                                      : app.captures.openCaptureLog(target, "/dev/full");
        ASSERT_EQ(opened, 1);
        ASSERT_EQ(app.captures.openCaptureLog(other, dir.file("other.log")), 1);
        const auto enabled = [&] { return isCombined ? combined.enabled() : logEnabled(app, target) == 1; };
        EXPECT_TRUE(eventually([&] { return !enabled(); }, [&] {
            capture(app, isCombined ? 1 : target, std::string(2000, 'x'));
            app.readOrder.onRead(1, reinterpret_cast<const uint8_t*>("xx"), 2);
        }));
        const auto take = [&] { return isCombined ? combined.takeFailure() : app.captures.takeCaptureFailure(target); };
        const CaptureFailure failure = take();
        EXPECT_EQ(std::tie(failure.kind, failure.error, failure.path),
                  std::make_tuple(CaptureFailure::Kind::WriteRefused, ENOSPC, std::string("/dev/full")));
        EXPECT_FALSE(take()) << "told once";
        EXPECT_EQ(isCombined ? combined.byteCount() : app.captures.captureByteCount(target), 0);
        capture(app, other, "still captured");
        app.captures.closeCaptureLog(other);
        EXPECT_TRUE(dir.read("other.log").ends_with("still captured"));
    }
}

// A FIFO nobody reads is refused at once (waiting would hang the ways out). A stalled file holds up
// no worker: once 4 MiB wait in its queue, that capture alone ends, telling what was lost. A device
// takes any number of captures. (A file another capture writes, under any spelling: capture_log_test.)
TEST(CaptureLog, AFifoNobodyReadsIsRefusedAndAStalledFileEndsOnlyItsCaptureOnceItsQueueIsFull) {
    ScratchDir dir;
    Session app;
    const std::string pipe = dir.file("pipe");
    CaptureOpenFailure refused;
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(app.captures.openCaptureLog(1, pipe, &refused), 0);
    EXPECT_EQ(refused.error, ENXIO);
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(app.captures.openCaptureLog(1, pipe), 1);
    ASSERT_EQ(app.captures.openCaptureLog(2, dir.file("two.log")), 1);
    const std::atomic<int32_t>& enabled = app.captures.captureLog(1).logEnabled;
    const std::string data = randomBytes(256 * 1024, 7);
    int64_t accepted = 0;
    std::string other;
    for (size_t at = 0; enabled.load() == 1 && accepted < 3 * CaptureFile::kQueueLimit; at += 256) {
        capture(app, 1, data.substr(at % data.size(), 256));
        if (enabled.load() == 1) accepted += 256;
        if (at == 128 * 1024) {  // more than the pipe holds: once the writer has filled it, the file takes nothing
            ASSERT_TRUE(eventually([&] {
                int held = 0;
                return ::ioctl(reader, FIONREAD, &held) == 0 && held >= ::fcntl(reader, F_GETPIPE_SZ);
            }));
        }
        if (at % 65536 == 0) {
            const std::string line = "two " + std::to_string(at) + "\n";
            other += line;
            capture(app, 2, line);
        }
    }
    EXPECT_TRUE(enabled.load() == 0 && accepted >= CaptureFile::kQueueLimit);
    EXPECT_LE(app.captures.capturePeakQueued(1), CaptureFile::kQueueLimit);
    EXPECT_GT(app.captures.capturePeakQueued(1), CaptureFile::kQueueLimit - 256);
    const CaptureFailure failure = app.captures.takeCaptureFailure(1);
    EXPECT_TRUE(failure.kind == CaptureFailure::Kind::FellBehind && failure.path == pipe) << failure.path;
    EXPECT_EQ(app.captures.captureByteCount(1) + failure.bytesNotWritten, accepted) << "written or given up";
    EXPECT_GE(failure.bytesNotWritten, CaptureFile::kQueueLimit - 65536);
    app.captures.closeCaptureLog(1);  // returns: the writer was waiting for the pipe, not for us
    std::string got(1 << 20, '\0');
    const ssize_t n = ::read(reader, got.data(), got.size());
    ::close(reader);
    ASSERT_GT(n, 0);
    for (ssize_t i = 0; i < n; ++i) ASSERT_EQ(got[i], data[i % data.size()]) << "at byte " << i;
    app.captures.closeCaptureLog(2);
    EXPECT_TRUE(dir.read("two.log") == other && !app.captures.takeCaptureFailure(2));
    ASSERT_EQ(app.captures.openCaptureLog(1, dir.file("after.log")), 1);
    capture(app, 1, "after");
    app.captures.closeCaptureLog(1);
    EXPECT_EQ(dir.read("after.log"), "after");
    EXPECT_EQ(app.captures.openCaptureLog(1, "/dev/null"), 1);
    EXPECT_EQ(app.captures.openCaptureLog(2, "/dev/null"), 1);
    EXPECT_EQ(app.captures.openCombinedCapture("/dev/null"), 1);
}

// A frozen disk (ext4 on a loop device; root only) holds up neither the worker nor another capture;
// the end waits for it no longer than its second, naming the file, and what it took stays.
TEST(CaptureLog, AFrozenDiskHoldsUpNeitherTheOtherCapturesNorTheEnd) {
    ScratchDir dir;
    struct Disk {
        std::string image, mount;
        bool mounted = false;
        int run(const std::string& command) const { return std::system((command + " '" + mount + "'").c_str()); }
        ~Disk() {  // thawed, the writers left behind finish; the loop device goes once they have
            if (!mounted) return;
            run("fsfreeze -u 2>/dev/null");
            run("umount -l");
        }
    } disk{dir.file("disk.img"), dir.file("disk")};
    const std::string image = "'" + disk.image + "'";
    const std::string make = "truncate -s 64M " + image + " && mkfs.ext4 -q -F " + image + " && mkdir";
    disk.mounted = ::geteuid() == 0 && disk.run(make) == 0 && disk.run("mount -o loop " + image) == 0;
    if (!disk.mounted) GTEST_SKIP() << "needs root, a loop mount and fsfreeze";
    std::string sent1 = "before the freeze", sent2;
    {
        Session app;
        ASSERT_EQ(app.captures.openCaptureLog(1, dir.file("disk/one.txt")), 1);
        ASSERT_EQ(app.captures.openCaptureLog(2, dir.file("two.txt")), 1);
        capture(app, 1, sent1);
        ASSERT_TRUE(eventually([&] { return dir.read("disk/one.txt") == sent1; }));
        ASSERT_EQ(disk.run("fsfreeze -f"), 0);
        for (uint32_t round = 0; round < 40; ++round) {
            sent1 += randomBytes(3000, 60 + round);
            sent2 += randomBytes(1000, 120 + round);
            capture(app, 1, sent1.substr(sent1.size() - 3000));
            capture(app, 2, sent2.substr(sent2.size() - 1000));
        }
        EXPECT_TRUE(eventually([&] { return dir.read("two.txt") == sent2; }));
        const auto lost = app.captures.closeAllCaptureLogs();
        ASSERT_TRUE(lost.size() == 1u && lost[0].first == 1);
        const std::string told = captureLostAtExitText(lost[0].second);
        EXPECT_TRUE(told.starts_with(dir.file("disk/one.txt") + ": the file accepted nothing for ")) << told;
    }
    EXPECT_EQ(disk.run("fsfreeze -u"), 0);
    EXPECT_TRUE(eventually([&] { return dir.read("disk/one.txt").starts_with("before the freeze"); }));
    EXPECT_EQ(sent1.rfind(dir.read("disk/one.txt"), 0), 0u);
}

// Past a 20,000-byte limit: 0 when the file ends with EFBIG on its last whole record and (Append)
// the records it held before are all still there.
int combinedCaptureUnderFileSizeLimit(const ScratchDir& dir, CaptureOpenMode mode) {
    const rlimit limit{20000, 20000};
    std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::string before;
    std::tm local{};
    local.tm_year = 126;
    local.tm_mday = 1;
    for (int i = 0; mode == CaptureOpenMode::Append && i < 20; ++i)
        appendCombinedRecord(before, local, i, 1, 1, reinterpret_cast<const uint8_t*>("earlier"), 7);
    dir.write("both.log", before);
    Session app;
    if (app.captures.openCombinedCapture(dir.file("both.log"), nullptr, mode) != 1) return 2;
    const std::string data = randomBytes(4096, 3);
    for (int i = 0; i < 2000 && app.captures.combinedCapture.enabled(); ++i) {
        app.readOrder.onRead(1 + i % 2, reinterpret_cast<const uint8_t*>(data.data()), 1 + i * 7 % 300);
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    app.captures.combinedCapture.close();
    const CaptureFailure failure = app.captures.combinedCapture.takeFailure();
    std::string error, file = dir.read("both.log");
    const size_t records = parseCombinedRecords(file, error).size();
    const bool kept = file.starts_with(before) && file.size() > before.size();
    return failure.error == EFBIG && error.empty() && records > 0 && file.back() == '\n' && kept ? 0 : 1;
}

// In a child: the limit holds for the whole process.
TEST(CombinedCapture, AFileSizeLimitEndsTheFileOnItsLastWholeRecord) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const CaptureOpenMode mode : {CaptureOpenMode::Empty, CaptureOpenMode::Append}) {
        ScratchDir dir;
        EXPECT_EXIT(std::_Exit(combinedCaptureUnderFileSizeLimit(dir, mode)), ::testing::ExitedWithCode(0), "")
            << static_cast<int>(mode);
    }
}

}  // namespace

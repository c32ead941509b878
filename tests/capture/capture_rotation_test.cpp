// Captures that rotate and append, on real files: a reopen under traffic, as logrotate drives it
// (rename, then signal); a reopen whose path cannot be opened; an existing file appended to.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "shell/session.h"
#include "tests/support/combined_records.h"
#include "tests/support/pty_cable.h"

namespace {

namespace fs = std::filesystem;

// Numbered chunks of one channel from a thread of its own, as its relay worker hands them to
// the channel's capture and to the read order (the combined capture). Each chunk begins with
// its number, so that a byte lost, repeated or out of place shows. A reopen is requested
// between two chunks (under the lock each chunk is appended under), so that the test knows
// exactly which chunks belong before it.
class NumberedTraffic {
public:
    NumberedTraffic(Session& app, int channel) : app_(app), channel_(channel) {
        thread_ = std::thread([this] { run(); });
    }
    ~NumberedTraffic() { stop(); }

    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    size_t count() {
        std::lock_guard<std::mutex> hold(lock_);
        return chunks_.size();
    }
    // The chunks from..to, as one direction's capture writes them (CRLF 0).
    std::string bytes(size_t from, size_t to) const {
        std::string out;
        for (size_t i = from; i < to; ++i) out += chunks_[i];
        return out;
    }
    // Once stopped, or under lock_.
    const std::vector<std::string>& chunks() const { return chunks_; }

    std::mutex lock_;

private:
    void run() {
        const std::string noise = randomBytes(4096, static_cast<uint32_t>(channel_));
        RelayChannel& channel = app_.relay.relayChannel(channel_);
        // At 3,000,000 baud, a fast adapter's line: steady traffic that a writer a busy machine
        // starves for seconds still keeps up with, so that no capture falls behind.
        constexpr int64_t kBytesPerSecond = 300000;
        const auto start = std::chrono::steady_clock::now();
        int64_t handed = 0;
        for (size_t n = 0; !stop_; ++n) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(handed * 1000000 / kBytesPerSecond));
            std::string chunk = "#" + std::to_string(channel_) + ":" + std::to_string(n) + ":";
            chunk += noise.substr(n * 37 % 3000, 1 + n * 13 % 400);
            {
                std::lock_guard<std::mutex> hold(lock_);
                const auto* bytes = reinterpret_cast<const uint8_t*>(chunk.data());
                app_.captures.writeCaptureLog(channel, bytes, static_cast<int32_t>(chunk.size()), 0);
                app_.readOrder.onRead(channel_, bytes, chunk.size());
                handed += static_cast<int64_t>(chunk.size());
                chunks_.push_back(std::move(chunk));
            }
        }
    }

    Session& app_;
    const int channel_;
    std::atomic<bool> stop_{false};
    std::vector<std::string> chunks_;
    std::thread thread_;
};

// Requests a rotation between two chunks of each channel: how many chunks of 1 and of 2 were
// appended before it.
std::pair<size_t, size_t> reopenBetweenChunks(Session& app, NumberedTraffic& one, NumberedTraffic& two) {
    std::scoped_lock hold(one.lock_, two.lock_);
    app.captures.reopenAllCaptures();
    return {one.chunks().size(), two.chunks().size()};
}

// Every reopen outcome the writers hand out until `expected` of them have come, sorted by capture.
std::vector<std::pair<int, int>> reopenResults(Session& app, size_t expected) {
    std::vector<std::pair<int, int>> results;
    eventually([&] {
        for (const auto& result : app.captures.takeReopenResults()) results.push_back(result);
        return results.size() >= expected;
    });
    std::sort(results.begin(), results.end());
    return results;
}

// The combined file's records of one channel, as bytes in their order; every record must be
// whole and well formed.
std::vector<std::string> combinedChunks(const std::string& file, int channel) {
    std::string error;
    std::vector<std::string> chunks;
    for (auto& record : parseCombinedRecords(file, error)) {
        if (record.channel == channel) chunks.push_back(std::move(record.bytes));
    }
    EXPECT_EQ(error, "");
    return chunks;
}

std::vector<std::string> slice(const std::vector<std::string>& chunks, size_t from, size_t to) {
    return {chunks.begin() + static_cast<ptrdiff_t>(from), chunks.begin() + static_cast<ptrdiff_t>(to)};
}

// As logrotate does it ten times, under traffic both ways: each file renamed away, then the
// captures told to reopen. Every chunk appended before a reopen is in the file it renamed,
// every one after it in the next: the files in order hold every byte once, in order, and the
// combined capture's records are whole, each in exactly one file.
TEST(CaptureRotation, TenRenamesAndReopensUnderTrafficPutEveryByteOnceInTheFileOfItsTime) {
    ScratchDir dir;
    Session app;
    ASSERT_EQ(app.captures.openCaptureLog(1, dir.file("a.log")), 1);
    ASSERT_EQ(app.captures.openCaptureLog(2, dir.file("b.log")), 1);
    ASSERT_EQ(app.captures.openCombinedCapture(dir.file("both.log")), 1);
    NumberedTraffic one(app, 1), two(app, 2);

    constexpr int kRotations = 10;
    std::vector<std::pair<size_t, size_t>> boundaries{{0, 0}};
    for (int k = 1; k <= kRotations; ++k) {
        ASSERT_TRUE(eventually([&] {
            return one.count() > boundaries.back().first + 200 && two.count() > boundaries.back().second + 200;
        }));
        for (const char* name : {"a.log", "b.log", "both.log"}) {
            fs::rename(dir.file(name), dir.file(name + ("." + std::to_string(k))));
        }
        boundaries.push_back(reopenBetweenChunks(app, one, two));
        EXPECT_EQ(reopenResults(app, 3), (std::vector<std::pair<int, int>>{{1, 0}, {2, 0}, {3, 0}})) << "rotation " << k;
    }
    ASSERT_TRUE(eventually([&] { return one.count() > boundaries.back().first + 200; }));
    one.stop();
    two.stop();
    boundaries.emplace_back(one.count(), two.count());
    EXPECT_TRUE(app.captures.closeAllCaptureLogs().empty());
    EXPECT_TRUE(app.captures.takeReopenResults().empty());

    const std::vector<std::string> all1 = one.chunks(), all2 = two.chunks();
    for (int k = 1; k <= kRotations + 1; ++k) {
        SCOPED_TRACE("file " + std::to_string(k) + " of " + std::to_string(kRotations + 1));
        const std::string suffix = k <= kRotations ? "." + std::to_string(k) : "";
        const auto [from1, from2] = boundaries[k - 1];
        const auto [to1, to2] = boundaries[k];
        EXPECT_EQ(dir.read("a.log" + suffix), one.bytes(from1, to1));
        EXPECT_EQ(dir.read("b.log" + suffix), two.bytes(from2, to2));
        const std::string combined = dir.read("both.log" + suffix);
        EXPECT_EQ(combinedChunks(combined, 1), slice(all1, from1, to1));
        EXPECT_EQ(combinedChunks(combined, 2), slice(all2, from2, to2));
    }
}

// A reopen whose path cannot be opened now (its folder moved away, a regular file where the
// folder was, a FIFO nobody reads in the file's place) never waits and loses nothing: the old
// file goes on taking every byte, the errno is reported once, and the next reopen, once the
// path can be opened again, goes on in the new file. Run as root too, where permission bits
// would stop nothing.
TEST(CaptureRotation, AReopenThatCannotOpenThePathKeepsTheOldFileAndReportsOnceUntilALaterOneSucceeds) {
    ScratchDir dir;
    Session app;
    const std::string logs = dir.file("logs");
    fs::create_directory(logs);
    ASSERT_EQ(app.captures.openCaptureLog(1, logs + "/a.log"), 1);
    ASSERT_EQ(app.captures.openCombinedCapture(logs + "/both.log"), 1);
    NumberedTraffic one(app, 1), two(app, 2);
    std::vector<std::pair<size_t, size_t>> boundaries{{0, 0}};
    std::vector<std::string> oldFolders;  // where each file before the current one ended up

    struct Case {
        const char* name;
        int error;
        std::function<std::string()> spoil;  // makes the path unopenable; where the old files went
        std::function<void(const std::string&)> mend;
    };
    const auto moveAway = [&](const std::string& to) {
        fs::rename(logs, to);
        return to;
    };
    const Case cases[] = {
        {"folder moved away", ENOENT, [&] { return moveAway(dir.file("gone")); },
         [&](const std::string&) { fs::create_directory(logs); }},
        {"a regular file where the folder was", ENOTDIR,
         [&] {
             const std::string to = moveAway(dir.file("moved"));
             dir.write("logs", "not a folder");
             return to;
         },
         [&](const std::string&) {
             fs::remove(logs);
             fs::create_directory(logs);
         }},
#ifndef _WIN32  // Windows has no FIFO that a file's path leads to
        {"a FIFO nobody reads in the file's place", ENXIO,
         [&] {
             const std::string to = moveAway(dir.file("fifo-time"));
             fs::create_directory(logs);
             EXPECT_EQ(::mkfifo((logs + "/a.log").c_str(), 0600), 0);
             EXPECT_EQ(::mkfifo((logs + "/both.log").c_str(), 0600), 0);
             return to;
         },
         [&](const std::string&) {
             fs::remove(logs + "/a.log");
             fs::remove(logs + "/both.log");
         }},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(eventually([&] { return one.count() > boundaries.back().first + 200; }));
        oldFolders.push_back(c.spoil());
        reopenBetweenChunks(app, one, two);
        EXPECT_EQ(reopenResults(app, 2), (std::vector<std::pair<int, int>>{{1, c.error}, {3, c.error}}));
        // The old files take the traffic meanwhile; the failure is told once.
        const size_t before = one.count();
        ASSERT_TRUE(eventually([&] { return one.count() > before + 200; }));
        EXPECT_TRUE(app.captures.takeReopenResults().empty());
        EXPECT_EQ(app.relay.relayChannel1.logEnabled.load(), 1);
        EXPECT_TRUE(app.captures.combinedCapture.enabled());

        c.mend(oldFolders.back());
        boundaries.push_back(reopenBetweenChunks(app, one, two));
        EXPECT_EQ(reopenResults(app, 2), (std::vector<std::pair<int, int>>{{1, 0}, {3, 0}}));
    }
    ASSERT_TRUE(eventually([&] { return one.count() > boundaries.back().first + 200; }));
    one.stop();
    two.stop();
    boundaries.emplace_back(one.count(), two.count());
    EXPECT_TRUE(app.captures.closeAllCaptureLogs().empty());

    oldFolders.push_back(logs);
    const std::vector<std::string> all1 = one.chunks(), all2 = two.chunks();
    for (size_t k = 0; k < oldFolders.size(); ++k) {
        SCOPED_TRACE(oldFolders[k]);
        const auto [from1, from2] = boundaries[k];
        const auto [to1, to2] = boundaries[k + 1];
        std::ifstream in(oldFolders[k] + "/a.log", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), one.bytes(from1, to1));
        std::ifstream inCombined(oldFolders[k] + "/both.log", std::ios::binary);
        const std::string combined{std::istreambuf_iterator<char>(inCombined), {}};
        EXPECT_EQ(combinedChunks(combined, 1), slice(all1, from1, to1));
        EXPECT_EQ(combinedChunks(combined, 2), slice(all2, from2, to2));
    }
}

// Append mode never empties what a file holds (a service restarted must keep what it captured
// before) and creates a missing one; Empty mode, the window's, starts the file afresh.
TEST(CaptureOpen, AppendModeKeepsAnExistingFileAndEmptyModeStartsItAfresh) {
    ScratchDir dir;
    Session app;
    std::string earlierRecord;
    std::tm local{};
    local.tm_year = 126;
    local.tm_mday = 1;
    appendCombinedRecord(earlierRecord, local, 5, 0, 2, reinterpret_cast<const uint8_t*>("old"), 3);
    const struct {
        CaptureOpenMode mode;
        bool existing;
        bool kept;
    } cases[] = {
        {CaptureOpenMode::Append, true, true},
        {CaptureOpenMode::Append, false, false},
        {CaptureOpenMode::Empty, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.mode)) + (c.existing ? " existing" : " missing"));
        for (const char* name : {"a.log", "both.log"}) fs::remove(dir.file(name));
        if (c.existing) {
            dir.write("a.log", "captured before\r\n");
            dir.write("both.log", earlierRecord);
        }
        ASSERT_EQ(app.captures.openCaptureLog(1, dir.file("a.log"), nullptr, c.mode), 1);
        ASSERT_EQ(app.captures.openCombinedCapture(dir.file("both.log"), nullptr, c.mode), 1);
        app.captures.writeCaptureLog(app.relay.relayChannel1, reinterpret_cast<const uint8_t*>("now"), 3, 0);
        app.readOrder.onRead(1, reinterpret_cast<const uint8_t*>("now"), 3);
        EXPECT_TRUE(app.captures.closeAllCaptureLogs().empty());

        EXPECT_EQ(dir.read("a.log"), c.kept ? "captured before\r\nnow" : "now");
        const std::string combined = dir.read("both.log");
        std::string error;
        const auto records = parseCombinedRecords(combined, error);
        EXPECT_EQ(error, "");
        ASSERT_EQ(records.size(), c.kept ? 2u : 1u);
        EXPECT_EQ(combined.starts_with(earlierRecord), c.kept);
        EXPECT_EQ(records.back().bytes, "now");
    }
}

}  // namespace

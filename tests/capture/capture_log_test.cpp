// Captures on real files, the same on every system: line-end modes, refused files, a close while
// a worker writes, rotation under traffic, and the frame log.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <thread>

#include "shell/session.h"
#include "tests/decode/rtu_frame.h"
#include "tests/support/combined_records.h"
#include "tests/support/pty_cable.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

void capture(Captures& captures, RelayChannel& channel, const std::string& bytes, int32_t stampLength = 0) {
    captures.writeCaptureLog(channel, reinterpret_cast<const uint8_t*>(bytes.data()),
                             static_cast<int32_t>(bytes.size()), stampLength);
}

int logEnabled(const Session& app, int channel) { return app.captures.captureLog(channel).logEnabled.load(); }

// 0 keeps every byte, 2 removes every CR, any other value every LF, as of each chunk's moment; the
// system translates nothing. (Any bytes in any mode: the fuzz harness.)
TEST(CaptureLog, EachChunkKeepsTheLineEndModeOfItsMomentAndTheSystemTranslatesNothing) {
    ScratchDir dir;
    Session app;
    ASSERT_EQ(app.captures.openCaptureLog(2, dir.file("mixed.log")), 1);
    for (const int32_t mode : {0, 1, 2, 5, 0}) {
        app.relay.appOptions.CRLF.store(mode);
        capture(app.captures, app.relay.relayChannel2, "<\r\n\x1a\n\r>");
    }
    app.captures.closeCaptureLog(2);
    EXPECT_EQ(dir.read("mixed.log"), "<\r\n\x1a\n\r><\r\x1a\r><\n\x1a\n><\r\x1a\r><\r\n\x1a\n\r>");
    EXPECT_EQ(app.captures.captureByteCount(2), 35);
    EXPECT_FALSE(app.captures.takeCaptureFailure(2));
}

// A path the system refuses: its errno, nothing captured. A file another capture writes, under
// another spelling of its path: refused, left as it is, free again once closed. (The combined
// capture's refusal is the capture window's test's.)
TEST(CaptureLog, AFileThatCannotBeOpenedOrAnotherCaptureWritesIsRefusedWithTheReason) {
    ScratchDir dir;
    dir.write("plain.txt", "kept");
    fs::create_directory(dir.file("folder.log"));
    Session app;
    const std::pair<std::string, int> refused[] = {
        {"no such folder/x.log", ENOENT}, {"plain.txt/x.log", ENOTDIR}, {"folder.log", EISDIR}};
    for (const auto& [path, error] : refused) {
        CaptureOpenFailure failure;
        EXPECT_EQ(app.captures.openCaptureLog(1, dir.file(path), &failure), 0) << path;
        EXPECT_EQ(std::make_pair(failure.error, failure.heldBy), std::make_pair(error, 0)) << path;
        EXPECT_EQ(logEnabled(app, 1), 0) << path;
    }
    EXPECT_EQ(dir.read("plain.txt"), "kept");

    ASSERT_EQ(app.captures.openCaptureLog(1, dir.file("one.log")), 1);
    capture(app.captures, app.relay.relayChannel1, "kept");
    CaptureOpenFailure failure;
    EXPECT_EQ(app.captures.openCaptureLog(2, dir.file("folder.log/../one.log"), &failure), 0);
    EXPECT_EQ(failure.heldBy, 1);
    EXPECT_EQ(logEnabled(app, 2), 0);
    EXPECT_EQ(app.captures.openCaptureLog(2, dir.file("two.log")), 1);  // another file is another file
    app.captures.closeCaptureLog(1);
    EXPECT_EQ(dir.read("one.log"), "kept");
    EXPECT_EQ(app.captures.openCombinedCapture(dir.file("one.log")), 1);
    EXPECT_EQ(app.captures.openCaptureLog(1, dir.file("one.log"), &failure), 0);  // nor the combined capture's file
    EXPECT_NE(failure.heldBy, 0);
    app.captures.combinedCapture.close();
}

// The file holds exactly what was counted, in order; blocks after the close go nowhere.
TEST(CaptureLog, CloseWhileAnotherThreadWritesLosesNothing) {
    ScratchDir dir;
    Session app;
    const std::string data = randomBytes(100003, 5);
    ASSERT_EQ(app.captures.openCaptureLog(1, dir.file("racing.log")), 1);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> calls{0};
    std::thread writer([&, twice = data + data] {
        for (size_t at = 0, n = 1; !stop; at += n, n = n % 256 + 1, ++calls)
            capture(app.captures, app.relay.relayChannel1, twice.substr(at % data.size(), n));
    });
    EXPECT_TRUE(eventually([&] { return app.captures.captureByteCount(1) > 300000; }));
    app.captures.closeCaptureLog(1);
    const int64_t callsAtClose = calls;
    EXPECT_TRUE(eventually([&] { return calls > callsAtClose + 1000; }));
    stop = true;
    writer.join();
    EXPECT_EQ(logEnabled(app, 1), 0);
    const std::string file = dir.read("racing.log");
    EXPECT_EQ(static_cast<int64_t>(file.size()), app.captures.captureByteCount(1));
    for (size_t i = 0; i < file.size(); ++i) ASSERT_EQ(file[i], data[i % data.size()]) << "at byte " << i;
}

// As logrotate does it (rename, then reopen), and a reopen whose folder moved away (told once, the
// old file takes every byte), under traffic at a fast adapter's 300,000 bytes a second: every chunk
// once, in the file of its time, in order, the combined records whole.
TEST(CaptureRotation, RenamesAndReopensThatCannotOpenThePathUnderTrafficPutEveryByteOnceInTheFileOfItsTime) {
    ScratchDir dir;
    Session app;
    const std::string noise = randomBytes(4096, 1), logs = dir.file("logs");
    std::vector<std::array<std::vector<std::string>, 2>> parts(1);  // each direction's chunks, under `lock`
    std::vector<std::string> files;                                 // each part's file, % for its name
    std::mutex lock;
    std::atomic<size_t> sent{0};  // chunks handed so far
    const char* const names[] = {"/a.log", "/b.log", "/both.log"};
    fs::create_directory(logs);
    ASSERT_EQ(app.captures.openCaptureLog(1, logs + names[0]), 1);
    ASSERT_EQ(app.captures.openCaptureLog(2, logs + names[1]), 1);
    ASSERT_EQ(app.captures.openCombinedCapture(logs + names[2]), 1);
    std::jthread traffic([&](std::stop_token done) {
        const auto begun = std::chrono::steady_clock::now();
        for (size_t n = 0, handed = 0; !done.stop_requested(); ++n) {
            std::this_thread::sleep_until(begun + std::chrono::microseconds(handed * 10 / 3));
            std::lock_guard hold(lock);
            for (int c : {1, 2}) {
                std::string chunk = "#" + std::to_string(c) + ":" + std::to_string(n) + ":" +
                                    noise.substr(n * 37 % 3000, 1 + n * 13 % 400);
                capture(app.captures, app.relay.relayChannel(c), chunk);
                app.readOrder.onRead(c, reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
                handed += chunk.size();
                parts.back()[c - 1].push_back(std::move(chunk));
            }
            sent = n;
        }
    });
    const auto moreTraffic = [&] {
        const size_t from = sent;
        ASSERT_TRUE(eventually([&] { return sent > from + 200; }));
    };
    const auto reopen = [&](int error, bool keep) {  // every outcome, sorted by capture
        {
            std::lock_guard hold(lock);
            app.captures.reopenAllCaptures();
            if (keep) parts.emplace_back();
        }
        std::vector<std::pair<int, int>> results;
        eventually([&] {
            for (const auto& result : app.captures.takeReopenResults()) results.push_back(result);
            return results.size() >= 3;
        });
        std::sort(results.begin(), results.end());
        EXPECT_EQ(results, (std::vector<std::pair<int, int>>{{1, error}, {2, error}, {3, error}}));
    };
    for (int k = 1; k <= 6; ++k) {
        moreTraffic();
        if (k == 1) {  // nothing renamed: it goes on at the end of the same files
            reopen(0, false);
            moreTraffic();
        }
        files.push_back("%." + std::to_string(k));  // out of the folder that the case below moves
        for (const char* name : names) fs::rename(logs + name, dir.path() + name + "." + std::to_string(k));
        reopen(0, true);
    }
    moreTraffic();
    files.push_back("gone/%");
    fs::rename(logs, dir.file("gone"));
    reopen(ENOENT, false);
    moreTraffic();
    EXPECT_TRUE(app.captures.takeReopenResults().empty()) << "told once";
    EXPECT_TRUE(logEnabled(app, 1) == 1 && app.captures.combinedCapture.enabled());
    fs::create_directory(logs);
    reopen(0, true);
    moreTraffic();
    traffic.request_stop();
    traffic.join();
    EXPECT_TRUE(app.captures.closeAllCaptureLogs().empty());
    EXPECT_TRUE(app.captures.takeReopenResults().empty());
    files.push_back("logs/%");
    for (size_t k = 0; k < files.size(); ++k) {  // each direction's file its chunks, the combined one whole records
        SCOPED_TRACE(files[k]);
        const auto file = [&](const char* name) {
            return dir.read(std::string(files[k]).replace(files[k].find('%'), 1, name));
        };
        std::string error;
        std::vector<std::string> chunks[2];
        for (auto& r : parseCombinedRecords(file("both.log"), error))
            chunks[r.channel - 1].push_back(std::move(r.bytes));
        EXPECT_EQ(error, "");
        for (int c = 0; c < 2; ++c) {
            EXPECT_EQ(chunks[c], parts[k][c]);
            const std::string joined = std::accumulate(parts[k][c].begin(), parts[k][c].end(), std::string());
            EXPECT_EQ(file(c == 0 ? "a.log" : "b.log"), joined);
        }
    }
}

TEST(FrameLog, WritesFrameLinesTellsATimeoutWhenTheLineIsQuietAndKeepsTheLastFrameAtTheClose) {
    ScratchDir dir;
    Session app;
    DecodeChoice choice;
    choice.timeoutMicros = 1000;
    app.captures.frameDecoding.choose(choice, LineSettings{}, LineSettings{});
    ASSERT_EQ(app.captures.openFrameCapture(dir.file("frames.log")), 1);
    const auto read = [&](int channel, const std::vector<uint8_t>& bytes) {
        app.captures.frameCapture.onRead(channel, bytes.data(), bytes.size(), ReadTime::now());
    };
    const std::vector<uint8_t> request = rtu({0x11, 0x03, 0x00, 0x6B, 0x00, 0x03});
    read(1, request);
    read(2, rtu({0x11, 0x03, 0x02, 0x00, 0x2A}));
    read(1, request);
    // Nothing more comes: the writer's own look must find the time run out.
    EXPECT_TRUE(eventually([&] { return dir.read("frames.log").find("[timeout]") != std::string::npos; }));
    read(1, {request.begin(), request.begin() + 5});
    ASSERT_TRUE(app.captures.frameCapture.close());

    const std::string log = dir.read("frames.log");
    std::vector<std::string> verdicts;
    for (size_t at = log.find("  ["); at != std::string::npos; at = log.find("  [", at + 1))
        verdicts.push_back(log.substr(at + 2, log.find(']', at) - at - 1));
    EXPECT_EQ(verdicts, (std::vector<std::string>{"[ok]", "[ok]", "[ok]", "[timeout]", "[truncated]"})) << log;
    EXPECT_NE(log.find("→ 1 register 0x002A, answer after "), std::string::npos) << log;
    const FrameFigures figures = app.captures.frameDecoding.figures();
    EXPECT_EQ(figures.frames, 4);
    EXPECT_EQ(figures.errors, 2);
    EXPECT_EQ(figures.units.at(17).transactions, 2);
}

}  // namespace

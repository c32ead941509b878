// A capture's file holds exactly the bytes of its mode, on every platform: no line end is ever
// translated by the system on the way, the CR/LF option removes only what it names, and the
// file can be renamed away under a running capture (a rotation) and opened again.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <utility>
#include <filesystem>
#include <string>

#include "capture/capture_log.h"
#include "relay/relay.h"
#include "tests/support/pty_cable.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

void capture(Captures& captures, RelayChannel& channel, const std::string& bytes, int32_t stampLength = 0) {
    captures.writeCaptureLog(channel, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()),
                             stampLength);
}

// Lone CRs, lone LFs, CR LF pairs, LF CR, a CR at a chunk's end whose LF starts the next one,
// and a stamp that ends in a line end: option 0 keeps every byte, 1 removes every LF, 2 every
// CR, and any other value every LF. Byte by byte, whatever the pairs; the mode is the one of
// the moment each chunk is captured.
TEST(CaptureLineEnds, EachModeRemovesOnlyWhatItNamesAndTheSystemTranslatesNothing) {
    ScratchDir dir;
    const std::string first = "a\r\nb\rc\nd\n\re\r";
    const std::string second = "\nf\x1a\x00g"s;
    const std::string stamp = "[12:00:00]\r\n";
    const struct {
        int32_t mode;
        std::string expected;
    } cases[] = {
        {0, first + second + stamp + "x\r\n"},
        {1, "a\rb\rcd\re\rf\x1a\x00g[12:00:00]\rx\r"s},
        {2, "a\nbc\nd\ne\nf\x1a\x00g[12:00:00]\nx\n"s},
        {5, "a\rb\rcd\re\rf\x1a\x00g[12:00:00]\rx\r"s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        Relay relay;
        Captures captures(relay);
        relay.appOptions.CRLF.store(c.mode);
        ASSERT_EQ(captures.openCaptureLog(1, dir.file("line.log")), 1);
        capture(captures, relay.relayChannel1, first);
        capture(captures, relay.relayChannel1, second);
        capture(captures, relay.relayChannel1, stamp + "x\r\n", static_cast<int32_t>(stamp.size()));
        captures.closeCaptureLog(1);
        EXPECT_TRUE(!captures.takeCaptureFailure(1));
        EXPECT_EQ(dir.read("line.log"), c.expected);
    }

    // Changed while the capture runs: each chunk keeps the mode it was captured under.
    Relay relay;
    Captures captures(relay);
    ASSERT_EQ(captures.openCaptureLog(2, dir.file("mixed.log")), 1);
    for (const int32_t mode : {0, 1, 2, 0}) {
        relay.appOptions.CRLF.store(mode);
        capture(captures, relay.relayChannel2, "<\r\n>");
    }
    captures.closeCaptureLog(2);
    EXPECT_EQ(dir.read("mixed.log"), "<\r\n><\r><\n><\r\n>");
    EXPECT_EQ(captures.captureByteCount(2), 16);
}

// A rotation renames the file under the running capture, then asks for a reopen: the bytes
// before it stay in the renamed file, those after it go to a new file at the path. The system
// must let an open capture file be renamed, and a file another capture writes must be known
// as the same file under another spelling of its path.
TEST(CaptureLineEnds, AnOpenCaptureFileCanBeRenamedAwayAndTheSameFileIsNeverOpenedTwice) {
    ScratchDir dir;
    fs::create_directory(dir.file("sub"));
    Relay relay;
    Captures captures(relay);
    relay.appOptions.CRLF.store(0);
    ASSERT_EQ(captures.openCaptureLog(1, dir.file("one.log")), 1);
    capture(captures, relay.relayChannel1, "before\r\n");

    CaptureOpenFailure failure;
    EXPECT_EQ(captures.openCaptureLog(2, dir.file("sub/../one.log"), &failure), 0);
    EXPECT_EQ(failure.heldBy, 1);
    EXPECT_EQ(captures.openCombinedCapture(dir.file("./one.log"), &failure), 0);
    EXPECT_EQ(failure.heldBy, 1);
    // Another file is another file.
    EXPECT_EQ(captures.openCaptureLog(2, dir.file("two.log")), 1);

    std::error_code renamed;
    fs::rename(dir.file("one.log"), dir.file("one.log.1"), renamed);
    ASSERT_FALSE(renamed) << renamed.message();
    capture(captures, relay.relayChannel1, "still old\r\n");
    captures.reopenAllCaptures();
    capture(captures, relay.relayChannel1, "after\r\n");
    captures.closeCaptureLog(1);
    captures.closeCaptureLog(2);
    ASSERT_EQ(captures.takeReopenResults().size(), 2u);
    EXPECT_EQ(dir.read("one.log.1"), "before\r\nstill old\r\n");
    EXPECT_EQ(dir.read("one.log"), "after\r\n");
    // Closed, the file is free for another capture again.
    EXPECT_EQ(captures.openCombinedCapture(dir.file("one.log")), 1);
    captures.combinedCapture.close();
}

// A capture that cannot open its file says why, in the words of the system's errno on every
// platform, and captures nothing: a missing folder, a file where the folder should be, a folder
// where the file should be.
TEST(CaptureLineEnds, AFileThatCannotBeOpenedIsRefusedWithTheReason) {
    ScratchDir dir;
    dir.write("plain.txt", "kept");
    fs::create_directory(dir.file("folder.log"));
    Relay relay;
    Captures captures(relay);
    const std::pair<std::string, int> refused[] = {
        {dir.file("no such folder/x.log"), ENOENT},
        {dir.file("plain.txt/x.log"), ENOTDIR},
        {dir.file("folder.log"), EISDIR},
    };
    for (const auto& [path, error] : refused) {
        SCOPED_TRACE(path);
        CaptureOpenFailure failure;
        EXPECT_EQ(captures.openCaptureLog(1, path, &failure), 0);
        EXPECT_EQ(failure.error, error);
        EXPECT_EQ(failure.heldBy, 0);
        EXPECT_EQ(captures.captureLog(1).logEnabled.load(), 0);
    }
    EXPECT_EQ(dir.read("plain.txt"), "kept");
}

}  // namespace

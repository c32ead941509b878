// A channel's worker rendering chunks into the display window's text: the hex dump's lines across
// any cut of the chunks, text that waits for a double-byte character's second byte, and the text
// model read by the UI thread while the worker renders into it.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <random>
#include <thread>

#include "tests/display/traffic_display.h"

namespace {

// Every byte value, cut into chunks of any size: the same dump as in one piece.
TEST(TrafficRender, TheHexDumpShowsEveryByteOnItsSlotWhereverTheChunksAreCut) {
    std::string bytes;
    for (int b = 0; b < 3 * 256; ++b) bytes += static_cast<char>(b);
    std::mt19937 random(5);
    TrafficDisplay display;
    const auto text = openDisplay(display, 1);
    for (size_t at = 0, size = 1; at < bytes.size(); at += size, size = 1 + random() % 40) feed(display, bytes.substr(at, size));
    EXPECT_EQ(text->text(), hexDump(bytes));
}

// A lead byte (0x81..0x9F, 0xE0..0xFC) waits for its trail byte in the next chunk, also when it
// is all a first chunk holds; a byte next to those ranges starts no character and shows at once.
TEST(TrafficRender, TextWaitsForTheSecondByteOfACharacterCutBetweenChunks) {
    for (const char lead : {'\x81', '\x9f', '\xe0', '\xfa', '\xfc', '\x80', '\xa0', '\xdf', '\xfd'}) {
        const bool waits = (lead & 0xff) != 0x80 && (lead & 0xff) != 0xa0 && (lead & 0xff) != 0xdf && (lead & 0xff) != 0xfd;
        for (const std::string before : {"x", ""}) {
            SCOPED_TRACE(testing::Message() << std::hex << (lead & 0xff) << " after '" << before << "'");
            TrafficDisplay display;
            const auto text = openDisplay(display, 0);
            feed(display, before + lead);
            EXPECT_EQ(text->text(), waits ? before : before + lead);
            feed(display, "\x40.");
            EXPECT_EQ(text->text(), before + lead + "\x40.");
        }
    }
}

// Every look while the worker appends and trims finds one whole state of the text: the lines and
// their starts agree with one another, and the text is the stream's bytes from a line start on,
// at the lasting position the model names. (ThreadSanitizer runs this program too: an operation
// left outside the model's lock is reported even where this thread's looks happen to agree.)
TEST(TrafficTextControl, ReadsWhileAWorkerRendersSeeOneWholeTextEachTime) {
    std::string stream;
    for (int line = 0; stream.size() < 200000; ++line) stream += "line " + std::to_string(line) + " of the stream\r\n";
    TrafficDisplay display;
    const std::shared_ptr<TrafficTextControl> model = openDisplay(display, 0);
    std::atomic<bool> done = false;
    std::thread worker([&] {
        // Chunk sizes that cut lines anywhere, as reads of a serial line do.
        for (size_t at = 0, size = 1; at < stream.size(); at += size, size = size % 97 + 13) feed(display, stream.substr(at, size));
        done = true;
    });
    for (bool last = false; !last;) {
        last = done;
        const TrafficTextControl::ViewState state = model->viewState(0, INT_MAX);
        ASSERT_EQ(state.lines.size(), static_cast<size_t>(state.lineCount));
        std::string text;
        for (size_t i = 0; i < state.lines.size(); ++i) {
            ASSERT_EQ(state.lineStarts[i], static_cast<int>(text.size()));
            text += state.lines[i] + (i + 1 < state.lines.size() ? "\r\n" : "");
        }
        ASSERT_EQ(static_cast<int>(text.size()), state.textLength);
        ASSERT_TRUE(state.origin == 0 || stream.compare(static_cast<size_t>(state.origin) - 2, 2, "\r\n") == 0);
        ASSERT_EQ(stream.compare(static_cast<size_t>(state.origin), text.size(), text), 0) << state.origin;
        // What a copy reads is the stream's too, from where the text was then on.
        const std::string copied = model->textBetween(state.origin, INT64_MAX);
        ASSERT_NE(stream.find(copied, static_cast<size_t>(state.origin)), std::string::npos);
    }
    worker.join();
    EXPECT_TRUE(stream.ends_with(model->text()) && model->textLength() > 9000);
}

}  // namespace

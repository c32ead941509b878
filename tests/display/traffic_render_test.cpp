// A channel's worker rendering chunks into the display's text (the dump across any cut of the chunks
// is the render fuzz seeds'): a character cut between chunks, and reads while the worker renders.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "tests/display/traffic_display.h"

namespace {

// A lead byte (0x81..0x9F, 0xE0..0xFC) waits for its trail byte in the next chunk, also when it
// is all a first chunk holds; a byte next to those ranges starts no character and shows at once.
TEST(TrafficRender, TextWaitsForTheSecondByteOfACharacterAndReadsWhileAWorkerRendersSeeOneWholeText) {
    for (const char lead : {'\x81', '\x9f', '\xe0', '\xfa', '\xfc', '\x80', '\xa0', '\xdf', '\xfd'}) {
        const bool waits = std::string("\x80\xa0\xdf\xfd").find(lead) == std::string::npos;
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

    // Every look while the worker appends and trims finds one whole state of the text: lines and their
    // starts agree, and the text is the stream's bytes from a line start on, at the lasting position the
    // model names. (ThreadSanitizer runs this too: a change outside the model's lock shows.)
    std::string stream;
    for (int line = 0; stream.size() < 200000; ++line) stream += "line " + std::to_string(line) + " of the stream\r\n";
    TrafficDisplay display;
    const std::shared_ptr<TrafficTextControl> model = openDisplay(display, 0);
    std::atomic<bool> done = false;
    std::thread worker([&] {  // chunk sizes that cut lines anywhere, as reads of a serial line do
        for (size_t at = 0, size = 1; at < stream.size(); at += size, size = size % 97 + 13)
            feed(display, stream.substr(at, size));
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
        ASSERT_NE(stream.find(model->textBetween(state.origin, INT64_MAX), static_cast<size_t>(state.origin)), std::string::npos);
    }
    worker.join();
    EXPECT_TRUE(stream.ends_with(model->text()) && model->textLength() > 9000);
}

}  // namespace

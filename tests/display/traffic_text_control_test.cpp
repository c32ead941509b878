// The text model as the program uses it from two threads, with no window: the channel's worker
// renders chunks into it while the UI thread reads what to paint and what to copy.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "tests/display/traffic_display.h"

namespace {

// Every look while the worker appends and trims finds one whole state of the text: the lines and
// their starts agree with one another, and the text is the stream's bytes from a line start on,
// at the lasting position the model names. (ThreadSanitizer runs this program too: an operation
// left outside the model's lock is reported even where this thread's looks happen to agree.)
TEST(TrafficTextControl, ReadsWhileAWorkerRendersSeeOneWholeTextEachTime) {
    std::string stream;
    for (int line = 0; stream.size() < 200000; ++line) stream += "line " + std::to_string(line) + " of the stream\r\n";

    TrafficDisplay display;
    display.displayWindow = std::make_shared<TrafficTextControl>();
    display.displayOpen = 1;
    const std::shared_ptr<TrafficTextControl> model = display.displayWindow.load();
    std::atomic<bool> reading = false, done = false;
    std::thread worker([&] {
        while (!reading) std::this_thread::yield();
        // Chunk sizes that cut lines anywhere, as reads of a serial line do.
        for (size_t at = 0, size = 1; at < stream.size(); at += size, size = size % 97 + 13) {
            feed(display, stream.substr(at, size));
        }
        done = true;
    });

    reading = true;
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
    }
    worker.join();
    EXPECT_TRUE(stream.ends_with(model->text()) && model->textLength() > 9000);
}

}  // namespace

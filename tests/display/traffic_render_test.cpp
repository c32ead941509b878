// A channel's worker rendering chunks into the display window's text: the hex dump's lines across
// any cut of the chunks, and text that waits for a double-byte character's second byte.
#include <gtest/gtest.h>

#include <random>

#include "tests/display/traffic_display.h"

namespace {

std::shared_ptr<TrafficTextControl> openWindow(TrafficDisplay& display, int mode) {
    display.displayMode = mode;
    display.displayOpen = 1;
    auto text = std::make_shared<TrafficTextControl>();
    display.displayWindow.store(text);
    return text;
}

// Every byte value, cut into chunks of any size: the same dump as in one piece.
TEST(TrafficRender, TheHexDumpShowsEveryByteOnItsSlotWhereverTheChunksAreCut) {
    std::string bytes;
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    std::mt19937 random(5);
    TrafficDisplay display;
    const auto text = openWindow(display, 1);
    for (size_t at = 0; at < bytes.size();) {
        const size_t size = std::min<size_t>(bytes.size() - at, 1 + random() % 40);
        feed(display, bytes.substr(at, size));
        at += size;
    }
    EXPECT_EQ(text->text(), hexDump(bytes));
}

// A lead byte (0x81..0x9F, 0xE0..0xFC) waits for its trail byte in the next chunk, also when it
// is all a first chunk holds; a byte next to those ranges starts no character and shows at once.
TEST(TrafficRender, TextWaitsForTheSecondByteOfACharacterCutBetweenChunks) {
    for (const char lead : {'\x81', '\x9f', '\xe0', '\xfa', '\xfc'}) {
        for (const std::string before : {"x", ""}) {
            SCOPED_TRACE(testing::Message() << std::hex << (lead & 0xff) << " after '" << before << "'");
            TrafficDisplay display;
            const auto text = openWindow(display, 0);
            feed(display, before + lead);
            EXPECT_EQ(text->text(), before);
            feed(display, "\x40.");
            EXPECT_EQ(text->text(), before + lead + "\x40.");
        }
    }
    for (const char other : {'\x80', '\xa0', '\xdf', '\xfd'}) {
        SCOPED_TRACE(testing::Message() << std::hex << (other & 0xff));
        TrafficDisplay display;
        const auto text = openWindow(display, 0);
        feed(display, std::string("x") + other);
        EXPECT_EQ(text->text(), std::string("x") + other);
    }
}

}  // namespace

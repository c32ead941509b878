// The ASCII and hexadecimal renderers, driven through appendTraffic into a real text model, and
// that model against the operations the renderers rely on. Long random traffic through both
// renderers (every byte kept, every break made CR LF, also split over chunks), and random edits
// of the model, are the fuzz harness's (tests/fuzz/traffic_render_fuzz.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/display/traffic_display.h"

// Byte positions, the line a 17th byte closes and both trims are the fuzz harness's
// (tests/fuzz/traffic_render_fuzz.cpp); here CLEAR mid-line and a new window, which start
// afresh with no held byte or open line.
TEST(HexRender, ClearOrANewWindowStartsAfresh) {
    FedDisplay cleared(1);
    cleared.send("ABCDEFGHIJ");
    cleared.control.setText("");  // CLEAR mid-line: the next byte starts at slot 0
    cleared.send("K");
    EXPECT_EQ(cleared.text(), hexDump("K"));
    for (int mode : {0, 1}) {
        FedDisplay display(mode);
        display.send("x\x82");
        auto newWindow = std::make_shared<TrafficTextControl>();
        display.channel.displayWindow = newWindow;
        display.send("F");
        EXPECT_EQ(newWindow->text(), mode == 0 ? "F" : hexDump("F"));
    }
}

// One chunk after another and what the control shows after each ("" as a chunk is CLEAR).
TEST(AsciiRender, ChunkSequences) {
    using S = std::string;
    struct Case {
        const char* name;
        std::vector<std::pair<S, S>> steps;
    } cases[] = {
        {"LeadByteAtTheEndIsHeldForTheNextChunk", {{"ab\x82", "ab"}, {"\xA0xyz", "ab\x82\xA0xyz"}}},
        // 0xF0..0xFB are no lead bytes; 0xFD is.
        {"LeadByteClasses", {{"\x82\xA0\xF0", "\x82\xA0\xF0"}, {"\xFD", "\x82\xA0\xF0"}, {"\x40", "\x82\xA0\xF0\xFD\x40"}}},
        // CR is no trail byte: it is held as the last byte, and the next LF makes one break.
        {"LeadByteThenCr", {{"\x82\r", "\x82"}, {"\nA", "\x82\r\nA"}}},
        {"ClearWhileAByteIsHeldDropsIt", {{"xy\x82", "xy"}, {"", ""}, {"A", "A"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FedDisplay display(0);
        for (const auto& [chunk, shown] : c.steps) {
            if (chunk.empty()) {
                display.control.setText("");
            } else {
                display.send(chunk);
            }
            EXPECT_EQ(display.text(), shown) << ::testing::PrintToString(chunk);
        }
    }
}

namespace {

void insert(TrafficTextControl& control, const std::string& bytes) {
    control.append(bytes.data(), static_cast<int>(bytes.size()));
}


// Each row: operations on a fresh control, then the text and line count they leave, and the
// bytes that the lasting positions 2..7 still name.
struct ModelCase {
    const char* name;
    void (*run)(TrafficTextControl&);
    std::string text;
    int lines;
    std::string named;
};

const ModelCase modelCases[] = {
    {"ReplaceLastLine", [](auto& c) { insert(c, "l1\r\nl2"); c.replaceLastLine("xy\r\n", 4); c.replaceLastLine("z", 1); },
     "l1\r\nxy\r\nz", 3, "\r\nxy\r"},
    {"RemoveFromTopKeepsPositionsOnTheirBytes", [](auto& c) { insert(c, "l1\r\nl2\r\nl3"), c.removeFromTop(4); },
     "l2\r\nl3", 2, "l2\r"},
    {"RemovingPastTheEndEmpties", [](auto& c) { insert(c, "0123456789"), c.removeFromTop(1000); }, "", 1, ""},
    {"SetTextStartsAfresh", [](auto& c) { insert(c, "old"); c.setText("new\rone\n"); }, "new\r\none\r\n", 3, "new\r"},
};

}  // namespace

TEST(TrafficTextControl, OperationsTable) {
    for (const ModelCase& m : modelCases) {
        SCOPED_TRACE(m.name);
        TrafficTextControl control;
        m.run(control);
        EXPECT_EQ(control.text(), m.text);
        EXPECT_EQ(control.textLength(), static_cast<int>(m.text.size()));
        EXPECT_EQ(control.lineCount(), m.lines);
        EXPECT_EQ(control.textBetween(2, 7), m.named);
    }
}

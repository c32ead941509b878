// The display's text model against the operations the renderers rely on.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "display/traffic_text_control.h"

namespace {

void insert(TrafficTextControl& control, const std::string& bytes) {
    control.append(bytes.data(), static_cast<int>(bytes.size()));
}

std::vector<int> scannedLineStarts(const std::string& text) {
    std::vector<int> starts{0};
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '\r' && text[i + 1] == '\n') starts.push_back(static_cast<int>(i + 2));
    }
    return starts;
}

using S = std::string;

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
    {"EveryBreakIsCrLf", [](auto& c) { insert(c, "ab\rcd\nef\n\rg\r\n"); }, "ab\r\ncd\r\nef\r\n\r\ng\r\n", 6, "\r\ncd\r"},
    {"NulAndControlBytesStay", [](auto& c) { insert(c, S("a\0b\x14", 4)); }, S("a\0b\x14", 4), 1, "b\x14"},
    {"CrLfSplitOverAppends", [](auto& c) { for (const char* s : {"abc\r", "\ndef", "\r", "x", "\n"}) insert(c, s); },
     "abc\r\ndef\r\nx\r\n", 4, "c\r\nde"},
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

// The line index is kept edit by edit; random edits must leave it as a scan finds it.
TEST(TrafficTextControl, LineIndexFollowsRandomEditsAnywhere) {
    std::mt19937 random(1234);
    TrafficTextControl control;
    const char alphabet[] = {'a', 'b', '\r', '\n', '\0', 'z'};
    for (int step = 0; step < 3000; ++step) {
        std::string bytes(random() % 12, 'x');
        for (char& c : bytes) c = alphabet[random() % sizeof alphabet];
        switch (random() % 4) {
            case 0: control.removeFromTop(control.lineStart(static_cast<int>(random() % control.lineCount()))); break;
            case 1: control.replaceLastLine(bytes.data(), static_cast<int>(bytes.size())); break;
            default: insert(control, bytes);
        }
        if (control.textLength() > 4000) control.setText("");

        const std::string text = control.text();
        const std::vector<int> starts = scannedLineStarts(text);
        ASSERT_EQ(control.lineCount(), static_cast<int>(starts.size())) << "step " << step;
        for (size_t i = 0; i < text.size(); ++i) {
            const bool paired = text[i] == '\r' ? text[i + 1] == '\n' : text[i] != '\n' || (i > 0 && text[i - 1] == '\r');
            ASSERT_TRUE(paired) << "step " << step << " at " << i;
        }
        for (size_t line = 0; line < starts.size(); ++line) {
            const int end = line + 1 < starts.size() ? starts[line + 1] - 2 : static_cast<int>(text.size());
            ASSERT_EQ(control.lineStart(static_cast<int>(line)), starts[line]);
            ASSERT_EQ(control.lineLength(starts[line]), end - starts[line]);
        }
    }
}

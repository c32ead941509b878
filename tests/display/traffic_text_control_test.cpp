// The display's text model against the operations the renderers rely on.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "display/traffic_text_control.h"

namespace {

void insert(TrafficTextControl& control, const std::string& bytes) {
    control.replaceSelection(bytes.data(), static_cast<int>(bytes.size()));
}

std::vector<int> scannedLineStarts(const std::string& text) {
    std::vector<int> starts{0};
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '\r' && text[i + 1] == '\n') starts.push_back(static_cast<int>(i + 2));
    }
    return starts;
}

using S = std::string;

// Each row: operations on a fresh control, then the text, line count and selection they leave.
struct ModelCase {
    const char* name;
    void (*run)(TrafficTextControl&);
    std::string text;
    int lines, selStart, selEnd, caret;
};

const ModelCase modelCases[] = {
    {"EveryBreakIsCrLf", [](auto& c) { insert(c, "ab\rcd\nef\n\rg\r\n"); }, "ab\r\ncd\r\nef\r\n\r\ng\r\n", 6, 17, 17, 17},
    {"NulAndControlBytesStay", [](auto& c) { insert(c, S("a\0b\x14", 4)); }, S("a\0b\x14", 4), 1, 4, 4, 4},
    {"InsertInsideABreak", [](auto& c) { insert(c, "ab\r\ncd"); c.setSelection(3, 3); insert(c, "X"); }, "ab\r\nXcd", 2, 5, 5, 5},
    {"ReplaceWorksWhileReadOnly",
     [](auto& c) { c.setReadOnly(true); insert(c, S("A\0B\0\0C", 6)); c.setSelection(1, 3); insert(c, "xyz"); },
     S("Axyz\0\0C", 7), 1, 4, 4, 4},
    {"ClearOnlyWhileNotReadOnly",
     [](auto& c) { insert(c, "l1\r\nl2\r\nl3"), c.setSelection(0, 4); for (bool ro : {true, false}) c.setReadOnly(ro), c.clearSelection(); },
     "l2\r\nl3", 2, 0, 0, 0},
    {"SetTextPutsTheCaretAtTheStart", [](auto& c) { insert(c, "old"); c.setText("new\rone\n"); }, "new\r\none\r\n", 3, 0, 0, 0},
    {"CrLfSplitOverInsertions", [](auto& c) { for (const char* s : {"abc\r", "\ndef", "\r", "x", "\n"}) insert(c, s); },
     "abc\r\ndef\r\nx\r\n", 4, 13, 13, 13},
    {"ReversedSelection", [](auto& c) { insert(c, "0123456789"); c.setSelection(7, 3); }, "0123456789", 1, 3, 7, 3},
    {"PastTheEndIsTheEnd", [](auto& c) { insert(c, "0123456789"); c.setSelection(4, 1000); }, "0123456789", 1, 4, 10, 10},
    {"MinusOneEndIsTheEnd", [](auto& c) { insert(c, "0123456789"); c.setSelection(0, -1); }, "0123456789", 1, 0, 10, 10},
    {"MinusOneStartDropsTheSelection",
     [](auto& c) { insert(c, "0123456789"); c.setSelection(2, 5); c.setSelection(-1, 0); }, "0123456789", 1, 5, 5, 5},
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
        EXPECT_EQ(control.selectionStart(), m.selStart);
        EXPECT_EQ(control.selectionEnd(), m.selEnd);
        EXPECT_EQ(control.caret(), m.caret);
    }
}

// The line index is kept edit by edit; random edits anywhere must leave it as a scan finds it.
TEST(TrafficTextControl, LineIndexFollowsRandomEditsAnywhere) {
    std::mt19937 random(1234);
    TrafficTextControl control;
    const char alphabet[] = {'a', 'b', '\r', '\n', '\0', 'z'};
    for (int step = 0; step < 3000; ++step) {
        const unsigned span = static_cast<unsigned>(control.textLength() + 3);
        control.setSelection(static_cast<int>(random() % span), static_cast<int>(random() % span));
        if (random() % 4 == 0) {
            control.clearSelection();
        } else {
            std::string bytes(random() % 12, 'x');
            for (char& c : bytes) c = alphabet[random() % sizeof alphabet];
            insert(control, bytes);
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

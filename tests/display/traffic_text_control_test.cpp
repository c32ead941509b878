// The display's text model against the operations the renderers rely on.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "display/traffic_text_control.h"

namespace {

void insert(TrafficTextControl& control, const std::string& bytes) {
    control.replaceSelection(bytes.data(), static_cast<int>(bytes.size()));
}

// Line starts found by scanning the stored text, to hold the model's index against.
std::vector<int> scannedLineStarts(const std::string& text) {
    std::vector<int> starts{0};
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '\r' && text[i + 1] == '\n') starts.push_back(static_cast<int>(i + 2));
    }
    return starts;
}

}  // namespace

TEST(TrafficTextControl, EmptyControlHasOneEmptyLine) {
    TrafficTextControl control;
    EXPECT_EQ(control.textLength(), 0);
    EXPECT_EQ(control.lineCount(), 1);
    EXPECT_EQ(control.lineLength(0), 0);
    EXPECT_EQ(control.text(), "");
}

struct BreakCase {
    const char* name;
    std::string input;
    std::string stored;
    int lines;
};

class LineBreaks : public ::testing::TestWithParam<BreakCase> {};

TEST_P(LineBreaks, EveryBreakIsStoredAsCrLfAndCountsTwo) {
    const BreakCase& c = GetParam();
    TrafficTextControl control;
    insert(control, c.input);
    EXPECT_EQ(control.text(), c.stored);
    EXPECT_EQ(control.textLength(), static_cast<int>(c.stored.size()));
    EXPECT_EQ(control.lineCount(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineBreaks,
    ::testing::Values(BreakCase{"CrLf", "ab\r\ncd", "ab\r\ncd", 2},
                      BreakCase{"LoneCr", "ab\rcd", "ab\r\ncd", 2},
                      BreakCase{"LoneLf", "ab\ncd", "ab\r\ncd", 2},
                      BreakCase{"LfCrIsTwoBreaks", "ab\n\rcd", "ab\r\n\r\ncd", 3},
                      BreakCase{"TrailingBreakLeavesEmptyLastLine", "ab\n", "ab\r\n", 2},
                      BreakCase{"Storm", "\r\r\n\n\r", "\r\n\r\n\r\n\r\n", 5},
                      BreakCase{"NoBreak", std::string("a\0b\x14", 4), std::string("a\0b\x14", 4), 1}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(TrafficTextControl, LineLengthIsThatOfTheLineHoldingThePositionWithoutItsBreak) {
    TrafficTextControl control;
    insert(control, "abc\r\n\r\nhello");  // lines: "abc" 0..2 (+CR 3, LF 4), "" at 5, "hello" at 7
    struct { int position; int length; } cases[] = {
        {0, 3}, {2, 3}, {3, 3}, {4, 3}, {5, 0}, {6, 0}, {7, 5}, {12, 5}, {100, 5},
    };
    for (const auto& c : cases) EXPECT_EQ(control.lineLength(c.position), c.length) << c.position;
    EXPECT_EQ(control.lineFromPosition(7), 2);
    EXPECT_EQ(control.lineStart(2), 7);
    EXPECT_EQ(control.lineStart(3), -1);
}

TEST(TrafficTextControl, LineLengthOfMinusOneCountsTheUnselectedPartOfTheSelectedLines) {
    TrafficTextControl control;
    insert(control, "abcdef\r\nghijkl");
    control.setSelection(2, 10);  // "cdef\r\ngh" selected
    EXPECT_EQ(control.lineLength(-1), 2 + 4);
    control.setSelection(9, 9);
    EXPECT_EQ(control.lineLength(-1), 6);
}

TEST(TrafficTextControl, SelectionRules) {
    TrafficTextControl control;
    insert(control, "0123456789");

    control.setSelection(2, 5);
    EXPECT_EQ(control.selectionStart(), 2);
    EXPECT_EQ(control.selectionEnd(), 5);

    control.setSelection(-1, 0);  // removes the selection, leaves the caret
    EXPECT_EQ(control.selectionStart(), 5);
    EXPECT_EQ(control.selectionEnd(), 5);

    control.setSelection(4, 1000);  // past the end is the end
    EXPECT_EQ(control.selectionEnd(), 10);
    control.setSelection(0, -1);  // -1 end: to the end
    EXPECT_EQ(control.selectionStart(), 0);
    EXPECT_EQ(control.selectionEnd(), 10);

    control.setSelection(7, 3);  // reversed: same range, caret at 3
    EXPECT_EQ(control.selectionStart(), 3);
    EXPECT_EQ(control.selectionEnd(), 7);
    EXPECT_EQ(control.caret(), 3);
}

TEST(TrafficTextControl, APositionInsideABreakNeverSplitsIt) {
    TrafficTextControl control;
    insert(control, "ab\r\ncd");
    control.setSelection(3, 3);  // between CR and LF
    insert(control, "X");
    EXPECT_EQ(control.text(), "ab\r\nXcd");
}

TEST(TrafficTextControl, ReplaceWorksWhileReadOnlyAndStoresEveryByteOfTheGivenLength) {
    TrafficTextControl control;
    control.setReadOnly(true);
    const std::string bytes("A\0B\0\0C", 6);
    insert(control, bytes);
    EXPECT_EQ(control.text(), bytes);
    EXPECT_EQ(control.caret(), 6);

    control.setSelection(1, 3);
    insert(control, "xyz");
    EXPECT_EQ(control.text(), std::string("Axyz\0\0C", 7));
    EXPECT_EQ(control.selectionStart(), 4);
    EXPECT_EQ(control.selectionEnd(), 4);
}

TEST(TrafficTextControl, ClearDeletesTheSelectionOnlyWhileNotReadOnly) {
    TrafficTextControl control;
    insert(control, "line1\r\nline2\r\nline3");
    control.setSelection(0, 7);

    control.setReadOnly(true);
    control.clearSelection();
    EXPECT_EQ(control.textLength(), 19);

    control.setReadOnly(false);
    control.clearSelection();
    EXPECT_EQ(control.text(), "line2\r\nline3");
    EXPECT_EQ(control.lineCount(), 2);
    EXPECT_EQ(control.lineLength(0), 5);
    EXPECT_EQ(control.caret(), 0);
}

TEST(TrafficTextControl, SetTextReplacesEverythingAndPutsTheCaretAtTheStart) {
    TrafficTextControl control;
    insert(control, "old\ntext");
    control.setText("new\rone\n");
    EXPECT_EQ(control.text(), "new\r\none\r\n");
    EXPECT_EQ(control.lineCount(), 3);
    EXPECT_EQ(control.caret(), 0);
    control.setText("");
    EXPECT_EQ(control.textLength(), 0);
    EXPECT_EQ(control.lineCount(), 1);
}

TEST(TrafficTextControl, RedrawScrollRequestsAndRevisions) {
    TrafficTextControl control;
    EXPECT_TRUE(control.redraw());
    uint64_t seen = control.revision();

    insert(control, "a");
    EXPECT_GT(control.revision(), seen);
    seen = control.revision();

    control.setRedraw(false);
    EXPECT_FALSE(control.redraw());
    EXPECT_FALSE(control.viewState(0, 1).redraw);
    control.setRedraw(true);
    EXPECT_GT(control.revision(), seen);

    const uint64_t requests = control.viewState(0, 1).scrollRequests;
    control.scrollCaret();
    EXPECT_EQ(control.viewState(0, 1).scrollRequests, requests + 1);
}

TEST(TrafficTextControl, CrLfSplitBetweenTwoInsertionsIsOneBreak) {
    TrafficTextControl control;
    insert(control, "abc\r");
    insert(control, "\ndef");
    EXPECT_EQ(control.text(), "abc\r\ndef");
    EXPECT_EQ(control.lineCount(), 2);

    // Only when the LF follows directly: here text came in between.
    insert(control, "\r");
    insert(control, "x");
    insert(control, "\n");
    EXPECT_EQ(control.text(), "abc\r\ndef\r\nx\r\n");

    // A deletion above the waiting break keeps the pair's two halves together.
    TrafficTextControl trimmed;
    trimmed.setReadOnly(false);
    insert(trimmed, "first\r\nsecond\r");
    trimmed.setSelection(0, 7);
    trimmed.clearSelection();
    trimmed.setSelection(1000, 1000);
    insert(trimmed, "\nthird");
    EXPECT_EQ(trimmed.text(), "second\r\nthird");
}

TEST(TrafficTextControl, ViewStateHoldsTheRequestedLinesAndTheCaret) {
    TrafficTextControl control;
    insert(control, "one\r\ntwo\r\nthree, the longest\r\nfour");
    control.setSelection(6, 12);
    const auto state = control.viewState(1, 2);
    EXPECT_EQ(state.lineCount, 4);
    EXPECT_EQ(state.maxLineLength, 18);
    ASSERT_EQ(state.lines.size(), 2u);
    EXPECT_EQ(state.lines[0], "two");
    EXPECT_EQ(state.lines[1], "three, the longest");
    EXPECT_EQ(state.lineStarts[1], 10);
    EXPECT_EQ(state.selectionStart, 6);
    EXPECT_EQ(state.selectionEnd, 12);
    EXPECT_EQ(state.caretLine, 2);
    EXPECT_EQ(state.caretColumn, 2);
}

// The line index is kept up to date edit by edit; random edits anywhere must leave it equal to
// what a scan of the text finds.
TEST(TrafficTextControl, LineIndexFollowsRandomEditsAnywhere) {
    std::mt19937 random(1234);
    TrafficTextControl control;
    control.setReadOnly(false);
    const char alphabet[] = {'a', 'b', '\r', '\n', '\0', 'z'};
    for (int step = 0; step < 3000; ++step) {
        const int length = control.textLength();
        const int a = static_cast<int>(random() % static_cast<unsigned>(length + 3));
        const int b = static_cast<int>(random() % static_cast<unsigned>(length + 3));
        control.setSelection(a, b);
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
            if (text[i] == '\r') {
                ASSERT_EQ(text[i + 1], '\n');
            }
            if (text[i] == '\n') {
                ASSERT_TRUE(i > 0 && text[i - 1] == '\r');
            }
        }
        for (size_t line = 0; line < starts.size(); ++line) {
            const int end = line + 1 < starts.size() ? starts[line + 1] - 2 : static_cast<int>(text.size());
            ASSERT_EQ(control.lineStart(static_cast<int>(line)), starts[line]);
            ASSERT_EQ(control.lineLength(starts[line]), end - starts[line]);
        }
    }
}

// A writer appends while another thread reads and clears: each operation is whole, so the
// reader never sees a split break, and the writer's appends are all there when it is alone.
TEST(TrafficTextControl, OperationsFromTwoThreadsAreEachWhole) {
    TrafficTextControl control;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            control.setSelection(-1, 0);
            control.setSelection(1 << 30, 1 << 30);
            insert(control, (i % 3 == 0) ? "ab\r" : "\ncd");
        }
        done = true;
    });
    int clears = 0;
    int splitBreaks = 0;
    while (!done) {
        const auto state = control.viewState(0, 1000);
        for (const std::string& line : state.lines) {
            if (line.find_first_of("\r\n") != std::string::npos) ++splitBreaks;
        }
        if (state.textLength > 50000 && clears < 3) {
            control.setText("");
            ++clears;
        }
    }
    writer.join();
    EXPECT_EQ(splitBreaks, 0);
    const std::string text = control.text();
    EXPECT_EQ(static_cast<int>(scannedLineStarts(text).size()), control.lineCount());
}

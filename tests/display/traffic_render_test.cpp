// The ASCII and hexadecimal renderers, driven through appendTraffic into a real text model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "display/traffic_render.h"
#include "display/traffic_text_control.h"
#include "relay/relay_channel.h"

namespace {

constexpr char sub = 0x14;

struct Display {
    explicit Display(int mode) {
        channel.displayMode = mode;
        channel.displayOpen = 1;
        channel.displayWindow = &control;
    }
    void send(const std::string& bytes) {
        appendTraffic(channel, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
    }
    void sendByte(int b) { send(std::string(1, static_cast<char>(b))); }
    void clear() { control.setText(""); }  // the CLEAR button
    std::string text() const { return control.text(); }
    std::string line(int index) const { return text().substr(static_cast<size_t>(74 * index), 74); }

    SerialPort from;
    SerialPort to;
    RelayChannel channel{1, from, to, 256};
    TrafficTextControl control;
};

// A hex line with `count` bytes 0x41.. in it, as the dump shows it.
std::string bytesFrom(int first, int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes += static_cast<char>(first + i);
    return bytes;
}

// Lines of `length` bytes (without break) that fill a control to `lines` lines.
std::string asciiLines(int lines, int length) {
    std::string text;
    for (int i = 0; i < lines; ++i) {
        if (i > 0) text += "\r\n";
        text += std::string(static_cast<size_t>(length), static_cast<char>('a' + i % 26));
    }
    return text;
}

}  // namespace

// ---- entry point -------------------------------------------------------------------------

TEST(AppendTraffic, ZeroLengthOrNoWindowChangesNothing) {
    Display display(0);
    display.send("");
    EXPECT_EQ(display.control.revision(), 0u);
    display.channel.displayWindow = nullptr;
    display.send("abc");
    display.channel.displayMode = 1;
    display.send("abc");
    EXPECT_EQ(display.text(), "");
}

TEST(AppendTraffic, TheCallersBytesAreNeverChanged) {
    for (int mode : {0, 1}) {
        Display display(mode);
        std::string chunk = std::string("ab\0\x82", 4);
        const std::string copy = chunk;
        display.send(chunk);
        EXPECT_EQ(chunk, copy);
    }
}

TEST(AppendTraffic, SelectionIsRemovedAndTheCaretGoesToTheEndAfterEveryCall) {
    for (int mode : {0, 1}) {
        Display display(mode);
        display.send("first line\r\nsecond line\r\n third");
        display.control.setSelection(2, 6);  // the user selects older text
        const uint64_t requests = display.control.viewState(0, 0).scrollRequests;
        display.send("more");
        EXPECT_EQ(display.control.selectionStart(), display.control.selectionEnd()) << mode;
        EXPECT_EQ(display.control.caret(), display.control.textLength()) << mode;
        EXPECT_GT(display.control.viewState(0, 0).scrollRequests, requests) << mode;
    }
}

// ---- hexadecimal form ------------------------------------------------------------------------

TEST(HexRender, OneByteIntoAnEmptyControlIsOneOpenLine) {
    Display display(1);
    display.sendByte(0x41);
    std::string expected(74, ' ');
    expected[0] = '4';
    expected[1] = '1';
    expected[54] = 'A';
    EXPECT_EQ(display.text(), expected);
    EXPECT_EQ(display.control.lineCount(), 1);
    EXPECT_EQ(display.channel.render.hexRendering.load(), 0);
}

TEST(HexRender, SixteenBytesFillALineThatTheSeventeenthCloses) {
    const std::string full =
        "41 42 43 44 45 46 47 48    49 4A 4B 4C 4D 4E 4F 50    ABCDEFGH IJKLMNOP ";
    for (bool sameChunk : {true, false}) {
        Display display(1);
        if (sameChunk) {
            display.send(bytesFrom(0x41, 17));
        } else {
            display.send(bytesFrom(0x41, 16));
            EXPECT_EQ(display.text(), full + "  ");  // full, but open: no break yet
            display.sendByte(0x51);
        }
        std::string second(74, ' ');
        second[0] = '5';
        second[1] = '1';
        second[54] = 'Q';
        EXPECT_EQ(display.text(), full + "\r\n" + second) << sameChunk;
        EXPECT_EQ(display.control.lineCount(), 2);
    }
}

TEST(HexRender, TheNinthByteStandsAfterTheGap) {
    Display display(1);
    display.send("12345678");
    display.send("Z");
    const std::string line = display.text();
    EXPECT_EQ(line.substr(21, 9), "38    5A ");
    EXPECT_EQ(line[27], '5');
    EXPECT_EQ(line[28], 'A');
    EXPECT_EQ(line[62], ' ');
    EXPECT_EQ(line[63], 'Z');
}

struct CharColumnCase {
    int byte;
    char shown;
};

class HexCharacterColumn : public ::testing::TestWithParam<CharColumnCase> {};

TEST_P(HexCharacterColumn, PrintableBytesStandForThemselvesOthersFor0x14) {
    Display display(1);
    display.sendByte(GetParam().byte);
    EXPECT_EQ(display.text()[54], GetParam().shown);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", GetParam().byte);
    EXPECT_EQ(display.text().substr(0, 2), digits);
}

INSTANTIATE_TEST_SUITE_P(Table, HexCharacterColumn,
                         ::testing::Values(CharColumnCase{0x00, sub}, CharColumnCase{0x1F, sub},
                                           CharColumnCase{0x7F, sub}, CharColumnCase{0x80, sub},
                                           CharColumnCase{0xFF, sub}, CharColumnCase{0x0D, sub},
                                           CharColumnCase{0x0A, sub}, CharColumnCase{0x20, ' '},
                                           CharColumnCase{0x7E, '~'}));

TEST(HexRender, AChunkOf1024BytesClosesSixtyThreeLinesAndLeavesTheLastFullButOpen) {
    Display display(1);
    display.channel.displayWindow = &display.control;
    display.send(std::string(1024, '\xA5'));
    const std::string text = display.text();
    ASSERT_EQ(text.size(), 64u * 74u);
    EXPECT_EQ(display.control.lineCount(), 64);
    for (int line = 0; line < 63; ++line) EXPECT_EQ(text.substr(74 * line + 71, 3), " \r\n") << line;
    EXPECT_EQ(text.substr(63 * 74 + 48, 3), "A5 ");  // the 16th byte of the last line
    EXPECT_EQ(text.substr(63 * 74 + 71, 3), "   ");
}

struct HexTrimCase {
    int closedLines;  // lines already in the control, every one closed, then one open line
    int linesLost;
};

class HexTrim : public ::testing::TestWithParam<HexTrimCase> {};

// The control holds `closedLines` closed lines plus an open line of 5 bytes; one more byte
// is sent. The trim runs before anything is appended.
TEST_P(HexTrim, CutsBackTo139LinesBeforeAppending) {
    const HexTrimCase c = GetParam();
    Display display(1);
    display.send(bytesFrom(0, 16 * c.closedLines + 5).substr(0, 16 * c.closedLines + 5));
    const int linesBefore = display.control.lineCount();
    ASSERT_EQ(linesBefore, c.closedLines + 1);
    const std::string before = display.text();

    display.sendByte(0xEE);
    const std::string after = display.text();
    EXPECT_EQ(display.control.lineCount(), linesBefore - c.linesLost);
    // The lines that stay are untouched, the first of them now at the top.
    const size_t kept = static_cast<size_t>(74 * (c.closedLines - c.linesLost));
    EXPECT_EQ(after.substr(0, kept), before.substr(static_cast<size_t>(74 * c.linesLost), kept));
    EXPECT_EQ(after.substr(after.size() - 74 + 15, 3), "EE ");
}

// 139 lines = 10286 characters: no trim. 140 = 10360: one line. 155 = 11470: sixteen.
INSTANTIATE_TEST_SUITE_P(Table, HexTrim,
                         ::testing::Values(HexTrimCase{138, 0}, HexTrimCase{139, 1},
                                           HexTrimCase{154, 16}));

TEST(HexRender, ClearInTheMiddleOfALineStartsANewLineAtSlotZero) {
    Display display(1);
    display.send("ABCDEFGHIJ");
    display.clear();
    display.send("K");
    std::string expected(74, ' ');
    expected[0] = '4';
    expected[1] = 'B';
    expected[54] = 'K';
    EXPECT_EQ(display.text(), expected);
}

TEST(HexRender, ANewWindowStartsAFreshLineWhateverTheOldOneHeld) {
    Display display(1);
    display.send("ABCDE");
    TrafficTextControl newWindow;
    display.channel.displayWindow = &newWindow;
    display.send("F");
    EXPECT_EQ(newWindow.text().substr(0, 3), "46 ");
    EXPECT_EQ(newWindow.text()[54], 'F');
    EXPECT_EQ(newWindow.textLength(), 74);
}

// ---- ASCII form ------------------------------------------------------------------------------

// One chunk after another, and what the control shows after each ("" as a chunk is CLEAR).
struct AsciiStep {
    std::string chunk;
    std::string shown;
};

struct AsciiCase {
    const char* name;
    std::vector<AsciiStep> steps;
    int heldAtEnd;
    int awaitingAtEnd;
};

std::string bytes(const char* text, size_t length) { return std::string(text, length); }

class AsciiChunks : public ::testing::TestWithParam<AsciiCase> {};

TEST_P(AsciiChunks, ShowEveryByteInOrderWithDoubleByteCharactersWhole) {
    Display display(0);
    for (const AsciiStep& step : GetParam().steps) {
        if (step.chunk.empty()) {
            display.clear();
        } else {
            display.send(step.chunk);
        }
        EXPECT_EQ(display.text(), step.shown) << "after chunk " << ::testing::PrintToString(step.chunk);
    }
    EXPECT_EQ(display.channel.render.heldByte, GetParam().heldAtEnd);
    EXPECT_EQ(display.channel.render.awaitingTrailByte, GetParam().awaitingAtEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AsciiChunks,
    ::testing::Values(
        AsciiCase{"BytesGoInUnchangedWithBreaksAsCrLf",
                  {{"abc\r\ndef\nghi\r", "abc\r\ndef\r\nghi\r\n"},
                   {"\xb1\xb2\x7f", "abc\r\ndef\r\nghi\r\n\xb1\xb2\x7f"}}, 0, 0},
        // A NUL no longer ends the chunk: it stays in the text (the view draws a placeholder
        // for it) and the rest follows.
        AsciiCase{"NulIsShownAndTheRestFollows",
                  {{bytes("AB\0CD", 5), bytes("AB\0CD", 5)}, {bytes("\0\0", 2), bytes("AB\0CD\0\0", 7)}}, 0, 0},
        AsciiCase{"LeadByteAtTheEndIsHeldAndJoinedWithTheNextChunk",
                  {{"ab\x82", "ab"}, {"\xA0xyz", "ab\x82\xA0xyz"}}, 0, 0},
        AsciiCase{"LeadByteAtTheEndStaysHeld", {{"ab\x82", "ab"}}, 0x82, 1},
        // 0xF0..0xFB are no lead bytes here; 0xFD is.
        AsciiCase{"LeadByteClasses",
                  {{"\x82\xA0", "\x82\xA0"}, {"\xF0", "\x82\xA0\xF0"}, {"\xFD", "\x82\xA0\xF0"},
                   {"\x40", "\x82\xA0\xF0\xFD\x40"}}, 0, 0},
        // CR is no trail byte: the flag stays set and the CR, the last byte, waits.
        AsciiCase{"LeadByteThenCrHoldsTheCr", {{"\x82\r", "\x82"}}, '\r', 1},
        AsciiCase{"HeldCrAndTheNextLfMakeOneBreak", {{"\x82\r", "\x82"}, {"\nA", "\x82\r\nA"}}, 0, 0},
        AsciiCase{"ClearWhileAByteIsHeldDropsIt", {{"xy\x82", "xy"}, {"", ""}, {"A", "A"}}, 0, 0},
        // Holding a byte back before a trailing NUL would show the NUL first: nothing is held.
        AsciiCase{"LeadByteFollowedByNulShowsInOrder",
                  {{bytes("\x82\0", 2), bytes("\x82\0", 2)}, {"\xA0", bytes("\x82\0\xA0", 3)}}, 0, 0},
        // The held byte takes the only byte of a chunk that is no trail byte: nothing is left
        // to hold, and nothing before the chunk is looked at.
        AsciiCase{"OneByteChunkAfterAHeldByteLeavesNothingToHold",
                  {{"\x82", ""}, {"\r", "\x82\r\n"}}, 0, 1},
        AsciiCase{"ThenATrailByteClearsTheFlag",
                  {{"\x82", ""}, {"\r", "\x82\r\n"}, {"\x81", "\x82\r\n\x81"}}, 0, 0},
        // A new window whose first chunk was all held back is still empty at the next call;
        // that is not CLEAR, and the byte is not lost.
        AsciiCase{"FirstChunkAllHeldBackIsNotLost", {{"\x82", ""}, {"\xA0", "\x82\xA0"}}, 0, 0},
        AsciiCase{"TimeStampMakesItsOwnLines",
                  {{"old", "old"}, {"\n\n2026/12/06 20:00:00\nnew", "old\r\n\r\n2026/12/06 20:00:00\r\nnew"}}, 0,
                  0}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(AsciiRender, AnotherWindowStartsAfreshWithoutTheOldHeldByte) {
    Display display(0);
    display.send("x\x82");
    TrafficTextControl newWindow;
    display.channel.displayWindow = &newWindow;
    display.send("\xA0y");
    EXPECT_EQ(newWindow.text(), "\xA0y");
}

struct AsciiTrimCase {
    int length;
    bool trimmed;
};

class AsciiTrim : public ::testing::TestWithParam<AsciiTrimCase> {};

// The control is filled with lines of 62 characters (64 with the break) to `length`.
TEST_P(AsciiTrim, TrimsOnlyAbove10240ByWholeLinesToUnder9216) {
    const AsciiTrimCase c = GetParam();
    Display display(0);
    std::string fill = asciiLines(161, 62);  // 161 x 64 - 2 = 10302 characters
    fill.resize(static_cast<size_t>(c.length));
    display.control.setText(fill);
    ASSERT_EQ(display.control.textLength(), c.length);
    display.send("!");
    const std::string text = display.text();
    if (!c.trimmed) {
        EXPECT_EQ(text, fill + "!");
        return;
    }
    const std::string kept = text.substr(0, text.size() - 1);
    EXPECT_LT(static_cast<int>(kept.size()), 9216);
    EXPECT_GE(static_cast<int>(kept.size()), 9216 - 64);
    EXPECT_EQ(fill.substr(fill.size() - kept.size()), kept);
    EXPECT_EQ(fill.substr(fill.size() - kept.size() - 2, 2), "\r\n");  // cut at a line start
    EXPECT_TRUE(display.control.readOnly());
}

INSTANTIATE_TEST_SUITE_P(Table, AsciiTrim,
                         ::testing::Values(AsciiTrimCase{10240, false}, AsciiTrimCase{10241, true},
                                           AsciiTrimCase{10302, true}));

TEST(AsciiRender, ALongLineWithoutBreaksIsRemovedWhole) {
    Display display(0);
    display.control.setText(std::string(10241, 'x'));
    display.send("y");
    EXPECT_EQ(display.text(), "y");
}

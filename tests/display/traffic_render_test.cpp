// The ASCII and hexadecimal renderers, driven through appendTraffic into a real text model.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "display/traffic_render.h"
#include "display/traffic_text_control.h"

namespace {

struct Display {
    explicit Display(int mode) {
        channel.displayMode = mode;
        channel.displayOpen = 1;
        channel.displayWindow = model;
    }
    void send(const std::string& bytes) {
        appendTraffic(channel, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
    }
    std::string text() const { return control.text(); }

    TrafficDisplay channel;
    std::shared_ptr<TrafficTextControl> model = std::make_shared<TrafficTextControl>();
    TrafficTextControl& control = *model;
};

// An open hex line holding the bytes given.
std::string hexLine(const std::string& bytes) {
    std::string line(74, ' ');
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t slot = i < 8 ? i : i + 1;
        snprintf(&line[3 * slot], 3, "%02X", static_cast<unsigned char>(bytes[i]));
        line[3 * slot + 2] = ' ';
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        line[54 + slot] = b >= 0x20 && b <= 0x7E ? bytes[i] : '\x14';
    }
    return line;
}

std::string run(int first, int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes += static_cast<char>(first + i);
    return bytes;
}

}  // namespace

TEST(AppendTraffic, BringsTheEndIntoSightAndFollowsTheWindow) {
    for (int mode : {0, 1}) {
        Display display(mode);
        display.send("first line\r\nsecond line\r\n third");
        const uint64_t requests = display.control.viewState(0, 0).scrollRequests;
        display.send(std::string("ab\0\x82", 4));
        EXPECT_GT(display.control.viewState(0, 0).scrollRequests, requests) << mode;

        display.send("x\x82");
        // A new window starts afresh, with no held byte or open line.
        auto newWindow = std::make_shared<TrafficTextControl>();
        display.channel.displayWindow = newWindow;
        display.send("F");
        EXPECT_EQ(newWindow->text(), mode == 0 ? "F" : hexLine("F"));

    }
}

TEST(HexRender, OneBytePositionsAndTheSeventeenth) {
    Display one(1);
    one.send("A");
    EXPECT_EQ(one.text(), hexLine("A"));
    EXPECT_EQ(one.channel.render.hexRendering.load(), 0);
    one.send("BCDEFGHIJ");
    one.control.setText("");  // CLEAR mid-line: the next byte starts at slot 0
    one.send("K");
    EXPECT_EQ(one.text(), hexLine("K"));

    Display ninth(1);
    ninth.send("12345678");
    ninth.send("Z");
    EXPECT_EQ(ninth.text().substr(21, 9), "38    5A ");
    EXPECT_EQ(ninth.text().substr(61, 3), "8 Z");

    const std::string full = "41 42 43 44 45 46 47 48    49 4A 4B 4C 4D 4E 4F 50    ABCDEFGH IJKLMNOP   ";
    Display split(1), whole(1);
    split.send(run(0x41, 16));
    EXPECT_EQ(split.text(), full);  // full, but open: no break yet
    split.send("Q");
    whole.send(run(0x41, 17));
    for (Display* d : {&split, &whole}) EXPECT_EQ(d->text(), full.substr(0, 72) + "\r\n" + hexLine("Q"));
}

TEST(HexRender, AChunkOf1024BytesClosesSixtyThreeLinesAndLeavesTheLastFullButOpen) {
    Display display(1);
    display.send(std::string(1024, '\xA5'));
    const std::string text = display.text();
    ASSERT_EQ(display.control.lineCount(), 64);
    for (int line = 0; line < 63; ++line) EXPECT_EQ(text.substr(74 * line + 71, 3), " \r\n") << line;
    EXPECT_EQ(text.substr(63 * 74), hexLine(std::string(16, '\xA5')));
}

// The control holds closed lines plus an open line of 5 bytes; one more byte trims it back to
// 139 lines before anything is appended: 139 lines no trim, 140 one line, 155 sixteen.
TEST(HexRender, TrimsTo139LinesBeforeAppending) {
    for (auto [closedLines, linesLost] : {std::pair{138, 0}, {139, 1}, {154, 16}}) {
        SCOPED_TRACE(closedLines);
        Display display(1);
        display.send(run(0, 16 * closedLines + 5));
        ASSERT_EQ(display.control.lineCount(), closedLines + 1);
        const std::string before = display.text();
        display.send("\xEE");
        EXPECT_EQ(display.control.lineCount(), closedLines + 1 - linesLost);
        const std::string after = display.text();
        const size_t kept = static_cast<size_t>(74 * (closedLines - linesLost));
        EXPECT_EQ(after.substr(0, kept), before.substr(static_cast<size_t>(74 * linesLost), kept));
        EXPECT_EQ(after.substr(after.size() - 74 + 15, 3), "EE ");
    }
}

// One chunk after another and what the control shows after each ("" as a chunk is CLEAR).
TEST(AsciiRender, ChunkSequences) {
    using S = std::string;
    struct Case {
        const char* name;
        std::vector<std::pair<S, S>> steps;
    } cases[] = {
        {"BytesGoInUnchangedWithBreaksAsCrLf", {{"abc\r\ndef\nghi\r\xb1\xb2\x7f", "abc\r\ndef\r\nghi\r\n\xb1\xb2\x7f"}}},
        // NUL stays in the text (the view shows a placeholder) and the rest follows.
        {"NulIsKept", {{S("AB\0CD", 5), S("AB\0CD", 5)}, {S("\0\0", 2), S("AB\0CD\0\0", 7)}}},
        {"LeadByteAtTheEndIsHeldForTheNextChunk", {{"ab\x82", "ab"}, {"\xA0xyz", "ab\x82\xA0xyz"}}},
        // 0xF0..0xFB are no lead bytes; 0xFD is.
        {"LeadByteClasses", {{"\x82\xA0\xF0", "\x82\xA0\xF0"}, {"\xFD", "\x82\xA0\xF0"}, {"\x40", "\x82\xA0\xF0\xFD\x40"}}},
        // CR is no trail byte: it is held as the last byte, and the next LF makes one break.
        {"LeadByteThenCr", {{"\x82\r", "\x82"}, {"\nA", "\x82\r\nA"}}},
        {"ClearWhileAByteIsHeldDropsIt", {{"xy\x82", "xy"}, {"", ""}, {"A", "A"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Display display(0);
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

// Lines of 62 characters plus the break, filled to the length; one byte more is sent.
TEST(AsciiRender, TrimsOnlyAbove10240ByWholeLinesToUnder9216) {
    std::string lines;
    for (int i = 0; i < 161; ++i) lines += (i ? "\r\n" : "") + std::string(62, static_cast<char>('a' + i % 26));
    for (int length : {10240, 10241}) {
        SCOPED_TRACE(length);
        Display display(0);
        const std::string fill = lines.substr(0, static_cast<size_t>(length));
        display.control.setText(fill);
        display.send("!");
        const std::string kept = display.text().substr(0, display.control.textLength() - 1);
        if (length == 10240) {
            EXPECT_EQ(kept, fill);
            continue;
        }
        EXPECT_TRUE(kept.size() < 9216u && kept.size() >= 9216u - 64u) << kept.size();
        EXPECT_EQ(fill.substr(fill.size() - kept.size() - 2), "\r\n" + kept);  // cut at a line start
    }
}

namespace {

// Chunks of the kinds a line produces: random bytes, NUL runs, CR/LF storms, lead-byte runs,
// Shift-JIS text and the largest reads; often ending in a lead byte or a CR.
std::string nextChunk(std::mt19937& random) {
    std::string chunk;
    const unsigned kind = random() % 6;
    const size_t size = kind == 5 ? 1024 : 1 + random() % 300;
    for (size_t i = 0; i < size; ++i) {
        switch (kind) {
            case 1: chunk += static_cast<char>(random() % 4 == 0 ? 0 : random() % 256); break;
            case 2: chunk += "\r\n\0"[random() % 3]; break;
            case 3: chunk += static_cast<char>(0x81 + random() % 0x1F); break;
            case 4: chunk += "\x82\xa0\x93\xfa\x96\x7b\x8c\xea"[random() % 8]; break;
            default: chunk += static_cast<char>(random() % 256); break;
        }
    }
    if (random() % 3 == 0) chunk.back() = static_cast<char>(0x81 + random() % 0x1F);
    if (random() % 5 == 0) chunk.back() = '\r';
    return chunk;
}

// The bytes a hex dump shows, read back from its digits; each character cell checked on the way.
std::string bytesFromHexDump(const std::string& text) {
    std::string bytes;
    for (size_t line = 0; line * 74 < text.size(); ++line) {
        const char* l = text.data() + line * 74;
        for (int slot = 0; slot < 17 && l[3 * slot] != ' '; slot += slot == 7 ? 2 : 1) {
            auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
            const unsigned u = static_cast<unsigned>(digit(l[3 * slot]) * 16 + digit(l[3 * slot + 1]));
            EXPECT_EQ(l[54 + slot], u >= 0x20 && u <= 0x7E ? static_cast<char>(u) : '\x14') << line << ":" << slot;
            bytes += static_cast<char>(u);
        }
    }
    return bytes;
}

}  // namespace

TEST(RandomTraffic, HexDumpKeepsItsShapeAndEveryByteInOrder) {
    std::mt19937 random(20261206);
    Display display(1);
    std::string sinceClear;
    for (int call = 0; call < 3000; ++call) {
        SCOPED_TRACE(call);
        if (random() % 500 == 0) {
            display.control.setText("");
            sinceClear.clear();
        }
        const std::string chunk = nextChunk(random);
        display.send(chunk);
        sinceClear += chunk;

        const std::string text = display.text();
        ASSERT_EQ(text.size() % 74, 0u);
        const size_t lines = text.size() / 74;
        ASSERT_EQ(display.control.lineCount(), static_cast<int>(lines));
        for (size_t line = 0; line + 1 < lines; ++line) ASSERT_EQ(text.substr(line * 74 + 71, 3), " \r\n") << line;
        ASSERT_EQ(text.substr(text.size() - 3), "   ");
        ASSERT_LE(lines, 139 + chunk.size() / 16 + 1);  // trimmed before the chunk's own lines

        const std::string shown = bytesFromHexDump(text);
        ASSERT_EQ(shown, sinceClear.substr(sinceClear.size() - std::min(shown.size(), sinceClear.size())));
        if (sinceClear.size() > 40000) sinceClear.erase(0, 20000);
    }
}

TEST(RandomTraffic, AsciiShowsEveryByteInOrderNearTenKilobytes) {
    std::mt19937 random(4242);
    Display display(0);
    std::string stream;  // what the control should end with: breaks as CR LF, a CR LF pair one break
    bool afterCr = false;
    int trims = 0;
    for (int call = 0; call < 3000; ++call) {
        SCOPED_TRACE(call);
        const std::string chunk = nextChunk(random);
        const int before = display.control.textLength();
        display.send(chunk);
        size_t lastShare = 0;
        for (char c : chunk) {
            const bool pairEnd = c == '\n' && afterCr;
            afterCr = c == '\r';
            lastShare = pairEnd ? 0 : (c == '\r' || c == '\n') ? 2 : 1;
            stream += pairEnd ? "" : (c == '\r' || c == '\n') ? std::string("\r\n") : std::string(1, c);
        }
        if (stream.size() > 200000) stream.erase(0, 100000);

        // A held byte is always the stream's last.
        const uint8_t held = display.channel.render.heldByte;
        ASSERT_TRUE(held == 0 || static_cast<char>(held) == chunk.back());
        const std::string expected = stream.substr(0, stream.size() - (held != 0 ? lastShare : 0));
        const std::string text = display.text();
        ASSERT_LE(text.size(), expected.size());
        ASSERT_EQ(text, expected.substr(expected.size() - text.size()));
        if (text.size() < expected.size()) {  // what is gone went as whole lines from the top
            ASSERT_EQ(expected.substr(expected.size() - text.size() - 2, 2), "\r\n");
        }
        const size_t added = 2 * chunk.size() + 2;
        if (before > 10240) {
            ++trims;
            ASSERT_LT(text.size(), 9216 + added);
        }
        ASSERT_LE(text.size(), 10240 + added);
    }
    EXPECT_GT(trims, 10);
}

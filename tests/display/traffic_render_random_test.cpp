// Long random streams in random chunk splits: the renderers keep their invariants, lose no
// byte of what they show, and keep the control near 10 KB.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "display/traffic_render.h"
#include "display/traffic_text_control.h"
#include "relay/relay_channel.h"

namespace {

// Chunks of the kinds a line produces: plain random bytes, lone lead bytes at the chunk's end,
// runs of NUL, storms of CR and LF, Shift-JIS text and the largest reads.
class ChunkSource {
public:
    explicit ChunkSource(uint32_t seed) : random_(seed) {}

    std::string next() {
        std::string chunk;
        const unsigned kind = random_() % 7;
        const size_t size = kind == 6 ? 1024 : 1 + random_() % 300;
        for (size_t i = 0; i < size; ++i) {
            switch (kind) {
                case 1: chunk += static_cast<char>(random_() % 4 == 0 ? 0 : random_() % 256); break;
                case 2: chunk += "\r\n\0"[random_() % 3]; break;
                case 3: chunk += static_cast<char>(0x81 + random_() % 0x1F); break;  // lead bytes
                case 4: chunk += "\x82\xa0\x93\xfa\x96\x7b\x8c\xea"[random_() % 8]; break;
                default: chunk += static_cast<char>(random_() % 256); break;
            }
        }
        if (random_() % 3 == 0) chunk.back() = static_cast<char>(0x81 + random_() % 0x1F);
        if (random_() % 5 == 0) chunk.back() = '\r';
        return chunk;
    }
    uint32_t number() { return random_(); }

private:
    std::mt19937 random_;
};

struct Display {
    explicit Display(int mode) {
        channel.displayMode = mode;
        channel.displayOpen = 1;
        channel.displayWindow = &control;
    }
    void send(const std::string& bytes) {
        appendTraffic(channel, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
    }
    SerialPort from;
    SerialPort to;
    RelayChannel channel{2, from, to, 1024};
    TrafficTextControl control;
};

int hexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

// The bytes a hex dump shows, in order, read back from its digits; the character column is
// checked against each byte on the way.
std::string bytesFromHexDump(const std::string& text) {
    std::string bytes;
    for (size_t line = 0; line * 74 < text.size(); ++line) {
        const char* l = text.data() + line * 74;
        for (int slot = 0; slot < 17; ++slot) {
            if (slot == 8) continue;
            if (l[3 * slot] == ' ') break;
            const char b = static_cast<char>(hexValue(l[3 * slot]) * 16 + hexValue(l[3 * slot + 1]));
            const unsigned char u = static_cast<unsigned char>(b);
            const char shown = (u >= 0x20 && u <= 0x7E) ? b : 0x14;
            EXPECT_EQ(l[54 + slot], shown) << "line " << line << " slot " << slot;
            bytes += b;
        }
    }
    return bytes;
}

// Every break as CR LF, a CR LF pair as one break, as the control stores them.
class NormalizedStream {
public:
    void add(char c) {
        lastContribution_ = 0;
        if (c == '\n' && afterCr_) {
            afterCr_ = false;
            return;
        }
        afterCr_ = c == '\r';
        if (c == '\r' || c == '\n') {
            text_ += "\r\n";
            lastContribution_ = 2;
        } else {
            text_ += c;
            lastContribution_ = 1;
        }
        if (text_.size() > 200000) text_.erase(0, 100000);
    }
    // The stream without its last byte's share.
    std::string withoutLast() const { return text_.substr(0, text_.size() - lastContribution_); }
    const std::string& text() const { return text_; }

private:
    std::string text_;
    bool afterCr_ = false;
    size_t lastContribution_ = 0;
};

}  // namespace

TEST(RandomTraffic, HexDumpKeepsItsShapeAndEveryByteInOrder) {
    ChunkSource source(20261206);
    Display display(1);
    std::string sinceClear;
    for (int call = 0; call < 3000; ++call) {
        if (source.number() % 500 == 0) {
            display.control.setText("");
            sinceClear.clear();
        }
        const std::string chunk = source.next();
        const int before = display.control.textLength();
        display.send(chunk);
        sinceClear += chunk;

        const std::string text = display.control.text();
        ASSERT_EQ(text.size() % 74, 0u) << "call " << call;
        const size_t lines = text.size() / 74;
        ASSERT_EQ(display.control.lineCount(), static_cast<int>(lines));
        for (size_t line = 0; line + 1 < lines; ++line) {
            ASSERT_EQ(text.substr(line * 74 + 71, 3), " \r\n") << "call " << call << " line " << line;
        }
        ASSERT_EQ(text.substr(text.size() - 3), "   ");
        // Trimmed to 139 lines before the chunk's own lines were added.
        const size_t bound = 74 * (139 + chunk.size() / 16 + 1);
        if (before > 10314) {
            ASSERT_LE(text.size(), bound);
        }
        ASSERT_LE(text.size(), static_cast<size_t>(10314) + 74 * (chunk.size() / 16 + 1));

        const std::string shown = bytesFromHexDump(text);
        ASSERT_LE(shown.size(), sinceClear.size());
        ASSERT_EQ(shown, sinceClear.substr(sinceClear.size() - shown.size())) << "call " << call;
        ASSERT_EQ(display.channel.render.hexRendering.load(), 0);
        if (sinceClear.size() > 40000) sinceClear.erase(0, 20000);
    }
}

TEST(RandomTraffic, AsciiShowsEveryByteInOrderNearTenKilobytes) {
    ChunkSource source(4242);
    Display display(0);
    NormalizedStream stream;
    int trims = 0;
    for (int call = 0; call < 3000; ++call) {
        const std::string chunk = source.next();
        const int before = display.control.textLength();
        display.send(chunk);
        for (char c : chunk) stream.add(c);

        const std::string text = display.control.text();
        // The held byte, when there is one, is always the stream's last byte.
        const std::string expected = display.channel.render.heldByte != 0 ? stream.withoutLast() : stream.text();
        if (display.channel.render.heldByte != 0) {
            ASSERT_EQ(static_cast<char>(display.channel.render.heldByte), chunk.back());
        }
        ASSERT_LE(text.size(), expected.size()) << "call " << call;
        ASSERT_EQ(text, expected.substr(expected.size() - text.size())) << "call " << call;
        // What is gone went as whole lines from the top.
        if (text.size() < expected.size()) {
            ASSERT_EQ(expected.substr(expected.size() - text.size() - 2, 2), "\r\n") << "call " << call;
        }
        const size_t added = 2 * chunk.size() + 2;
        if (before > 10240) {
            ++trims;
            ASSERT_LT(text.size(), 9216 + added) << "call " << call;
        }
        ASSERT_LE(text.size(), 10240 + added);
    }
    EXPECT_GT(trims, 10);
}

// The renderer on its worker thread, a reader and CLEAR on another: every operation is whole,
// so the dump is 74-character lines at every moment anyone can look.
TEST(RandomTraffic, HexDumpStaysAlignedWhileAnotherThreadReadsAndClears) {
    Display display(1);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        ChunkSource source(77);
        for (int call = 0; call < 2000; ++call) display.send(source.next());
        done = true;
    });
    int clears = 0;
    int misaligned = 0;
    while (!done) {
        const int length = display.control.textLength();
        if (length % 74 != 0) ++misaligned;
        const auto state = display.control.viewState(0, 200);
        // Closed lines hold 72 characters before their break; the last line is the open one
        // (74), or empty for the moment between closing a line and writing the next.
        for (size_t i = 0; i < state.lines.size(); ++i) {
            const bool last = state.firstLine + static_cast<int>(i) == state.lineCount - 1;
            const size_t size = state.lines[i].size();
            if (last ? (size != 74 && size != 0) : size != 72) ++misaligned;
        }
        if (length > 5000 && clears < 50) {
            display.control.setText("");
            ++clears;
        }
        (void)display.channel.render.hexRendering.load();
    }
    worker.join();
    EXPECT_EQ(misaligned, 0);
    EXPECT_EQ(display.control.textLength() % 74, 0);
}

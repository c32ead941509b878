#include "display/traffic_render.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <memory>
#include <vector>

#include "display/shift_jis.h"
#include "display/traffic_text_control.h"
#include "record/stamped_chunk.h"
#include "relay/local_time.h"

namespace {

constexpr int asciiTrimAbove = 10240;
constexpr int asciiTrimBelow = 9216;
constexpr int hexLineLength = 74;
constexpr int hexTrimAbove = asciiTrimAbove + hexLineLength;  // 10314
constexpr char hexSubstitute = 0x14;  // the character column's stand-in for unprintable bytes

void startHexLine(TrafficRenderState& state) {
    std::memset(state.hexLine, ' ', hexLineLength);
    state.hexLine[hexLineLength] = '\0';
    state.hexColumn = 0;
}

// The last line is the open one, 74 positions from 74 x (line count - 1): the line being built
// replaces it.
void writeHexLine(TrafficTextControl& control, const TrafficRenderState& state) {
    control.replaceLastLine(state.hexLine, hexLineLength);
}

// Clears hexRendering however the call ends.
struct HexRenderingFlag {
    explicit HexRenderingFlag(TrafficRenderState& s) : state(s) { state.hexRendering.store(1); }
    ~HexRenderingFlag() { state.hexRendering.store(0); }
    TrafficRenderState& state;
};

}  // namespace


bool TrafficDisplay::holdsText() const {
    const std::shared_ptr<TrafficTextControl> control = displayWindow.load(std::memory_order_acquire);
    return control != nullptr && control->textLength() > 0;
}

void TrafficDisplay::onChunk(const uint8_t* chunk, int32_t length, const ChunkStamp* stamp) {
    // A hexadecimal display never shows the stamp; the text shows it and the chunk as one piece.
    if (stamp == nullptr || displayMode.load(std::memory_order_relaxed) != 0) {
        appendTraffic(*this, chunk, length);
        return;
    }
    std::tm local{};
    localTimeOf(stamp->when, local);
    const StampedChunk stamped(local, stamp->afterText, chunk, length);
    appendTraffic(*this, stamped.data(), stamped.length());
}

void appendTraffic(TrafficDisplay& display, const uint8_t* bytes, int32_t length) {
    if (bytes == nullptr || length <= 0) return;
    if (display.displayMode.load(std::memory_order_relaxed) != 0) {
        renderTrafficHex(display, bytes, length);
    } else {
        renderTrafficAscii(display, bytes, length);
    }
}

void renderTrafficAscii(TrafficDisplay& display, const uint8_t* bytes, int32_t length) {
    // Held for the whole call: the window may end meanwhile, its text must not.
    const std::shared_ptr<TrafficTextControl> control = display.displayWindow.load(std::memory_order_acquire);
    if (control == nullptr || bytes == nullptr || length <= 0) return;
    TrafficRenderState& state = display.render;

    // The caller's bytes go on to the log and the other port: work on a copy. A stamped chunk
    // of the largest read fits the fixed buffer; anything longer gets one of its own.
    std::array<char, 22 + 1024 + 1> fixed;
    std::vector<char> larger;
    char* buffer = fixed.data();
    if (static_cast<size_t>(length) + 1 > fixed.size()) {
        larger.resize(static_cast<size_t>(length) + 1);
        buffer = larger.data();
    }
    std::memcpy(buffer, bytes, static_cast<size_t>(length));
    buffer[length] = '\0';

    const int textLength = control->textLength();
    if (textLength == 0 && (state.asciiControl != control.get() || state.asciiLeftText != 0)) {
        state.heldByte = 0;
        state.awaitingTrailByte = 0;
    }

    if (textLength > asciiTrimAbove) {
        int cut = 0;
        while (textLength - cut >= asciiTrimBelow) cut += control->lineLength(cut) + 2;
        control->removeFromTop(cut);
        control->scrollToEnd();
    }

    for (int i = 0; i < length; ++i) {
        const uint8_t b = static_cast<uint8_t>(buffer[i]);
        if (state.awaitingTrailByte == 0) {
            if (isShiftJisLeadByte(b)) state.awaitingTrailByte = 1;
        } else if (isShiftJisTrailByte(b)) {
            state.awaitingTrailByte = 0;
        }
    }

    // Every byte is shown, NUL included (the view draws a placeholder for it), so the chunk is
    // `start`..`start + count`, not a NUL-terminated text.
    int start = 0;
    int count = length;
    if (state.heldByte != 0) {
        const char pair[2] = {static_cast<char>(state.heldByte), buffer[0]};
        state.heldByte = 0;
        control->append(pair, 2);
        start = 1;
        count = length - 1;
    }

    // A double-byte character may be cut at the chunk's end: hold its last byte back so that
    // the next chunk's first byte is appended together with it. Only the chunk's own last byte
    // is ever held, and only a non-NUL one, so the bytes keep their order on screen and the
    // held byte is always a real one; with no byte left after a held one was used, nothing is.
    if (state.awaitingTrailByte == 1 && count > 0 && buffer[start + count - 1] != '\0') {
        state.heldByte = static_cast<uint8_t>(buffer[start + count - 1]);
        --count;
    }

    if (count > 0) control->append(buffer + start, count);
    control->scrollToEnd();
    state.asciiControl = control.get();
    state.asciiLeftText = control->textLength() > 0 ? 1 : 0;
}

void renderTrafficHex(TrafficDisplay& display, const uint8_t* bytes, int32_t length) {
    const std::shared_ptr<TrafficTextControl> control = display.displayWindow.load(std::memory_order_acquire);
    if (control == nullptr || bytes == nullptr || length <= 0) return;
    TrafficRenderState& state = display.render;
    HexRenderingFlag rendering(state);

    const int textLength = control->textLength();
    if (textLength == 0 || state.hexColumn == 0) startHexLine(state);

    if (textLength > hexTrimAbove) {
        const int lines = (textLength - asciiTrimAbove) / hexLineLength;
        control->removeFromTop(hexLineLength * lines);
    }

    static constexpr char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < length; ++i) {
        const uint8_t b = bytes[i];
        if (state.hexColumn == 17) {
            state.hexLine[71] = ' ';
            state.hexLine[72] = '\r';
            state.hexLine[73] = '\n';
            writeHexLine(*control, state);
            startHexLine(state);
        }
        if (state.hexColumn == 8) {
            std::memset(state.hexLine + 24, ' ', 3);
            state.hexColumn = 9;
        }
        char* slot = state.hexLine + 3 * state.hexColumn;
        slot[0] = digits[b >> 4];
        slot[1] = digits[b & 0x0F];
        slot[2] = ' ';
        state.hexLine[54 + state.hexColumn] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : hexSubstitute;
        ++state.hexColumn;
    }

    writeHexLine(*control, state);
    control->scrollToEnd();
}

// Any sequence of chunks, rendered in both forms: the text stays within the trim bounds, the
// hex dump decodes back to the tail of the bytes fed, and the text form is the tail of the
// same stream rendered in one piece. A third model takes each chunk through one of its edits
// directly, anywhere: in all three the line index, kept edit by edit, is what a scan finds.
#include <algorithm>
#include <string>

#include "tests/display/traffic_display.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr int kLine = 74;

int hexDigit(char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; }

// The bytes a dump shows, checking every position of every line on the way.
std::string decodeHex(const std::string& text) {
    FUZZ_REQUIRE(text.size() % kLine == 0);
    std::string bytes;
    const size_t lines = text.size() / kLine;
    for (size_t l = 0; l < lines; ++l) {
        const std::string line = text.substr(l * kLine, kLine);
        const bool open = l + 1 == lines;
        FUZZ_REQUIRE(line.substr(71) == (open ? "   " : " \r\n"));
        FUZZ_REQUIRE(line.substr(24, 3) == "   " && line.substr(51, 3) == "   " && line[62] == ' ');
        bool ended = false;
        for (int slot = 0; slot < 17; ++slot) {
            if (slot == 8) continue;
            const char* cell = line.data() + 3 * slot;
            const char shown = line[54 + slot];
            if (ended || cell[0] == ' ') {
                // Only the open line has empty slots, and only after its last byte.
                FUZZ_REQUIRE(open && cell[0] == ' ' && cell[1] == ' ' && shown == ' ');
                ended = true;
                continue;
            }
            const int high = hexDigit(cell[0]), low = hexDigit(cell[1]);
            FUZZ_REQUIRE(high >= 0 && low >= 0 && cell[2] == ' ');
            const auto b = static_cast<unsigned char>(high * 16 + low);
            FUZZ_REQUIRE(shown == (b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '\x14'));
            bytes += static_cast<char>(b);
        }
    }
    return bytes;
}

// Every break is CR LF, and each line starts and ends where a scan of the text says.
void checkLineIndex(const TrafficTextControl& control) {
    const std::string text = control.text();
    int line = 0;
    for (size_t start = 0;; ++line) {
        const size_t end = std::min(text.find("\r\n", start), text.size());
        FUZZ_REQUIRE(std::min(text.find_first_of("\r\n", start), text.size()) == end);
        FUZZ_REQUIRE(control.lineStart(line) == static_cast<int>(start));
        FUZZ_REQUIRE(control.lineLength(static_cast<int>(start)) == static_cast<int>(end - start));
        if (end == text.size()) break;
        start = end + 2;
    }
    FUZZ_REQUIRE(control.lineCount() == line + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    FedDisplay ascii(0), hex(1);
    TrafficTextControl edited;
    std::string stream;
    const auto feedBoth = [&](const std::string& chunk) {
        const int asciiBefore = ascii.control.textLength();
        ascii.send(chunk);
        hex.send(chunk);
        stream += chunk;
        const int size = static_cast<int>(chunk.size());
        // A trim leaves under 9216 characters; each byte adds at most two (a break is CR LF).
        FUZZ_REQUIRE(ascii.control.textLength() <= (asciiBefore > 10240 ? 9215 : asciiBefore) + 2 * (size + 1));
        // At most 139 lines are kept at the start of a call, and a chunk closes one per 16 bytes.
        FUZZ_REQUIRE(hex.control.textLength() / kLine <= 139 + (size + 15) / 16);
        FUZZ_REQUIRE(hex.channel.render.hexRendering.load() == 0);
    };
    while (in.remaining_bytes() > 0) {
        // Repeated, so that short inputs reach the trims too; at most the largest chunk a worker
        // hands over, 1024 bytes and a 22-byte stamp.
        const int repeats = in.ConsumeIntegralInRange(1, 16);
        const std::string chunk = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 1046));
        if (chunk.empty()) break;
        for (int r = 0; r < repeats; ++r) feedBoth(chunk);
        // The edit from the chunk's own bytes, so that the seeds' chunks keep their sizes.
        const auto pick = static_cast<unsigned char>(chunk.back());
        switch (static_cast<unsigned char>(chunk[0]) % 4) {
            case 0: edited.removeFromTop(edited.lineStart(pick % edited.lineCount())); break;
            case 1: edited.replaceLastLine(chunk.data(), static_cast<int>(chunk.size())); break;
            default: edited.append(chunk.data(), static_cast<int>(chunk.size()));
        }
        if (edited.textLength() > 4000) edited.setText(pick % 2 ? chunk : "");
        for (const TrafficTextControl* control : {&ascii.control, &hex.control, &edited}) checkLineIndex(*control);
        // At least 138 whole lines survive a trim.
        const std::string shown = decodeHex(hex.control.text());
        FUZZ_REQUIRE(shown.size() >= std::min<size_t>(stream.size(), 138 * 16));
        FUZZ_REQUIRE(stream.compare(stream.size() - shown.size(), shown.size(), shown) == 0);
    }

    // Both end with a trail byte, so neither holds a byte back: a chunk used up by a held byte
    // may leave the next byte unheld, so only the text with every byte released must agree.
    ascii.send("@");
    FedDisplay whole(0);
    whole.send(stream + "@");
    const std::string all = whole.control.text(), tail = ascii.control.text();
    FUZZ_REQUIRE(tail.size() <= all.size() && all.compare(all.size() - tail.size(), tail.size(), tail) == 0);
    return 0;
}

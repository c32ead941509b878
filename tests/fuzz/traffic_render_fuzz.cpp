// Chunks and CLEARs rendered in both forms, each trimmed by its rule; a third control takes each
// chunk through one of its edits, anywhere: in all three the line index is what a scan finds.
#include <algorithm>

#include "display/shift_jis.h"
#include "tests/display/traffic_display.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Every break is CR LF, each line starts and ends where a scan of the text says, and the lasting
// positions from `origin` (the bytes ever removed from the top), when given, name the text.
void checkLineIndex(const TrafficTextControl& control, int64_t origin = -1) {
    const std::string text = control.text();
    FUZZ_REQUIRE(origin < 0 || control.textBetween(origin, origin + static_cast<int64_t>(text.size())) == text);
    int line = 0;
    for (size_t start = 0, end = SIZE_MAX; end != text.size(); start = end + 2, ++line) {
        end = std::min(text.find("\r\n", start), text.size());
        FUZZ_REQUIRE(std::min(text.find_first_of("\r\n", start), text.size()) == end &&
                     control.lineStart(line) == static_cast<int>(start));
        FUZZ_REQUIRE(control.lineLength(static_cast<int>(start)) == static_cast<int>(end - start));
    }
    FUZZ_REQUIRE(control.lineCount() == line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    TrafficDisplay asciiChannel, hexChannel;
    TrafficTextControl &ascii = *openDisplay(asciiChannel, 0), &hex = *openDisplay(hexChannel, 1), edited;
    std::string stream, expected, held;  // the text form's bytes so far, and the one held back
    bool awaiting = false, afterCr = false;
    int64_t asciiOrigin = 0, editedOrigin = 0;
    size_t hexShown = 0;  // how many of the stream's last bytes the dump holds
    const auto feedBoth = [&](const std::string& chunk) {
        // Before adding, a text over 10240 keeps its longest tail under 9216 from a line start ...
        std::string kept = ascii.text();
        asciiOrigin += static_cast<int64_t>(kept.size());
        if (kept.size() > 10240) kept.erase(0, std::min(kept.find("\r\n", kept.size() - 9217), kept.size()) + 2);
        asciiOrigin -= static_cast<int64_t>(kept.size());
        // ... and a dump of more than 139 lines of 16 bytes (the open line among them) its last 139.
        if ((hexShown + 15) / 16 > 139) hexShown -= ((hexShown + 15) / 16 - 139) * 16;
        feed(asciiChannel, chunk);
        feed(hexChannel, chunk);
        stream += chunk;
        hexShown += chunk.size();
        for (unsigned char b : chunk) awaiting = awaiting ? !isShiftJisTrailByte(b) : isShiftJisLeadByte(b);
        // A chunk's last byte, NUL excepted, waits while it is a lead byte without its trail.
        const bool hold = awaiting && chunk.size() > held.size() && chunk.back() != '\0';
        const std::string out = held + chunk.substr(0, chunk.size() - hold);
        held = hold ? chunk.substr(chunk.size() - 1) : "";
        for (char c : out) {
            if (c != '\n' || !afterCr) expected += c == '\r' || c == '\n' ? std::string("\r\n") : std::string(1, c);
            afterCr = c == '\r';
        }
        if (expected.size() > 65536) expected.erase(0, expected.size() - 32768);
        const std::string text = ascii.text();
        FUZZ_REQUIRE(text.compare(0, kept.size(), kept) == 0 && expected.ends_with(text) &&
                     hexChannel.render.hexRendering.load() == 0);
    };
    while (in.remaining_bytes() > 0) {
        // Repeated, so that short inputs reach the trims; at most a worker's largest, 1024 + 22. The
        // edit is picked by the chunk's own bytes, so that the seeds' chunks keep their sizes.
        const int repeats = in.ConsumeIntegralInRange(1, 16);
        const std::string chunk = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 1046));
        if (chunk.empty()) break;
        for (int r = 0; r < repeats; ++r) feedBoth(chunk);
        const auto pick = static_cast<unsigned char>(chunk.back());
        const int before = edited.textLength();
        switch (static_cast<unsigned char>(chunk[0]) % 5) {
            case 0:  // at a line start, or anywhere up to past the end
                edited.removeFromTop(pick % 2 ? edited.lineStart(pick % edited.lineCount()) : pick * 8);
                editedOrigin += before - edited.textLength();
                break;
            case 1:
                edited.replaceLastLine(chunk.data(), static_cast<int>(chunk.size()));
                break;
            case 2:  // CLEAR: what waits for a trail byte is dropped unless the text was empty all along
                if (ascii.textLength() > 0) {
                    held.clear();
                    awaiting = false;
                }
                asciiOrigin += ascii.textLength();
                ascii.setText("");
                hex.setText("");
                expected.clear();
                afterCr = false;
                hexShown = 0;
                break;
            default: edited.append(chunk.data(), static_cast<int>(chunk.size()));
        }
        if (edited.textLength() > 4000) {
            editedOrigin += edited.textLength();
            edited.setText(pick % 2 ? chunk : "");
        }
        checkLineIndex(ascii, asciiOrigin);
        checkLineIndex(hex);
        checkLineIndex(edited, editedOrigin);
        FUZZ_REQUIRE(hex.text() == hexDump(stream.substr(stream.size() - hexShown)));
    }
    return 0;
}

// Any sequence of chunks, rendered in both forms: each form keeps what its trim rule keeps, the
// hex form is exactly the dump of that tail of the bytes fed, and the text form is the tail of
// the stream with its breaks made CR LF. A third model takes each chunk through one of its edits
// directly, anywhere: in all three the line index, kept edit by edit, is what a scan finds.
#include <algorithm>
#include <string>

#include "tests/display/traffic_display.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

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
    size_t hexShown = 0;  // how many of the stream's last bytes the dump holds
    const auto feedBoth = [&](const std::string& chunk) {
        // Before adding, a text longer than 10240 keeps its longest tail from a line start that
        // is shorter than 9216 ...
        std::string kept = ascii.control.text();
        if (kept.size() > 10240) kept.erase(0, std::min(kept.find("\r\n", kept.size() - 9217), kept.size()) + 2);
        // ... and a dump of more than 139 lines of 16 bytes (the open line among them) its last 139.
        if ((hexShown + 15) / 16 > 139) hexShown -= ((hexShown + 15) / 16 - 139) * 16;
        ascii.send(chunk);
        hex.send(chunk);
        stream += chunk;
        hexShown += chunk.size();
        // Each byte adds at most two characters (a break is CR LF), one held back before included.
        const std::string text = ascii.control.text();
        FUZZ_REQUIRE(text.compare(0, kept.size(), kept) == 0 && text.size() <= kept.size() + 2 * (chunk.size() + 1));
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
        FUZZ_REQUIRE(hex.control.text() == hexDump(stream.substr(stream.size() - hexShown)));
    }

    // Once a trail byte has released any byte held back, the text is the tail of the whole stream,
    // every byte as it came (NUL too) but each break (CR LF, a lone CR or LF) made CR LF.
    ascii.send("@");
    std::string all;
    for (size_t i = 0; i < stream.size(); ++i) {
        const bool crLf = stream[i] == '\r' && i + 1 < stream.size() && stream[i + 1] == '\n';
        all += stream[i] == '\r' || stream[i] == '\n' ? std::string("\r\n") : std::string(1, stream[i]);
        i += crLf;
    }
    all += '@';
    const std::string tail = ascii.control.text();
    FUZZ_REQUIRE(tail.size() <= all.size() && all.compare(all.size() - tail.size(), tail.size(), tail) == 0);
    return 0;
}

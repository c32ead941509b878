// Shared by the framing harnesses: any bytes, read whole and read in pieces cut where the input
// says, give the same frames with the same verdicts, and every byte lands in exactly one frame,
// in order, at the record and offset it names. Reading each frame and writing its frame line must
// hold for any frame.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "decode/frame_line.h"
#include "decode/transactions.h"
#include "tests/fuzz/fuzz_support.h"

inline int checkFraming(const uint8_t* data, size_t size, FrameRule rule) {
    FuzzedDataProvider in(data, size);
    const uint32_t cuts = in.ConsumeIntegral<uint32_t>();
    const std::string stream = in.ConsumeRemainingBytesAsString();
    FramingOptions options;
    options.rule = rule;
    options.delimiter = {'\r', '\n'};
    std::vector<size_t> starts;  // where each record of the pieces begins in the stream
    const auto frameAll = [&](bool inPieces) {
        Framer framer(1, options);
        std::vector<Frame> frames;
        std::minstd_rand random(cuts);
        uint64_t record = 0;
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min<size_t>(stream.size() - at, inPieces ? 1 + random() % 64 : stream.size());
            if (inPieces) starts.push_back(at);
            framer.add(reinterpret_cast<const uint8_t*>(stream.data()) + at, n, 0, record++, frames);
            at += n;
        }
        framer.finish(frames);
        return frames;
    };
    const std::vector<Frame> whole = frameAll(false), pieces = frameAll(true);
    FUZZ_REQUIRE(whole.size() == pieces.size());
    std::string joined;
    Transactions transactions(rule);
    std::vector<FrameRow> rows;
    for (size_t i = 0; i < whole.size(); ++i) {
        FUZZ_REQUIRE(!whole[i].bytes.empty());
        // A frame says where its first byte is, so that it can be read again from the records.
        FUZZ_REQUIRE(starts[pieces[i].firstRecord] + pieces[i].firstOffset == joined.size());
        FUZZ_REQUIRE(whole[i].bytes == pieces[i].bytes && whole[i].noise == pieces[i].noise);
        FUZZ_REQUIRE(readFrame(whole[i], rule, ModbusRole::Unknown).verdict ==
                     readFrame(pieces[i], rule, ModbusRole::Unknown).verdict);
        joined.append(whole[i].bytes.begin(), whole[i].bytes.end());
        Frame turn = whole[i];
        turn.channel = 1 + static_cast<int>(i % 2);  // as if the two sides took turns
        transactions.add(turn, rows);
    }
    FUZZ_REQUIRE(joined == stream);
    std::string lines;
    for (const FrameRow& row : rows) appendFrameLine(lines, row);
    return 0;
}

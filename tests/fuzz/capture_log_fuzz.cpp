// Any chunks and stamp lengths, in every CR/LF mode, on either channel: the file holds the bytes
// given less those the mode removes, the counter the bytes given less the stamps.
#include <algorithm>

#include "capture/capture_log.h"
#include "relay/relay.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t crlf = in.ConsumeIntegralInRange<int32_t>(-1, 3);
    const int channel = 1 + static_cast<int>(size % 2);  // from the length: the seeds keep their blocks
    Relay relay;
    Captures captures(relay);
    relay.appOptions.CRLF = crlf;
    const std::string path = fuzzScratchDir() + "/capture.log";
    FUZZ_REQUIRE(captures.openCaptureLog(channel, path) == 1);

    std::string expected;
    int64_t counted = 0;
    while (in.remaining_bytes() > 0) {
        const int32_t stamp = in.ConsumeIntegralInRange<int32_t>(-2, 30);
        const std::string block = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 3000));
        if (block.empty()) break;
        const int32_t length = static_cast<int32_t>(block.size());
        const auto* bytes = reinterpret_cast<const uint8_t*>(block.data());
        captures.writeCaptureLog(relay.relayChannel(channel), bytes, length, stamp);
        for (char c : block)
            if (crlf == 0 || c != (crlf == 2 ? '\r' : '\n')) expected += c;
        counted += length - std::clamp<int32_t>(stamp, 0, length);
        FUZZ_REQUIRE(captures.captureByteCount(channel) == counted);
    }
    captures.closeCaptureLog(channel);
    FUZZ_REQUIRE(!captures.takeCaptureFailure(channel));
    FUZZ_REQUIRE(readWholeFile(path) == expected);
    return 0;
}

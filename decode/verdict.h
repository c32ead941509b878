// What a frame's own rules say of it: the word in brackets on its frame line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class Verdict { Ok, BadCrc, BadLrc, BadChecksum, Truncated, Unknown, Noise, Timeout };

constexpr std::string_view verdictText(Verdict v) {
    switch (v) {
        case Verdict::Ok: return "[ok]";
        case Verdict::BadCrc: return "[bad crc]";
        case Verdict::BadLrc: return "[bad lrc]";
        case Verdict::BadChecksum: return "[bad checksum]";
        case Verdict::Truncated: return "[truncated]";
        case Verdict::Unknown: return "[unknown]";
        case Verdict::Noise: return "[noise]";
        case Verdict::Timeout: return "[timeout]";
    }
    return "[unknown]";
}

// The value of a hexadecimal digit as the line carries it (either case), -1 for any other byte:
// Modbus ASCII's pairs and NMEA's checksum.
constexpr int hexDigitValue(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A verdict the user looks for among many frames: anything but a good or an unknown function.
constexpr bool verdictIsError(Verdict v) { return v != Verdict::Ok && v != Verdict::Unknown; }

// One frame's reading by its protocol. `unit` and `function` are Modbus's, -1 where the frame has
// none or is too short to hold them.
struct FrameReading {
    Verdict verdict = Verdict::Ok;
    int unit = -1, function = -1;
    int exception = -1;                // the code of an exception answer
    uint16_t carried = 0, should = 0;  // the checksum carried and the one it should be, as sent
    std::string summary;
};

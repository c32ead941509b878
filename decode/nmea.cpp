#include "decode/nmea.h"

#include <cstdio>
#include <string>

uint8_t nmeaChecksum(const uint8_t* bytes, size_t length) {
    uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum ^= bytes[i];
    return sum;
}

FrameReading readNmea(const uint8_t* bytes, size_t length) {
    FrameReading r;
    if (length < 3 || (bytes[0] != '$' && bytes[0] != '!') || bytes[length - 2] != '\r' || bytes[length - 1] != '\n') {
        r.verdict = Verdict::Truncated;
        r.summary = "truncated: " + std::to_string(length) + (length == 1 ? " character" : " characters");
        return r;
    }
    const size_t end = length - 2;
    size_t star = 1;
    while (star < end && bytes[star] != '*') ++star;
    size_t comma = 1;
    while (comma < star && bytes[comma] != ',') ++comma;
    const std::string address(reinterpret_cast<const char*>(bytes) + 1, comma - 1);
    // A proprietary sentence ("P" and a maker's code) has no talker.
    if (!address.empty() && address[0] == 'P') r.summary = "proprietary " + address.substr(1);
    else if (address.size() >= 3) r.summary = "talker " + address.substr(0, 2) + " sentence " + address.substr(2);
    else r.summary = "sentence " + address;
    if (star == end) {
        r.summary += ", no checksum";
        return r;
    }
    r.should = nmeaChecksum(bytes + 1, star - 1);
    const int high = end - star == 3 ? hexDigitValue(bytes[star + 1]) : -1;
    const int low = end - star == 3 ? hexDigitValue(bytes[star + 2]) : -1;
    char text[48];
    if (high < 0 || low < 0) {
        std::snprintf(text, sizeof text, "checksum bad: not two digits, should be 0x%02X", r.should);
        r.verdict = Verdict::BadChecksum;
        r.summary = text;
        return r;
    }
    r.carried = static_cast<uint16_t>(high << 4 | low);
    if (r.carried != r.should) {
        std::snprintf(text, sizeof text, "checksum bad: 0x%02X, should be 0x%02X", r.carried, r.should);
        r.verdict = Verdict::BadChecksum;
        r.summary = text;
    }
    return r;
}

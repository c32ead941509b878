#include "relay/combined_record.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

void appendCombinedRecord(std::string& out, const std::tm& local, int32_t micros,
                          int64_t gapMicros, int channel, const uint8_t* bytes, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    if (gapMicros < 0) gapMicros = 0;
    char head[128];
    const int headLength = std::snprintf(
        head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%06d +%" PRId64 ".%06" PRId64 " %s  %zu  ",
        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
        local.tm_sec, static_cast<int>(micros), gapMicros / 1000000, gapMicros % 1000000,
        channel == 2 ? "2>1" : "1>2", length);
    const size_t start = out.size();
    const size_t hexLength = length == 0 ? 0 : length * 3 - 1;
    out.resize(start + static_cast<size_t>(headLength) + hexLength + 3 + length + 2);
    char* p = out.data() + start;
    std::memcpy(p, head, static_cast<size_t>(headLength));
    p += headLength;
    for (size_t i = 0; i < length; ++i) {
        if (i > 0) *p++ = ' ';
        *p++ = kHex[bytes[i] >> 4];
        *p++ = kHex[bytes[i] & 0x0F];
    }
    *p++ = ' ';
    *p++ = ' ';
    *p++ = '|';
    for (size_t i = 0; i < length; ++i) {
        *p++ = recordTextChar(bytes[i]);
    }
    *p++ = '|';
    *p++ = '\n';
}

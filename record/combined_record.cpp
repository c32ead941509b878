#include "record/combined_record.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// Writes `value` in decimal, zero-padded to `width` digits.
char* putDecimal(char* p, uint64_t value, int width) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < width) digits[n++] = '0';
    while (n > 0) *p++ = digits[--n];
    return p;
}

// The record's head, "2026-12-07 14:03:27.123456 +0.004211 1>2  16  ", as snprintf would write it
// with "%04d-%02d-%02d %02d:%02d:%02d.%06d +%lld.%06lld %s  %zu  ": a writer of a combined capture
// formats one per chunk, thousands a second, and the digits by hand cost a tenth of the format
// string's parsing. Fields outside their usual ranges go through snprintf itself.
int formatHead(char* head, size_t size, const std::tm& local, int32_t micros, int64_t gapMicros,
               int channel, size_t length) {
    const int year = local.tm_year + 1900;
    const bool usual = year >= 0 && year <= 9999 && local.tm_mon >= 0 && local.tm_mon <= 98 && local.tm_mday >= 0 &&
                       local.tm_mday <= 99 && local.tm_hour >= 0 && local.tm_hour <= 99 && local.tm_min >= 0 &&
                       local.tm_min <= 99 && local.tm_sec >= 0 && local.tm_sec <= 99 && micros >= 0 &&
                       micros <= 999999;
    if (!usual || size < 96) {
        return std::snprintf(head, size, "%04d-%02d-%02d %02d:%02d:%02d.%06d +%" PRId64 ".%06" PRId64 " %s  %zu  ",
                             year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                             static_cast<int>(micros), gapMicros / 1000000, gapMicros % 1000000,
                             channel == 2 ? "2>1" : "1>2", length);
    }
    char* p = head;
    p = putDecimal(p, static_cast<uint64_t>(year), 4);
    *p++ = '-';
    p = putDecimal(p, static_cast<uint64_t>(local.tm_mon + 1), 2);
    *p++ = '-';
    p = putDecimal(p, static_cast<uint64_t>(local.tm_mday), 2);
    *p++ = ' ';
    p = putDecimal(p, static_cast<uint64_t>(local.tm_hour), 2);
    *p++ = ':';
    p = putDecimal(p, static_cast<uint64_t>(local.tm_min), 2);
    *p++ = ':';
    p = putDecimal(p, static_cast<uint64_t>(local.tm_sec), 2);
    *p++ = '.';
    p = putDecimal(p, static_cast<uint64_t>(micros), 6);
    *p++ = ' ';
    *p++ = '+';
    p = putDecimal(p, static_cast<uint64_t>(gapMicros / 1000000), 1);
    *p++ = '.';
    p = putDecimal(p, static_cast<uint64_t>(gapMicros % 1000000), 6);
    std::memcpy(p, channel == 2 ? " 2>1  " : " 1>2  ", 6);
    p += 6;
    p = putDecimal(p, length, 1);
    *p++ = ' ';
    *p++ = ' ';
    return static_cast<int>(p - head);
}

}  // namespace

void appendCombinedRecord(std::string& out, const std::tm& local, int32_t micros,
                          int64_t gapMicros, int channel, const uint8_t* bytes, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    if (gapMicros < 0) gapMicros = 0;
    char head[128];
    const int headLength = formatHead(head, sizeof head, local, micros, gapMicros, channel, length);
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

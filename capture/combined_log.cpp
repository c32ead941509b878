#include "capture/combined_log.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// Records gather here and go to the file in one write; a chunk's record is at most ~4.2 KB.
constexpr size_t kWriteOutSize = 65536;

int64_t microsOf(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace

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
        *p++ = bytes[i] >= 0x20 && bytes[i] <= 0x7E ? static_cast<char>(bytes[i]) : '.';
    }
    *p++ = '|';
    *p++ = '\n';
}

CombinedLog::CombinedLog() : file_(kWriteOutSize) { record_.reserve(8192); }

CombinedLog::~CombinedLog() { file_.closeAtExit(); }

int CombinedLog::open(const std::string& fullPath) {
    file_.close();
    // Before the file takes records, so that no worker sees the last capture's clock.
    {
        std::lock_guard<std::mutex> hold(lock_);
        first_ = true;
    }
    return file_.open(fullPath);
}

void CombinedLog::write(int channel, const uint8_t* chunk, size_t length) {
    if (chunk == nullptr || length == 0) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (!file_.accepting()) return;

    // The read time, taken under the lock: whichever worker comes first gets the earlier time
    // and the earlier place in the file. The gap comes from the monotonic clock, so a change of
    // the wall clock cannot make it negative.
    timespec wall{}, steady{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &steady);
    const int64_t now = microsOf(steady);
    const int64_t gap = first_ || now < lastMonotonicUs_ ? 0 : now - lastMonotonicUs_;
    first_ = false;
    lastMonotonicUs_ = now;
    if (wall.tv_sec != cachedSecond_) {
        localtime_r(&wall.tv_sec, &cachedLocal_);
        cachedSecond_ = wall.tv_sec;
    }

    record_.clear();
    appendCombinedRecord(record_, cachedLocal_, static_cast<int32_t>(wall.tv_nsec / 1000), gap,
                         channel, chunk, length);
    file_.append(record_.data(), record_.size(), static_cast<int64_t>(length));
}

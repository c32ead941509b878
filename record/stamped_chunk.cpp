#include "record/stamped_chunk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

StampedChunk::StampedChunk(const std::tm& local, bool afterText, const uint8_t* chunk, int32_t length) {
    const size_t chunkLength = length > 0 ? static_cast<size_t>(length) : 0;
    if (chunkLength + kLongestStamp > fixed_.size()) {
        larger_.resize(chunkLength + kLongestStamp);
        data_ = larger_.data();
    }
    char text[kLongestStamp + 1];
    const int formatted = std::snprintf(text, sizeof text, "%s%d/%02d/%02d %02d:%02d:%02d\n", afterText ? "\n\n" : "",
                                        local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                        local.tm_min, local.tm_sec);
    stampLength_ = std::clamp(formatted, 0, kLongestStamp);
    std::memcpy(data_, text, static_cast<size_t>(stampLength_));
    if (chunkLength > 0) std::memcpy(data_ + stampLength_, chunk, chunkLength);
    length_ = stampLength_ + static_cast<int32_t>(chunkLength);
}

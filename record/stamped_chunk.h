// The date-and-time line put in front of a chunk, as the display shows it and the capture log
// keeps it: one definition for both, so that a log reads as the window did.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <vector>

class StampedChunk {
public:
    // "YYYY/MM/DD hh:mm:ss\n" of `local`, with "\n\n" in front when it comes after text, then
    // the chunk as read. Any read's chunk fits the block held inline; a longer one gets its own.
    StampedChunk(const std::tm& local, bool afterText, const uint8_t* chunk, int32_t length);
    StampedChunk(const StampedChunk&) = delete;
    StampedChunk& operator=(const StampedChunk&) = delete;

    const uint8_t* data() const { return data_; }
    int32_t length() const { return length_; }
    int32_t stampLength() const { return stampLength_; }

    // A blank line pair, "YYYY/MM/DD hh:mm:ss" and its line end.
    static constexpr int kLongestStamp = 22;

private:
    std::array<uint8_t, kLongestStamp + 1024> fixed_;
    std::vector<uint8_t> larger_;
    uint8_t* data_ = fixed_.data();
    int32_t length_ = 0;
    int32_t stampLength_ = 0;
};

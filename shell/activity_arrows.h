// The arrow strips of the main window (controls 1049 and 1050): one per direction, moving one
// frame per 300 ms tick while the direction carries traffic, blank otherwise.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// Channel 1 (Serial Port1 -> Serial Port2): "=>" travelling right.
extern const std::array<std::string_view, 4> forwardArrowFrames;
// Channel 2 (Serial Port2 -> Serial Port1): "<=" travelling left.
extern const std::array<std::string_view, 4> backwardArrowFrames;

// The frame tables of channel 1 or 2.
const std::array<std::string_view, 4>& arrowFrames(int channel);

struct Relay;

// Both strips' frame counters; touched by the UI thread only.
class ActivityArrows {
public:
    // The frame counter of channel 1 or 2: the frame the strip shows next, 0..3. Both start at
    // 0 and are never reset, so a strip that went blank resumes with the frame after its last one.
    int32_t arrowFrameCounter(int channel) const;

    // One tick of one strip: with traffic (rateByteCount non-zero) the frame selected by the
    // counter, which then advances; without, the empty text and the counter stays.
    std::string_view nextArrowText(int channel, int32_t rateByteCount);

    // Both strips, channel 1 first, from the relay's channels' rateByteCount; [0] is 1049, [1]
    // is 1050.
    std::array<std::string_view, 2> nextActivityArrowTexts(const Relay& relay);

private:
    int32_t frameCounters[2] = {0, 0};
};

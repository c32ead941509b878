// Which of the two channels a number means, decided in one place: 2 is channel 2, any other
// number channel 1.
#pragma once

#include <cstddef>

constexpr int channelNumber(int channel) { return channel == 2 ? 2 : 1; }

// The channel's place in a two-element array: 0 for channel 1, 1 for channel 2.
constexpr size_t channelSlot(int channel) { return static_cast<size_t>(channelNumber(channel) - 1); }

// The channel's one of a pair kept as two members.
template <typename T>
constexpr T& ofChannel(int channel, T& first, T& second) {
    return channelSlot(channel) == 0 ? first : second;
}

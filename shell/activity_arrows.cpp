#include "shell/activity_arrows.h"

#include "relay/channel.h"
#include "relay/relay.h"

// Each frame steps the arrows two characters in the strip's direction; frame 3 carries one
// more arrow than the others (56 characters against 54), as the strip has always looked.
const std::array<std::string_view, 4> forwardArrowFrames = {
    "=>    =>    =>    =>    =>    =>    =>    =>    =>    ",
    "  =>    =>    =>    =>    =>    =>    =>    =>    =>  ",
    "    =>    =>    =>    =>    =>    =>    =>    =>    =>",
    "=>    =>    =>    =>    =>    =>    =>    =>    =>    =>",
};

const std::array<std::string_view, 4> backwardArrowFrames = {
    "    <=    <=    <=    <=    <=    <=    <=    <=    <=",
    "  <=    <=    <=    <=    <=    <=    <=    <=    <=  ",
    "<=    <=    <=    <=    <=    <=    <=    <=    <=    ",
    "<=    <=    <=    <=    <=    <=    <=    <=    <=    <=",
};

const std::array<std::string_view, 4>& arrowFrames(int channel) {
    return ofChannel(channel, forwardArrowFrames, backwardArrowFrames);
}

int32_t ActivityArrows::arrowFrameCounter(int channel) const { return frameCounters[channelSlot(channel)]; }

std::string_view ActivityArrows::nextArrowText(int channel, int32_t rateByteCount) {
    if (rateByteCount == 0) return {};
    int32_t& counter = frameCounters[channelSlot(channel)];
    std::string_view text = arrowFrames(channel)[static_cast<size_t>(counter)];
    counter = (counter + 1) % 4;
    return text;
}

std::array<std::string_view, 2> ActivityArrows::nextActivityArrowTexts(const Relay& relay) {
    // Only zero or non-zero matters; a read that races with the rate meter's reset changes at
    // most whether this one frame is drawn.
    std::string_view first =
        nextArrowText(1, relay.relayChannel1.rateByteCount.load(std::memory_order_relaxed));
    std::string_view second =
        nextArrowText(2, relay.relayChannel2.rateByteCount.load(std::memory_order_relaxed));
    return {first, second};
}

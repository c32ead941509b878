// The arrow strips: how the per-channel counters move with traffic.
#include <gtest/gtest.h>

#include <vector>

#include "relay/relay.h"
#include "shell/activity_arrows.h"

namespace {

TEST(ActivityArrows, EachDirectionCyclesItsOwnFramesOnlyWithTrafficAndResumesWhereItStopped) {
    Relay relay;
    ActivityArrows arrows;
    const auto& f = forwardArrowFrames;
    const auto& b = backwardArrowFrames;
    using Texts = std::vector<std::string_view>;
    const auto tick = [&](int32_t bytes1, int32_t bytes2) {
        relay.relayChannel1.rateByteCount = bytes1;
        relay.relayChannel2.rateByteCount = bytes2;
        const auto t = arrows.nextActivityArrowTexts(relay);
        return Texts{t[0], t[1]};
    };
    EXPECT_EQ(tick(0, 0), (Texts{"", ""}));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(tick(12, 0), (Texts{f[i % 4], ""}));
    EXPECT_EQ(arrows.arrowFrameCounter(1), 1);
    EXPECT_EQ(arrows.arrowFrameCounter(2), 0) << "the idle direction must not move";
    EXPECT_EQ(tick(0, 7), (Texts{"", b[0]}));
    EXPECT_EQ(tick(1, 7), (Texts{f[1], b[1]})) << "a strip resumes after its last frame";
}

}  // namespace

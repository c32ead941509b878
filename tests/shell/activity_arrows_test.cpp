// The arrow strips: exact frames, and how the per-channel counters move with traffic.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/relay_channel.h"
#include "shell/activity_arrows.h"

namespace {

struct FrameCase {
    int channel;
    int frame;
    const char* arrow;
    size_t length;
    std::vector<size_t> arrowOffsets;  // where each arrow starts
};

// Offsets worked out from the strips' make-up: six-character period, arrow at 0, 2 or 4.
std::vector<size_t> every6(size_t first, int count) {
    std::vector<size_t> out;
    for (int i = 0; i < count; ++i) out.push_back(first + 6 * static_cast<size_t>(i));
    return out;
}

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << "channel " << c.channel << " frame " << c.frame;
}

class ArrowFrame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(ArrowFrame, HasItsArrowsAtTheirPlacesAndBlanksElsewhere) {
    const FrameCase& c = GetParam();
    const std::string text(arrowFrames(c.channel)[static_cast<size_t>(c.frame)]);
    ASSERT_EQ(text.size(), c.length);
    std::string expected(c.length, ' ');
    for (size_t at : c.arrowOffsets) expected.replace(at, 2, c.arrow);
    EXPECT_EQ(text, expected);
}

INSTANTIATE_TEST_SUITE_P(
    BothStrips, ArrowFrame,
    ::testing::Values(FrameCase{1, 0, "=>", 54, every6(0, 9)},
                      FrameCase{1, 1, "=>", 54, every6(2, 9)},
                      FrameCase{1, 2, "=>", 54, every6(4, 9)},
                      FrameCase{1, 3, "=>", 56, every6(0, 10)},
                      FrameCase{2, 0, "<=", 54, every6(4, 9)},
                      FrameCase{2, 1, "<=", 54, every6(2, 9)},
                      FrameCase{2, 2, "<=", 54, every6(0, 9)},
                      FrameCase{2, 3, "<=", 56, every6(0, 10)}));

TEST(ActivityArrows, WithoutTrafficBothStripsStayEmptyAndCountersStayAtZero) {
    for (int tick = 0; tick < 10; ++tick) {
        auto texts = nextActivityArrowTexts();
        EXPECT_TRUE(texts[0].empty());
        EXPECT_TRUE(texts[1].empty());
    }
    EXPECT_EQ(arrowFrameCounter(1), 0);
    EXPECT_EQ(arrowFrameCounter(2), 0);
}

TEST(ActivityArrows, ContinuousTrafficCyclesThroughAllFourFramesAndWrapsToTheFirst) {
    relayChannel1.rateByteCount = 12;
    std::vector<std::string_view> shown;
    for (int tick = 0; tick < 6; ++tick) shown.push_back(nextActivityArrowTexts()[0]);
    const auto& f = forwardArrowFrames;
    EXPECT_EQ(shown, (std::vector<std::string_view>{f[0], f[1], f[2], f[3], f[0], f[1]}));
    EXPECT_EQ(arrowFrameCounter(1), 2);
    EXPECT_EQ(arrowFrameCounter(2), 0) << "the idle direction must not move";
}

TEST(ActivityArrows, TrafficThatResumesContinuesWithTheFrameAfterTheLastOneShown) {
    EXPECT_EQ(nextArrowText(2, 5), backwardArrowFrames[0]);
    EXPECT_EQ(nextArrowText(2, 5), backwardArrowFrames[1]);
    EXPECT_TRUE(nextArrowText(2, 0).empty());
    EXPECT_TRUE(nextArrowText(2, 0).empty());
    EXPECT_EQ(nextArrowText(2, 1), backwardArrowFrames[2]);
}

TEST(ActivityArrows, EachDirectionKeepsItsOwnCounter) {
    relayChannel1.rateByteCount = 3;
    relayChannel2.rateByteCount = 0;
    nextActivityArrowTexts();
    nextActivityArrowTexts();
    relayChannel2.rateByteCount = 7;
    auto texts = nextActivityArrowTexts();
    EXPECT_EQ(texts[0], forwardArrowFrames[2]);
    EXPECT_EQ(texts[1], backwardArrowFrames[0]);
    relayChannel1.rateByteCount = 0;
    texts = nextActivityArrowTexts();
    EXPECT_TRUE(texts[0].empty());
    EXPECT_EQ(texts[1], backwardArrowFrames[1]);
    EXPECT_EQ(arrowFrameCounter(1), 3);
    EXPECT_EQ(arrowFrameCounter(2), 2);
}

}  // namespace

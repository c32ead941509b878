// The one-second tick: the elapsed clock, the byte/s figures and the stamp countdowns, as the
// main window would see them through its window calls.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "relay/rate_meter.h"
#include "relay/relay_channel.h"
#include "settings/config.h"
#include "shell/window_calls.h"

namespace {

using namespace std::chrono_literals;

class RateMeterTest : public ::testing::Test {
protected:
    void SetUp() override {
        windowCalls.setStatusText = [this](const std::string& text) {
            std::lock_guard<std::mutex> hold(lock);
            statusTexts.push_back(text);
        };
        windowCalls.setControlText = [this](int id, const std::string& text) {
            std::lock_guard<std::mutex> hold(lock);
            controlTexts.emplace_back(id, text);
        };
        rateMeter.elapsedHours = rateMeter.elapsedMinutes = rateMeter.elapsedSeconds = 0;
        rateMeter.rateTick = 0;
        rateMeter.timerToken = 4711;
        for (RelayChannel* c : {&relayChannel1, &relayChannel2}) {
            c->rateByteCount = 0;
            c->stampCountdown = 0;
        }
    }
    void TearDown() override {
        stopRateTimer();
        windowCalls = WindowCalls{};
    }

    void tick(int times = 1) {
        for (int i = 0; i < times; ++i) onRateTimer(rateMeter.timerToken);
    }
    std::vector<std::string> statuses() {
        std::lock_guard<std::mutex> hold(lock);
        return statusTexts;
    }
    std::vector<std::pair<int, std::string>> controls() {
        std::lock_guard<std::mutex> hold(lock);
        return controlTexts;
    }

    std::mutex lock;
    std::vector<std::string> statusTexts;
    std::vector<std::pair<int, std::string>> controlTexts;
};

TEST_F(RateMeterTest, TheClockShowsElapsedTimeWithFullWidthColons) {
    tick(3);
    EXPECT_EQ(statuses(), (std::vector<std::string>{"00：00：01", "00：00：02", "00：00：03"}));
}

struct RolloverCase {
    int32_t hours, minutes, seconds;
    const char* next;
};

class ClockRolloverTest : public RateMeterTest,
                          public ::testing::WithParamInterface<RolloverCase> {};

TEST_P(ClockRolloverTest, NextTickCarriesIntoTheNextField) {
    rateMeter.elapsedHours = GetParam().hours;
    rateMeter.elapsedMinutes = GetParam().minutes;
    rateMeter.elapsedSeconds = GetParam().seconds;
    tick();
    ASSERT_EQ(statuses().size(), 1u);
    EXPECT_EQ(statuses()[0], GetParam().next);
}

INSTANTIATE_TEST_SUITE_P(Clock, ClockRolloverTest,
                         ::testing::Values(RolloverCase{0, 0, 59, "00：01：00"},
                                           RolloverCase{0, 59, 59, "01：00：00"},
                                           RolloverCase{23, 59, 59, "24：00：00"},
                                           RolloverCase{99, 59, 59, "100：00：00"},
                                           RolloverCase{100, 0, 0, "100：00：01"}));

TEST_F(RateMeterTest, ACallWithAForeignTokenIsIgnored) {
    relayChannel1.stampCountdown = 5;
    relayChannel1.rateByteCount = 100;
    appOptions.RATE = 1;
    onRateTimer(rateMeter.timerToken + 1);
    EXPECT_TRUE(statuses().empty());
    EXPECT_TRUE(controls().empty());
    EXPECT_EQ(rateMeter.elapsedSeconds, 0);
    EXPECT_EQ(relayChannel1.stampCountdown.load(), 5);
    EXPECT_EQ(relayChannel1.rateByteCount.load(), 100);
}

struct FigureCase {
    const char* name;
    int32_t rate;
    int32_t bytes1, bytes2;
    const char* text1;
    const char* text2;
};

class RateFigureTest : public RateMeterTest, public ::testing::WithParamInterface<FigureCase> {};

TEST_P(RateFigureTest, EveryRateSecondsTheBytesBecomeAFigure) {
    const FigureCase& c = GetParam();
    appOptions.RATE = c.rate;
    relayChannel1.rateByteCount = c.bytes1;
    relayChannel2.rateByteCount = c.bytes2;
    tick(c.rate - 1);
    EXPECT_TRUE(controls().empty()) << "updated before the period ended";
    tick();
    EXPECT_EQ(controls(), (std::vector<std::pair<int, std::string>>{{1053, c.text1},
                                                                   {1054, c.text2}}));
    EXPECT_EQ(relayChannel1.rateByteCount.load(), 0);
    EXPECT_EQ(relayChannel2.rateByteCount.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Figures, RateFigureTest,
    ::testing::Values(FigureCase{"TwelveBytesInFiveSeconds", 5, 12, 0, "   2 byte/s", "   0 byte/s"},
                      FigureCase{"FourDigits", 5, 6170, 99, "  1234 byte/s", "  19 byte/s"},
                      FigureCase{"EverySecond", 1, 7, 12345, "   7 byte/s", "  12345 byte/s"},
                      FigureCase{"TruncatesTowardZero", 3, 8, 2, "   2 byte/s", "   0 byte/s"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(RateMeterTest, ARateBelowOneNeverUpdatesTheFigures) {
    for (int32_t rate : {0, -1, -30}) {
        appOptions.RATE = rate;
        relayChannel1.rateByteCount = 500;
        tick(12);
        EXPECT_TRUE(controls().empty()) << rate;
        EXPECT_EQ(relayChannel1.rateByteCount.load(), 500) << rate;
    }
    EXPECT_EQ(statuses().size(), 36u);  // the clock runs on
}

TEST_F(RateMeterTest, ANewRateTakesEffectAtTheNextTick) {
    appOptions.RATE = 10;
    relayChannel1.rateByteCount = 40;
    tick(7);
    EXPECT_TRUE(controls().empty());
    appOptions.RATE = 5;
    tick();  // 8 seconds of bytes, divided by the new rate
    EXPECT_EQ(controls(), (std::vector<std::pair<int, std::string>>{{1053, "   8 byte/s"},
                                                                   {1054, "   0 byte/s"}}));
    tick(4);
    EXPECT_EQ(controls().size(), 2u);
    tick();
    EXPECT_EQ(controls().size(), 4u);  // then every 5 seconds
}

TEST_F(RateMeterTest, CountdownsRunDownToZeroAndStayThere) {
    relayChannel1.stampCountdown = 3;
    relayChannel2.stampCountdown = 1;
    tick();
    EXPECT_EQ(relayChannel1.stampCountdown.load(), 2);
    EXPECT_EQ(relayChannel2.stampCountdown.load(), 0);
    tick(2);
    EXPECT_EQ(relayChannel1.stampCountdown.load(), 0);
    EXPECT_EQ(relayChannel2.stampCountdown.load(), 0);
    tick(5);
    EXPECT_EQ(relayChannel1.stampCountdown.load(), 0);
    EXPECT_EQ(relayChannel2.stampCountdown.load(), 0);
}

TEST_F(RateMeterTest, TheTickThreadDrivesTheClockAndStopsWhenAsked) {
    appOptions.RATE = 1;
    ASSERT_EQ(beginTimerPeriod(), 1);
    EXPECT_GE(rateMeter.timerPeriod, 1u);
    ASSERT_EQ(startRateTimer(), 1);
    EXPECT_NE(rateMeter.timerId.load(), 0);
    EXPECT_TRUE(rateMeter.tickThread.joinable());

    const auto giveUp = std::chrono::steady_clock::now() + 10s;
    while (statuses().size() < 2 && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(20ms);
    }
    const auto seen = statuses();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0], "00：00：01");
    EXPECT_EQ(seen[1], "00：00：02");
    EXPECT_FALSE(controls().empty());  // RATE 1: a figure every tick

    relayChannel1.rateByteCount = 77;
    stopRateTimer();
    EXPECT_EQ(rateMeter.timerId.load(), 0);
    EXPECT_FALSE(rateMeter.tickThread.joinable());
    EXPECT_EQ(relayChannel1.rateByteCount.load(), 0);

    // Started again, it keeps one tick thread and a fresh token.
    ASSERT_EQ(startRateTimer(), 1);
    ASSERT_EQ(startRateTimer(), 1);
    EXPECT_NE(rateMeter.timerId.load(), 0);
    stopRateTimer();
    EXPECT_EQ(rateMeter.timerId.load(), 0);
}

}  // namespace

// The one-second tick: the elapsed clock, the byte/s figures and the stamp countdowns, as the
// main window would see them through its window calls.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "relay/rate_meter.h"
#include "relay/relay_channel.h"
#include "settings/config.h"
#include "shell/window_calls.h"

namespace {

using Figures = std::vector<std::pair<int, std::string>>;

class RateMeterTest : public ::testing::Test {
protected:
    void SetUp() override {
        windowCalls.setStatusText = [this](const std::string& text) {
            std::lock_guard<std::mutex> hold(lock);
            statuses.push_back(text);
        };
        windowCalls.setControlText = [this](int id, const std::string& text) {
            std::lock_guard<std::mutex> hold(lock);
            figures.emplace_back(id, text);
        };
        rateMeter.elapsedHours = rateMeter.elapsedMinutes = rateMeter.elapsedSeconds = 0;
        rateMeter.rateTick = 0;
        rateMeter.timerToken = 4711;
        relayChannel1.rateByteCount = relayChannel2.rateByteCount = 0;
        relayChannel1.stampCountdown = relayChannel2.stampCountdown = 0;
    }
    void TearDown() override {
        stopRateTimer();
        windowCalls = WindowCalls{};
    }
    void tick(int times = 1) {
        for (int i = 0; i < times; ++i) onRateTimer(rateMeter.timerToken);
    }

    std::mutex lock;
    std::vector<std::string> statuses;
    Figures figures;
};

TEST_F(RateMeterTest, TheClockCarriesSecondsIntoMinutesAndHoursAndCountdownsStopAtZero) {
    relayChannel1.stampCountdown = 5;
    relayChannel2.stampCountdown = 1;
    const struct { int32_t h, m, s; const char* next; } cases[] = {
        {0, 0, 0, "00：00：01"},    {0, 0, 59, "00：01：00"},   {0, 59, 59, "01：00：00"},
        {99, 59, 59, "100：00：00"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.next);
        rateMeter.elapsedHours = c.h, rateMeter.elapsedMinutes = c.m, rateMeter.elapsedSeconds = c.s;
        statuses.clear();
        tick();
        EXPECT_EQ(statuses, std::vector<std::string>{c.next});
    }
    onRateTimer(rateMeter.timerToken + 1);  // not the running timer's: ignored
    EXPECT_EQ(statuses.size(), 1u);
    EXPECT_EQ(relayChannel1.stampCountdown.load(), 1);
    EXPECT_EQ(relayChannel2.stampCountdown.load(), 0);
}

TEST_F(RateMeterTest, EveryRateSecondsTheBytesBecomeAFigure) {
    const struct { int32_t rate, bytes1, bytes2; const char *text1, *text2; } cases[] = {
        {5, 12, 0, "   2 byte/s", "   0 byte/s"},
        {3, 8, 37038, "   2 byte/s", "  12346 byte/s"},
        {1, 7, 99, "   7 byte/s", "  99 byte/s"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        appOptions.RATE = c.rate;
        relayChannel1.rateByteCount = c.bytes1;
        relayChannel2.rateByteCount = c.bytes2;
        figures.clear();
        tick(c.rate - 1);
        EXPECT_TRUE(figures.empty()) << "updated before the period ended";
        tick();
        EXPECT_EQ(figures, (Figures{{1053, c.text1}, {1054, c.text2}}));
        EXPECT_EQ(relayChannel1.rateByteCount.load() + relayChannel2.rateByteCount.load(), 0);
    }
}

TEST_F(RateMeterTest, ARateBelowOneNeverUpdatesAndANewRateCountsFromTheNextTick) {
    relayChannel1.rateByteCount = 40;
    for (int32_t rate : {0, -1}) {
        appOptions.RATE = rate;
        tick(12);
    }
    EXPECT_TRUE(figures.empty());
    EXPECT_EQ(relayChannel1.rateByteCount.load(), 40);
    EXPECT_EQ(statuses.size(), 24u);  // the clock runs on

    rateMeter.rateTick = 0;
    appOptions.RATE = 10;
    tick(7);
    appOptions.RATE = 5;
    tick();  // 8 seconds into the period: over for the new rate
    EXPECT_EQ(figures, (Figures{{1053, "   8 byte/s"}, {1054, "   0 byte/s"}}));
    tick(4);
    EXPECT_EQ(figures.size(), 2u);
    tick();
    EXPECT_EQ(figures.size(), 4u);  // then every 5 seconds
}

TEST_F(RateMeterTest, TheTickThreadDrivesTheClockAndStopsWhenAsked) {
    appOptions.RATE = 1;
    ASSERT_EQ(beginTimerPeriod(), 1);
    ASSERT_EQ(startRateTimer(), 1);
    ASSERT_EQ(startRateTimer(), 1);  // restarted: still one tick thread
    const auto ticks = [this] {
        std::lock_guard<std::mutex> hold(lock);
        return statuses.size();
    };
    for (int i = 0; i < 1000 && ticks() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    relayChannel1.rateByteCount = 77;
    stopRateTimer();
    EXPECT_EQ(rateMeter.timerId.load(), 0);
    EXPECT_EQ(relayChannel1.rateByteCount.load(), 0);
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], "00：00：01");
    EXPECT_EQ(figures.size(), 2 * statuses.size());  // RATE 1: figures every tick
}

}  // namespace

// The one-second tick: the elapsed clock, the byte/s figures and the stamp countdowns, as the
// listener (the main window) is handed them.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "relay/relay.h"

namespace {

using Figures = std::vector<std::pair<int, std::string>>;

class RateMeterTest : public ::testing::Test {
protected:
    void SetUp() override {
        relay.rateMeter.showElapsed = [this](const std::string& text) { setText(0, text); };
        relay.rateMeter.showRate = [this](int channel, const std::string& text) { setText(channel, text); };
        relay.rateMeter.timerToken = 4711;
    }
    void setText(int id, const std::string& text) {  // 0: the status bar
        std::lock_guard<std::mutex> hold(lock);
        if (id) figures.emplace_back(id, text);
        else statuses.push_back(text);
    }
    void tick(int times = 1) { while (times-- > 0) relay.onRateTimer(relay.rateMeter.timerToken); }
    std::mutex lock;
    std::vector<std::string> statuses;
    Figures figures;
    Relay relay;  // its end stops the tick thread before the records above go
};

TEST_F(RateMeterTest, TicksCarryTheClockCountDownAndTurnBytesIntoFiguresEveryRateSeconds) {
    relay.appOptions.RATE = 0;
    relay.relayChannel1.stampCountdown = 5;
    relay.relayChannel2.stampCountdown = 1;
    const struct { int32_t h, m, s; const char* next; } clocks[] = {
        {0, 0, 59, "00：01：00"}, {0, 59, 59, "01：00：00"}, {99, 59, 59, "100：00：00"}};
    for (const auto& c : clocks) {
        relay.rateMeter.elapsedHours = c.h, relay.rateMeter.elapsedMinutes = c.m, relay.rateMeter.elapsedSeconds = c.s;
        statuses.clear();
        tick();
        EXPECT_EQ(statuses, std::vector<std::string>{c.next});
    }
    relay.onRateTimer(relay.rateMeter.timerToken + 1);  // not the running timer's: ignored
    EXPECT_EQ(statuses.size(), 1u);
    EXPECT_EQ(relay.relayChannel1.stampCountdown.load(), 2);
    EXPECT_EQ(relay.relayChannel2.stampCountdown.load(), 0);

    // RATE below 1 never updates.
    relay.relayChannel1.rateByteCount = 40;
    tick(12);
    relay.appOptions.RATE = -1;
    tick(12);
    EXPECT_TRUE(figures.empty());
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load(), 40);
    EXPECT_EQ(statuses.size(), 25u);  // the clock runs on

    // A new RATE takes effect at the next tick: 8 seconds into the period is over for 5.
    relay.rateMeter.rateTick = 0;
    relay.relayChannel2.rateByteCount = 37038;
    relay.appOptions.RATE = 10;
    tick(7);
    relay.appOptions.RATE = 5;
    tick();
    EXPECT_EQ(figures, (Figures{{1, "   8 byte/s"}, {2, "  7407 byte/s"}}));
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load() + relay.relayChannel2.rateByteCount.load(), 0);
    tick(4);
    EXPECT_EQ(figures.size(), 2u);
    tick();
    EXPECT_EQ(figures.size(), 4u);  // then every 5 seconds
}

TEST_F(RateMeterTest, TheTickThreadDrivesTheClockAndStopsWhenAsked) {
    ASSERT_EQ(relay.startRateTimer(), 1);
    ASSERT_EQ(relay.startRateTimer(), 1);  // restarted: still one tick thread
    const auto ticks = [this] {
        std::lock_guard<std::mutex> hold(lock);
        return statuses.size();
    };
    for (int i = 0; i < 1000 && ticks() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    relay.relayChannel1.rateByteCount = 77;
    relay.stopRateTimer();
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load(), 0);
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], "00：00：01");
}

}  // namespace

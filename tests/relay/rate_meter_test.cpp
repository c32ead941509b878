// The rate meter's tick: the clock carried on, the stamp countdowns, and the rates every RATE seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "relay/relay.h"
#include "tests/support/pty_cable.h"  // eventually

// By hand, then from the tick thread; the listener stands in for the main window.
TEST(RateMeter, TicksCarryTheClockCountDownAndTurnBytesIntoFiguresEveryRateSeconds) {
    Relay relay;
    std::vector<std::string> statuses;
    std::vector<std::pair<int, std::string>> figures;
    relay.rateMeter.showElapsed = [&](const std::string& text) { statuses.push_back(text); };
    relay.rateMeter.showRate = [&](int id, const std::string& text) { figures.emplace_back(id, text); };
    relay.rateMeter.timerToken = 4711;
    const auto tick = [&](int times) { while (times-- > 0) relay.onRateTimer(4711); };
    relay.appOptions.RATE = 0, relay.relayChannel1.stampCountdown = 30, relay.relayChannel2.stampCountdown = 1;
    relay.rateMeter.elapsedHours = 99, relay.rateMeter.elapsedMinutes = 59, relay.rateMeter.elapsedSeconds = 59;
    tick(1);
    EXPECT_EQ(statuses, std::vector<std::string>{"100：00：00"});  // each unit carries; hours past two digits
    relay.onRateTimer(4712);  // not the running timer's: ignored

    relay.relayChannel1.rateByteCount = 40;
    tick(12);
    relay.appOptions.RATE = -1;
    tick(12);
    EXPECT_TRUE(figures.empty() && relay.relayChannel1.rateByteCount.load() == 40) << "no rates with RATE 0 or less";
    EXPECT_EQ(statuses.size(), 25u) << "the clock runs on";
    EXPECT_TRUE(relay.relayChannel1.stampCountdown.load() == 5 && relay.relayChannel2.stampCountdown.load() == 0);

    // A new RATE takes effect at the next tick: 8 seconds into the period is over for 5.
    relay.rateMeter.rateTick = 0, relay.relayChannel2.rateByteCount = 37038, relay.appOptions.RATE = 10;
    tick(7);
    relay.appOptions.RATE = 5;
    tick(1);
    EXPECT_EQ(figures, (decltype(figures){{1, "   8 byte/s"}, {2, "  7407 byte/s"}}));
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load() + relay.relayChannel2.rateByteCount.load(), 0);
    tick(4);
    EXPECT_EQ(figures.size(), 2u);
    tick(1);
    EXPECT_EQ(figures.size(), 4u) << "then every 5 seconds";

    std::atomic<int> ticks = 0;
    relay.rateMeter.showElapsed = [&](const std::string&) { ++ticks; };
    EXPECT_TRUE(relay.startRateTimer() == 1 && relay.startRateTimer() == 1 && eventually([&] { return ticks >= 2; }));
    relay.relayChannel1.rateByteCount = 77;
    relay.stopRateTimer();
    EXPECT_EQ(relay.relayChannel1.rateByteCount.load(), 0);
}

// Start-up of the real program: ports that fail, ports that relay.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <atomic>
#include <iterator>
#include <thread>

#include "relay/relay_channel.h"
#include "shell/activity_arrows.h"
#include "tests/shell/qt/shell_harness.h"

namespace {

std::vector<QString> nonEmpty(const std::vector<QString>& texts) {
    std::vector<QString> out;
    std::copy_if(texts.begin(), texts.end(), std::back_inserter(out), [](const QString& s) { return !s.isEmpty(); });
    return out;
}

TEST(StartUp, BothDevicesMissingGiveTwoOwnerlessBoxesBeforeTheWindowAndNoWorkers) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}));
    recordBoxes();
    ArrowTicks ticks;
    EXPECT_EQ(runVorlinex([&](QWidget* window) {
        ticks.attach(window);
        EXPECT_EQ(controlText(window, 1055), "COM");
        EXPECT_EQ(controlText(window, 1056), "COM");
        EXPECT_FALSE(relayChannel1.worker.joinable() || relayChannel2.worker.joinable());
        EXPECT_FALSE(serialPort1.isOpen() || serialPort2.isOpen());
        // Nothing to show: after a tick that finds both strips blank the timer rests.
        auto* timer = window->findChild<QTimer*>(QStringLiteral("119"));
        ASSERT_NE(timer, nullptr);
        EXPECT_TRUE(waitUntil([&] { return !ticks.strip1.empty() && !timer->isActive(); }));
    }), 0);
    const auto& boxes = recordedBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    for (size_t i = 0; i < boxes.size(); ++i) {
        EXPECT_EQ(boxes[i].text, "Com" + std::to_string(i + 1) + " Open Error");
        EXPECT_EQ(boxes[i].icon, BoxIcon::Error);
        EXPECT_FALSE(boxes[i].mainWindowPublished || boxes[i].mainWindowVisible) << "ownerless, before the window";
    }
    EXPECT_TRUE(nonEmpty(ticks.strip1).empty() && nonEmpty(ticks.strip2).empty());
}

// Feeds the device end of a cable with a byte every 10 ms until finished; `sent` is then whole.
struct Feeder {
    explicit Feeder(PtyCable& device) : cable(device) {}
    PtyCable& cable;
    std::atomic<bool> stop{false};
    std::string sent;
    std::thread thread{[this] {
        for (int i = 0; !stop; ++i) {
            sent += static_cast<char>('A' + i % 26);
            cable.send(sent.substr(sent.size() - 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }};
    // Waits for `until` while collecting what `to` receives, then checks every byte arrived.
    void relayTo(PtyCable& to, const std::function<bool()>& until) {
        std::string got;
        EXPECT_TRUE(waitUntil([&] { got += to.receiveUntilQuiet(0); return until(); }, 30000));
        stop = true;
        thread.join();
        got += to.receive(sent.size() - std::min(sent.size(), got.size()));
        EXPECT_EQ(got, sent) << "every byte relayed once, in order";
    }
};

TEST(StartUp, TwoCablesRelayBothWaysAndTheActiveStripAndFigureMove) {
    ScratchDir dir;
    PtyCable first, second;
    dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath()}, /*rate=*/1));
    recordBoxes();
    ArrowTicks ticks;
    const QRegularExpression figure(QStringLiteral("^  +([1-9]\\d*) byte/s$"));
    EXPECT_EQ(runVorlinex([&](QWidget* window) {
        EXPECT_EQ(controlText(window, 1055), "COM1");
        EXPECT_EQ(controlText(window, 1056), "COM2");
        ASSERT_TRUE(relayChannel1.worker.joinable() && relayChannel2.worker.joinable());
        ticks.attach(window);
        Feeder(first).relayTo(second, [&] {
            return nonEmpty(ticks.strip1).size() >= 5 && figure.match(controlText(window, 1053)).hasMatch();
        });
        const auto shown = nonEmpty(ticks.strip1);
        ASSERT_GE(shown.size(), 5u);
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(shown[i].toStdString(), arrowFrames(1)[i % 4]) << i;
        EXPECT_TRUE(nonEmpty(ticks.strip2).empty());

        // Quiet until the strips are blank and timer 119 rests: the traffic back must wake it.
        auto* timer = window->findChild<QTimer*>(QStringLiteral("119"));
        ASSERT_NE(timer, nullptr);
        EXPECT_TRUE(waitUntil([&] { return !timer->isActive(); }));
        EXPECT_TRUE(ticks.strip1.back().isEmpty() && ticks.strip2.back().isEmpty());

        // Steady traffic back: a single burst may be cleared by a rate update before a tick.
        const size_t before = ticks.strip2.size();
        const auto firstShown = [&] {
            auto it = std::find_if(ticks.strip2.begin() + static_cast<long>(before), ticks.strip2.end(),
                                   [](const QString& s) { return !s.isEmpty(); });
            return it == ticks.strip2.end() ? QString() : *it;
        };
        Feeder(second).relayTo(first, [&] { return !firstShown().isEmpty(); });
        EXPECT_EQ(firstShown().toStdString(), arrowFrames(2)[0]);
    }), 0);
    EXPECT_TRUE(recordedBoxes().empty());
}

}  // namespace

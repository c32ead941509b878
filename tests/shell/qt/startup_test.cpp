// Start-up of the real program: ports that fail, ports that relay; the main window's menu
// marks, SAVE, clock and arrow strips.
#include <gtest/gtest.h>

#include <QAction>
#include <QRegularExpression>
#include <QTimer>
#include <chrono>
#include <functional>
#include <iterator>
#include <thread>

#include "relay/relay_channel.h"
#include "settings/config.h"
#include "shell/activity_arrows.h"
#include "tests/shell/qt/shell_harness.h"

namespace {

std::vector<QString> nonEmpty(const std::vector<QString>& texts) {
    std::vector<QString> out;
    std::copy_if(texts.begin(), texts.end(), std::back_inserter(out), [](const QString& s) { return !s.isEmpty(); });
    return out;
}

// Texts of both arrow strips after every tick of window timer 119.
struct ArrowTicks {
    std::vector<QString> strip1, strip2;
    QTimer* timer = nullptr;
    void attach(QWidget* window) {
        timer = window->findChild<QTimer*>(QStringLiteral("119"));
        ASSERT_NE(timer, nullptr);
        QObject::connect(timer, &QTimer::timeout, window, [this, window] {
            strip1.push_back(controlText(window, 1049));
            strip2.push_back(controlText(window, 1050));
        });
    }
};

// Both devices missing: two ownerless boxes before the window, no workers, still arrows; the
// display-mode check marks follow the INI file and the menu, SAVE keeps them, the clock runs.
class NoDevices : public ::testing::TestWithParam<int> {};

TEST_P(NoDevices, BoxesBeforeTheWindowNoWorkersAndTheMenuSaveAndClockWork) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}, 5, GetParam()));
    recordBoxes();
    ArrowTicks ticks;
    EXPECT_EQ(runVorlinex([&](QWidget* window) {
        ticks.attach(window);
        const auto& boxes = recordedBoxes();
        ASSERT_EQ(boxes.size(), 2u);
        for (size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].text, "Com" + std::to_string(i + 1) + " Open Error");
            EXPECT_EQ(boxes[i].icon, BoxIcon::Error);
            EXPECT_FALSE(boxes[i].mainWindowPublished || boxes[i].mainWindowVisible) << "ownerless, before the window";
        }
        recordedBoxes().clear();
        EXPECT_EQ(controlText(window, 1055), "COM");
        EXPECT_EQ(controlText(window, 1056), "COM");
        Vorlinex& v = vorlinexOf(window);
        Relay& relay = v.app.relay;
        EXPECT_FALSE(relay.relayChannel1.worker.joinable() || relay.relayChannel2.worker.joinable());
        EXPECT_FALSE(relay.serialPort1.isOpen() || relay.serialPort2.isOpen());

        QAction* binary = v.mainMenuItem(40008);
        QAction* ascii = v.mainMenuItem(40009);
        ASSERT_TRUE(binary && ascii);
        const auto marks = [&](bool isBinary) {
            EXPECT_EQ(binary->isChecked(), isBinary);
            EXPECT_EQ(ascii->isChecked(), !isBinary);
            EXPECT_EQ(relay.appOptions.DMODE.load() != 0, isBinary);
        };
        marks(GetParam() != 0);
        for (QAction* item : {ascii, ascii, binary, binary}) {  // twice: the mark must stay
            item->trigger();
            marks(item == binary);
        }
        v.mainMenuItem(700)->trigger();
        auto* clock = window->findChild<QLabel*>("5001.1");
        ASSERT_NE(clock, nullptr);
        EXPECT_TRUE(waitUntil([&] { return clock->text() == QString::fromUtf8("00：00：02"); }))
            << clock->text().toStdString();
        // Nothing to show: after a tick that finds both strips blank the timer rests.
        EXPECT_TRUE(waitUntil([&] { return !ticks.strip1.empty() && !ticks.timer->isActive(); }));
    }), 0);
    const std::string ini = dir.read("Vorlinex.ini");
    EXPECT_NE(ini.find("DMODE=1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[DEVICES]"), std::string::npos) << "SAVE keeps the devices";
    ASSERT_EQ(recordedBoxes().size(), 1u);
    EXPECT_EQ(recordedBoxes()[0].text, "Configuration Data Saved");
    EXPECT_TRUE(nonEmpty(ticks.strip1).empty() && nonEmpty(ticks.strip2).empty());
}

INSTANTIATE_TEST_SUITE_P(FromTheIniFile, NoDevices, ::testing::Values(0, 2),
                         [](const auto& c) { return "DMODE" + std::to_string(c.param); });

// Steady traffic, a byte every 10 ms, until `until` holds; every byte must arrive once, in order.
void relayUntil(PtyCable& from, PtyCable& to, const std::function<bool()>& until) {
    std::string sent, got;
    EXPECT_TRUE(waitUntil([&] {
        sent += static_cast<char>('A' + sent.size() % 26);
        from.send(sent.substr(sent.size() - 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        got += to.receiveUntilQuiet(0);
        return until();
    }, 30000));
    got += to.receive(sent.size() - std::min(sent.size(), got.size()));
    EXPECT_EQ(got, sent) << "every byte relayed once, in order";
}

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
        const Relay& relay = vorlinexOf(window).app.relay;
        ASSERT_TRUE(relay.relayChannel1.worker.joinable() && relay.relayChannel2.worker.joinable());
        ticks.attach(window);
        relayUntil(first, second, [&] {
            return nonEmpty(ticks.strip1).size() >= 5 && figure.match(controlText(window, 1053)).hasMatch();
        });
        const auto shown = nonEmpty(ticks.strip1);
        ASSERT_GE(shown.size(), 5u);
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(shown[i].toStdString(), arrowFrames(1)[i % 4]) << i;
        EXPECT_TRUE(nonEmpty(ticks.strip2).empty());
        // Quiet until the strips are blank and timer 119 rests: the traffic back must wake it.
        EXPECT_TRUE(waitUntil([&] { return !ticks.timer->isActive(); }));
        EXPECT_TRUE(ticks.strip1.back().isEmpty() && ticks.strip2.back().isEmpty());
        // Steady traffic back: a single burst may be cleared by a rate update before a tick.
        relayUntil(second, first, [&] { return !nonEmpty(ticks.strip2).empty(); });
        EXPECT_EQ(nonEmpty(ticks.strip2)[0].toStdString(), arrowFrames(2)[0]);
    }), 0);
    EXPECT_TRUE(recordedBoxes().empty());
}

}  // namespace

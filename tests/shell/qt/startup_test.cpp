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
        EXPECT_TRUE(waitUntil([&] { return ticks.strip1.size() >= 4; }));
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

// Port 2's adapter is plugged in after the start, port 1's is pulled out and put back: each time
// the label, the status bar's first part and the relay follow without any user action.
TEST(StartUp, AMissingAdapterOpensWhenPluggedInAndAnUnpluggedOneWhenItIsBack) {
    ScratchDir dir;
    PluggableCable adapter1(dir.file("ttyUSB0")), adapter2(dir.file("ttyUSB1"), false);
    dir.write("Vorlinex.ini", vorlinexIni({adapter1.path(), adapter2.path()}));
    recordBoxes();
    const auto status = [](QWidget* window) { return window->findChild<QLabel*>(QStringLiteral("5001.0"))->text().toStdString(); };
    const auto relaysBothWays = [&](uint32_t seed) {
        const std::string a = randomBytes(2000, seed), b = randomBytes(3000, seed + 1);
        adapter1.device().send(a), adapter2.device().send(b);
        EXPECT_TRUE(adapter2.device().receive(a.size(), 10000) == a && adapter1.device().receive(b.size(), 10000) == b);
    };
    EXPECT_EQ(runVorlinex([&](QWidget* window) {
        EXPECT_EQ(controlText(window, 1056), "COM");
        const std::string waiting2 = "COM2: " + adapter2.path() + " unplugged, waiting";
        adapter1.device().send(std::string(1234, 'x'));  // read, shown, not deliverable
        EXPECT_TRUE(waitUntil([&] { return status(window) == waiting2 + "; 1,234 bytes not delivered to COM2"; })) << status(window);
        adapter2.plug();
        EXPECT_TRUE(waitUntil([&] { return controlText(window, 1056) == "COM2" && status(window).empty(); })) << status(window);
        relaysBothWays(5);

        adapter1.unplug();
        EXPECT_TRUE(waitUntil([&] { return controlText(window, 1055) == "COM" && status(window) == "COM1: " + adapter1.path() + " unplugged, waiting"; }))
            << status(window);
        adapter1.plug();
        EXPECT_TRUE(waitUntil([&] { return controlText(window, 1055) == "COM1" && status(window).empty(); })) << status(window);
        relaysBothWays(7);
    }), 0);
    ASSERT_EQ(recordedBoxes().size(), 1u);
    EXPECT_EQ(recordedBoxes()[0].text, "Com2 Open Error");
}

}  // namespace

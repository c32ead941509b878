// Start-up of the real program: ports that fail, ports that relay, the display-mode check mark.
#include <gtest/gtest.h>

#include <QAction>
#include <QRegularExpression>
#include <atomic>
#include <thread>

#include "relay/relay_channel.h"
#include "settings/config.h"
#include "shell/activity_arrows.h"
#include "tests/shell/qt/shell_harness.h"

namespace {

QString frame(int channel, int index) {
    const auto text = arrowFrames(channel)[static_cast<size_t>(index)];
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

TEST(StartUp, BothDevicesMissingGiveTwoOwnerlessBoxesBeforeTheWindowAndNoWorkers) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}));
    recordBoxes();
    ArrowTicks ticks;
    const int code = runVorlinex([&](QWidget* window) {
        ticks.attach(window);
        EXPECT_EQ(controlText(window, 1055), "COM");
        EXPECT_EQ(controlText(window, 1056), "COM");
        EXPECT_FALSE(relayChannel1.worker.joinable());
        EXPECT_FALSE(relayChannel2.worker.joinable());
        EXPECT_FALSE(serialPort1.isOpen());
        EXPECT_FALSE(serialPort2.isOpen());
        EXPECT_TRUE(waitUntil([&] { return ticks.strip1.size() >= 4; }));
    });
    EXPECT_EQ(code, 0);

    const auto& boxes = recordedBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Com1 Open Error");
    EXPECT_EQ(boxes[1].text, "Com2 Open Error");
    for (const RecordedBox& box : boxes) {
        EXPECT_EQ(box.icon, BoxIcon::Error);
        EXPECT_FALSE(box.mainWindowPublished) << "the box must have no owner";
        EXPECT_FALSE(box.mainWindowVisible) << "the box must come before the main window";
    }
    for (const QString& text : ticks.strip1) EXPECT_TRUE(text.isEmpty());
    for (const QString& text : ticks.strip2) EXPECT_TRUE(text.isEmpty());
    EXPECT_EQ(arrowFrameCounter(1), 0);
    EXPECT_EQ(arrowFrameCounter(2), 0);
}

TEST(StartUp, OnlyTheFailedPortIsReportedAndTheOtherRelaysNothingWithoutItsPartner) {
    ScratchDir dir;
    PtyCable second;
    dir.write("Vorlinex.ini", vorlinexIni({"", second.slavePath()}));
    recordBoxes();
    runVorlinex([&](QWidget* window) {
        EXPECT_EQ(controlText(window, 1055), "COM");
        EXPECT_EQ(controlText(window, 1056), "COM2");
        EXPECT_FALSE(relayChannel1.worker.joinable());
        EXPECT_TRUE(relayChannel2.worker.joinable());
    });
    ASSERT_EQ(recordedBoxes().size(), 1u);
    EXPECT_EQ(recordedBoxes()[0].text, "Com1 Open Error");
}

// Feeds the device end of a cable with numbered bytes until told to stop.
struct Feeder {
    PtyCable& cable;
    std::atomic<bool> stop{false};
    std::string sent;
    std::thread thread;

    explicit Feeder(PtyCable& c) : cable(c) {
        thread = std::thread([this] {
            for (int i = 0; !stop.load(); ++i) {
                const std::string byte(1, static_cast<char>('A' + i % 26));
                cable.send(byte);
                sent += byte;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    void finish() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    ~Feeder() { finish(); }
};

TEST(StartUp, TwoCablesRelayBothWaysAndTheActiveStripAndFigureMove) {
    ScratchDir dir;
    PtyCable first;
    PtyCable second;
    dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath()}, /*rate=*/1));
    recordBoxes();
    ArrowTicks ticks;
    const QRegularExpression figure(QStringLiteral("^  +(\\d+) byte/s$"));
    const int code = runVorlinex([&](QWidget* window) {
        EXPECT_EQ(controlText(window, 1055), "COM1");
        EXPECT_EQ(controlText(window, 1056), "COM2");
        ASSERT_TRUE(relayChannel1.worker.joinable());
        ASSERT_TRUE(relayChannel2.worker.joinable());
        ticks.attach(window);

        // Port 1 to port 2, continuously, until five frames were drawn and a figure shown.
        std::string received;
        {
            Feeder feeder(first);
            EXPECT_TRUE(waitUntil(
                [&] {
                    received += second.receiveUntilQuiet(0);
                    const auto match = figure.match(controlText(window, 1053));
                    return ticks.nonEmpty1().size() >= 5 && match.hasMatch() &&
                           match.captured(1).toInt() > 0;
                },
                30000))
                << "strip: " << ticks.nonEmpty1().size()
                << " frames, figure: " << controlText(window, 1053).toStdString();
            feeder.finish();
            received += second.receive(feeder.sent.size() - received.size());
            EXPECT_EQ(received, feeder.sent) << "channel 1 must relay every byte in order";
        }
        const auto shown = ticks.nonEmpty1();
        ASSERT_GE(shown.size(), 5u);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(shown[static_cast<size_t>(i)], frame(1, i % 4));
        for (const QString& text : ticks.strip2) EXPECT_TRUE(text.isEmpty());

        // Port 2 to port 1.
        const std::string reply = randomBytes(3000, 7);
        second.send(reply);
        EXPECT_EQ(first.receive(reply.size(), 10000), reply);
        // A single burst may be cleared by the next rate update before a tick sees it; steady
        // traffic makes the "<=" strip start for certain, with its own first frame.
        const size_t before = ticks.strip2.size();
        Feeder feeder(second);
        std::string back;
        EXPECT_TRUE(waitUntil([&] {
            back += first.receiveUntilQuiet(0);
            for (size_t i = before; i < ticks.strip2.size(); ++i)
                if (!ticks.strip2[i].isEmpty()) return true;
            return false;
        }));
        feeder.finish();
        back += first.receive(feeder.sent.size() - back.size());
        EXPECT_EQ(back, feeder.sent);
        QString firstShown;
        for (size_t i = before; i < ticks.strip2.size() && firstShown.isEmpty(); ++i)
            firstShown = ticks.strip2[i];
        EXPECT_EQ(firstShown, frame(2, 0));
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(recordedBoxes().empty());
}

struct DisplayModeCase {
    int dmode;
    bool binaryChecked;
};

void PrintTo(const DisplayModeCase& c, std::ostream* os) { *os << "DMODE=" << c.dmode; }

class StartUpDisplayMode : public ::testing::TestWithParam<DisplayModeCase> {};

TEST_P(StartUpDisplayMode, PutsTheCheckMarkOnTheMatchingItemOnly) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}, 5, GetParam().dmode));
    recordBoxes();
    runVorlinex([&](QWidget*) {
        ASSERT_NE(mainMenuItem(40008), nullptr);
        ASSERT_NE(mainMenuItem(40009), nullptr);
        EXPECT_EQ(mainMenuItem(40008)->isChecked(), GetParam().binaryChecked);
        EXPECT_EQ(mainMenuItem(40009)->isChecked(), !GetParam().binaryChecked);
        EXPECT_EQ(appOptions.DMODE.load(), GetParam().dmode);
    });
}

INSTANTIATE_TEST_SUITE_P(FromTheIniFile, StartUpDisplayMode,
                         ::testing::Values(DisplayModeCase{0, false}, DisplayModeCase{1, true},
                                           DisplayModeCase{2, true}, DisplayModeCase{-3, true}),
                         [](const auto& info) {
                             const int d = info.param.dmode;
                             return (d < 0 ? "DMODEminus" : "DMODE") + std::to_string(d < 0 ? -d : d);
                         });

TEST(DisplayModeMenu, MovesTheCheckMarkAndSetsTheMode) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}));
    recordBoxes();
    runVorlinex([&](QWidget*) {
        QAction* binary = mainMenuItem(40008);
        QAction* ascii = mainMenuItem(40009);
        ASSERT_TRUE(binary && ascii);
        binary->trigger();
        EXPECT_TRUE(binary->isChecked());
        EXPECT_FALSE(ascii->isChecked());
        EXPECT_EQ(appOptions.DMODE.load(), 1);
        // Choosing the checked item again must not take its check mark away.
        binary->trigger();
        EXPECT_TRUE(binary->isChecked());
        EXPECT_FALSE(ascii->isChecked());
        EXPECT_EQ(appOptions.DMODE.load(), 1);
        ascii->trigger();
        EXPECT_FALSE(binary->isChecked());
        EXPECT_TRUE(ascii->isChecked());
        EXPECT_EQ(appOptions.DMODE.load(), 0);
        ascii->trigger();
        EXPECT_TRUE(ascii->isChecked());
    });
}

}  // namespace

// The main window: the display-mode check marks, SAVE and the elapsed clock.
#include <gtest/gtest.h>

#include <QAction>

#include "settings/config.h"
#include "tests/shell/qt/shell_harness.h"

namespace {

class MainWindow : public ::testing::TestWithParam<int> {};

TEST_P(MainWindow, CheckMarkFollowsTheIniAndTheMenuSaveKeepsItAndTheClockRuns) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}, 5, GetParam()));
    recordBoxes();
    runVorlinex([&](QWidget* window) {
        Vorlinex& v = vorlinexOf(window);
        QAction* binary = v.mainMenuItem(40008);
        QAction* ascii = v.mainMenuItem(40009);
        ASSERT_TRUE(binary && ascii);
        const auto marks = [&](bool isBinary) {
            EXPECT_EQ(binary->isChecked(), isBinary);
            EXPECT_EQ(ascii->isChecked(), !isBinary);
            EXPECT_EQ(v.app.relay.appOptions.DMODE.load() != 0, isBinary);
        };
        marks(GetParam() != 0);
        for (QAction* item : {ascii, ascii, binary, binary}) {  // twice: the mark must stay
            item->trigger();
            marks(item == binary);
        }
        recordedBoxes().clear();  // the start-up's port boxes
        v.mainMenuItem(700)->trigger();
        auto* clock = window->findChild<QLabel*>("5001.1");
        ASSERT_NE(clock, nullptr);
        EXPECT_TRUE(waitUntil([&] { return clock->text() == QString::fromUtf8("00：00：02"); }))
            << clock->text().toStdString();
    });
    const std::string ini = dir.read("Vorlinex.ini");
    EXPECT_NE(ini.find("DMODE=1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[DEVICES]"), std::string::npos) << "SAVE keeps the devices";
    ASSERT_EQ(recordedBoxes().size(), 1u);
    EXPECT_EQ(recordedBoxes()[0].text, "Configuration Data Saved");
}

INSTANTIATE_TEST_SUITE_P(FromTheIniFile, MainWindow, ::testing::Values(0, 2),
                         [](const auto& c) { return "DMODE" + std::to_string(c.param); });

}  // namespace

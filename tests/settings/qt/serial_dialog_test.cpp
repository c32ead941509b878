// IDD_DIALOG_SERIAL on real widgets, with the relay running on pseudo-terminals.
#include "settings/qt/serial_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <chrono>
#include <memory>
#include <thread>

#include "display/qt/display_window.h"
#include "relay/serial_termios_linux.h"
#include "shell/qt/main_window.h"
#include "tests/settings/qt/dialog_test_support.h"
#include "tests/settings/running_relay.h"

namespace {

QString windowTitleOf(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String(name)) return w->windowTitle();
    return QStringLiteral("<missing>");
}

QString labelText(int id) {
    auto* label = publishedMainWindow()->findChild<QLabel*>(QString::number(id));
    return label != nullptr ? label->text() : QStringLiteral("<missing>");
}

// The program's main window and both display windows open as at start-up.
class SerialDialogOnARunningRelay : public RunningRelay {
protected:
    void start(int baud1) {
        startRelay(baud1);
        window.reset(createMainWindow());
        publishMainWindow(window.get());
        openDisplayWindow(1);
        openDisplayWindow(2);
    }
    void TearDown() override {
        RunningRelay::TearDown();
        publishMainWindow(nullptr);
    }
    std::unique_ptr<QWidget> window;
};

TEST_F(SerialDialogOnARunningRelay, TheSamePortTwiceIsRefusedThenAnotherChoiceGoesThrough) {
    start(9600);
    const int fd1 = serialPort1.handle.load(), fd2 = serialPort2.handle.load();
    SerialDialog d(window.get());
    d.show();
    d.combo(2001)->setCurrentIndex(1);  // COM2, as port 2
    d.combo(2002)->setCurrentIndex(18);
    click(&d, 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "同じCom_Noは設定できません。");
    EXPECT_EQ(boxes[0].icon, BoxIcon::Error);
    EXPECT_TRUE(d.isVisible());
    // Nothing was touched: the same open devices, the same settings, the relay as before.
    EXPECT_EQ(serialPort1.handle.load(), fd1);
    EXPECT_EQ(serialPort2.handle.load(), fd2);
    EXPECT_EQ(serialPort1.settings.baudRate, 9600);
    expectBothDirectionsRelay(cable1, cable2, 1);

    d.combo(2001)->setCurrentIndex(2);  // COM3
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(serialPort1.settings.comIndex, 2);
    EXPECT_EQ(serialPort1.settings.baudRate, 115200);
    EXPECT_EQ(currentBaudRate(serialPort1.handle.load()), 115200u);
    EXPECT_EQ(labelText(1055), QStringLiteral("COM3"));
    EXPECT_EQ(windowTitleOf("IDD_DIALOG_DISP1"), QStringLiteral("Com3 -> Com2"));
    EXPECT_EQ(windowTitleOf("IDD_DIALOG_DISP2"), QStringLiteral("Com2 -> Com3"));
    expectBothDirectionsRelay(cable3, cable2, 2);
}

TEST_F(SerialDialogOnARunningRelay, APortOnAMissingDeviceReadsComAndTheOtherDirectionWorksOn) {
    start(9600);
    SerialDialog d(window.get());
    d.show();
    d.combo(2001)->setCurrentIndex(4);  // COM5: nothing there
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Com5 Open Error");
    EXPECT_EQ(labelText(1055), QStringLiteral("COM"));
    EXPECT_EQ(labelText(1056), QStringLiteral("COM2"));
    EXPECT_EQ(windowTitleOf("IDD_DIALOG_DISP1"), QStringLiteral("COM"));
    EXPECT_EQ(windowTitleOf("IDD_DIALOG_DISP2"), QStringLiteral("Com2 -> Com5"));
    EXPECT_FALSE(serialPort1.isOpen());
    // Channel 2 still takes and counts what port 2 receives.
    ASSERT_TRUE(serialPort2.isOpen());
    relayChannel2.rateByteCount.exchange(0);
    cable2.send(randomBytes(100, 5));
    int32_t counted = 0;
    for (int i = 0; i < 500 && counted < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        counted += relayChannel2.rateByteCount.exchange(0);
    }
    EXPECT_EQ(counted, 100);
}

TEST_F(SerialDialogOnARunningRelay, ABaudRateOffTheListShowsNoSelectionAndOkKeepsIt) {
    start(1234);
    SerialDialog d(window.get());
    d.show();
    EXPECT_EQ(d.combo(2001)->currentIndex(), 0);
    EXPECT_EQ(d.combo(2002)->currentIndex(), -1);
    EXPECT_EQ(d.combo(2008)->currentIndex(), 14);  // 9600
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(boxes.empty());
    ASSERT_TRUE(serialPort1.isOpen());
    EXPECT_EQ(serialPort1.settings.baudRate, 1234);
    EXPECT_EQ(currentBaudRate(serialPort1.handle.load()), 1234u);
    expectBothDirectionsRelay(cable1, cable2, 6);
}

}  // namespace

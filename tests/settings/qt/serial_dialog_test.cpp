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

// Made before the running relay, which runs the application object's relay.
struct WithVorlinex {
    Vorlinex v;
};

// The program's main window and both display windows open as at start-up.
class SerialDialogOnARunningRelay : protected WithVorlinex, public RunningRelay {
protected:
    SerialDialogOnARunningRelay() : RunningRelay(v.app.relay) { v.boxes = record; }
    void start(int baud1) {
        startRelay(baud1);
        window.reset(v.createMainWindow());
        v.publishMainWindow(window.get());
        v.displayWindows.openDisplayWindow(1);
        v.displayWindows.openDisplayWindow(2);
    }
    void TearDown() override {
        RunningRelay::TearDown();
        v.publishMainWindow(nullptr);
    }
    // Port 1's label (1055), port 2's label (1056) and both display windows' titles.
    QStringList shown() const {
        QStringList texts;
        for (int id : {1055, 1056}) texts << window->findChild<QLabel*>(QString::number(id))->text();
        for (const char* name : {"IDD_DIALOG_DISP1", "IDD_DIALOG_DISP2"})
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->objectName() == QLatin1String(name)) texts << w->windowTitle();
        return texts;
    }
    std::unique_ptr<QWidget> window;
};

// Port 1 starts at a baud rate off the list: the dialog selects none, and OK keeps it.
TEST_F(SerialDialogOnARunningRelay, SamePortRefusedThenOkReopensAndAMissingDeviceReadsCom) {
    start(1234);
    const int fd1 = relay.serialPort1.handle.load(), fd2 = relay.serialPort2.handle.load();
    SerialDialog d(v.settingsHost, window.get());
    d.show();
    EXPECT_EQ(d.combo(2002)->currentIndex(), -1);
    EXPECT_EQ(d.combo(2008)->currentIndex(), 14);  // port 2's 9600
    d.combo(2001)->setCurrentIndex(1);             // COM2, as port 2
    click(&d, 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].text == "同じCom_Noは設定できません。" && boxes[0].icon == BoxIcon::Error);
    EXPECT_TRUE(d.isVisible());
    // Nothing was touched: the same open devices, the same settings, the relay as before.
    EXPECT_TRUE(relay.serialPort1.handle == fd1 && relay.serialPort2.handle == fd2 && relay.serialPort1.settings.comIndex == 0);
    expectBothDirectionsRelay(cable1, cable2, 1);

    d.combo(2001)->setCurrentIndex(2);  // COM3
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(relay.serialPort1.settings.comIndex == 2 && relay.serialPort1.settings.baudRate == 1234);
    EXPECT_EQ(currentBaudRate(relay.serialPort1.handle.load()), 1234u);
    EXPECT_EQ(shown(), (QStringList{"COM3", "COM2", "Com3 -> Com2", "Com2 -> Com3"}));
    expectBothDirectionsRelay(cable3, cable2, 2);

    SerialDialog again(v.settingsHost, window.get());
    again.show();
    again.combo(2001)->setCurrentIndex(4);  // COM5: nothing there
    click(&again, 1);
    EXPECT_FALSE(again.isVisible());
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "Com5 Open Error");
    EXPECT_EQ(shown(), (QStringList{"COM", "COM2", "COM", "Com2 -> Com5"}));
    // Channel 2 still takes and counts what port 2 receives.
    ASSERT_TRUE(!relay.serialPort1.isOpen() && relay.serialPort2.isOpen());
    relay.relayChannel2.rateByteCount.exchange(0);
    cable2.send(randomBytes(100, 5));
    int32_t counted = 0;
    for (int i = 0; i < 500 && counted < 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        counted += relay.relayChannel2.rateByteCount.exchange(0);
    EXPECT_EQ(counted, 100);
}

}  // namespace

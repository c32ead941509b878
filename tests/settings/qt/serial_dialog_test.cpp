// IDD_DIALOG_SERIAL on real widgets, with the relay running on pseudo-terminals.
#include "settings/qt/serial_dialog.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "settings/qt/devices_dialog.h"
#include "settings/qt/serial_device_list.h"

#include "display/qt/display_window.h"
#include "relay/serial_termios_linux.h"
#include "shell/qt/main_window.h"
#include "tests/settings/qt/dialog_test_support.h"
#include "tests/settings/running_relay.h"

namespace {

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
    const int fd1 = serialPort1.handle.load(), fd2 = serialPort2.handle.load();
    SerialDialog d(window.get());
    d.show();
    EXPECT_EQ(d.combo(2002)->currentIndex(), -1);
    EXPECT_EQ(d.combo(2008)->currentIndex(), 14);  // port 2's 9600
    d.combo(2001)->setCurrentIndex(1);             // COM2, as port 2
    click(&d, 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].text == "同じCom_Noは設定できません。" && boxes[0].icon == BoxIcon::Error);
    EXPECT_TRUE(d.isVisible());
    // Nothing was touched: the same open devices, the same settings, the relay as before.
    EXPECT_TRUE(serialPort1.handle == fd1 && serialPort2.handle == fd2 && serialPort1.settings.comIndex == 0);
    expectBothDirectionsRelay(cable1, cable2, 1);

    d.combo(2001)->setCurrentIndex(2);  // COM3
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(serialPort1.settings.comIndex == 2 && serialPort1.settings.baudRate == 1234);
    EXPECT_EQ(currentBaudRate(serialPort1.handle.load()), 1234u);
    EXPECT_EQ(shown(), (QStringList{"COM3", "COM2", "Com3 -> Com2", "Com2 -> Com3"}));
    expectBothDirectionsRelay(cable3, cable2, 2);

    SerialDialog again(window.get());
    again.show();
    again.combo(2001)->setCurrentIndex(4);  // COM5: nothing there
    click(&again, 1);
    EXPECT_FALSE(again.isVisible());
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "Com5 Open Error");
    EXPECT_EQ(shown(), (QStringList{"COM", "COM2", "COM", "Com2 -> Com5"}));
    // Channel 2 still takes and counts what port 2 receives.
    ASSERT_TRUE(!serialPort1.isOpen() && serialPort2.isOpen());
    relayChannel2.rateByteCount.exchange(0);
    cable2.send(randomBytes(100, 5));
    int32_t counted = 0;
    for (int i = 0; i < 500 && counted < 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        counted += relayChannel2.rateByteCount.exchange(0);
    EXPECT_EQ(counted, 100);
}

// The devices window over a running relay: COM1 moves to a pty behind a symbolic link of the
// user's own, chosen from the detected list.
TEST_F(SerialDialogOnARunningRelay, DevicesOkWritesTheSectionInPlaceAndReopensOnTheNewDevice) {
    start(9600);
    const std::string original = "; kept as it is\n[OTHER]\nx = 1\n" + dir.read("Vorlinex.ini");
    dir.write("Vorlinex.ini", original);
    const std::string link = dir.file("adapter-link");
    ASSERT_EQ(::symlink(cable3.slavePath().c_str(), link.c_str()), 0);
    setSerialDeviceLister([&] {
        return std::vector<SerialDeviceInfo>{{link, cable3.slavePath(), "FT232R USB UART", "FTDI", "A12345", false},
                                             {"/dev/serial/by-id/usb-busy", "/dev/ttyUSB9", "", "", "", true}};
    });
    DevicesDialog d(window.get());
    setSerialDeviceLister(nullptr);
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Vorlinex：  Devices"));
    QComboBox* com1 = d.deviceCombo(1);
    ASSERT_EQ(com1->count(), 2);
    EXPECT_EQ(com1->itemText(0), QString::fromStdString(link + "  (FT232R USB UART, FTDI, S/N A12345)"));
    EXPECT_EQ(com1->itemText(1), QStringLiteral("/dev/serial/by-id/usb-busy  in use by another program"));
    EXPECT_EQ(com1->currentText(), QString::fromStdString(cable1.slavePath()));
    com1->setCurrentIndex(0);
    EXPECT_EQ(com1->currentText(), QString::fromStdString(link));  // the path alone, not the description

    d.show();
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(boxes.empty());
    std::string expected = original;
    expected.replace(expected.find("COM1=" + cable1.slavePath()), 5 + cable1.slavePath().size(), "COM1=" + link);
    EXPECT_EQ(dir.read("Vorlinex.ini"), expected);
    EXPECT_EQ(comDevicePaths[0], link);
    EXPECT_EQ(shown(), (QStringList{"COM1", "COM2", "Com1 -> Com2", "Com2 -> Com1"}));
    expectBothDirectionsRelay(cable3, cable2, 3);

    // The serial settings dialog tells what each COM name now opens.
    SerialDialog serial(window.get());
    EXPECT_EQ(serial.combo(2001)->toolTip(), QString::fromStdString(link));
    EXPECT_EQ(serial.combo(2007)->toolTip(), QString::fromStdString(cable2.slavePath()));
    serial.combo(2007)->setCurrentIndex(2);
    EXPECT_EQ(serial.combo(2007)->toolTip(), QString::fromStdString(cable3.slavePath()));
}

// A file that cannot be written (as on a full disk) is named with the reason, and nothing
// changes: not the file, not the mapping, not the open ports. Cancel and Esc change nothing.
TEST_F(SerialDialogOnARunningRelay, DevicesWriteFailureAndCancelChangeNothing) {
    start(9600);
    const std::string original = dir.read("Vorlinex.ini") + "[KEEP]\nX=" + std::string(256 * 1024, 'k') + "\n";
    dir.write("Vorlinex.ini", original);
    const auto mappingBefore = comDevicePaths;
    const int fd1 = serialPort1.handle.load();
    {
        DevicesDialog d(window.get());
        d.show();
        d.deviceCombo(1)->setEditText(QString::fromStdString(cable3.slavePath()));
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{}, small{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        small = {64 * 1024, saved.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        click(&d, 1);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "Devices Save Error: " + dir.file("Vorlinex.ini") + ": " + std::strerror(EFBIG));
        EXPECT_TRUE(d.isVisible());
        click(&d, 2);
        EXPECT_FALSE(d.isVisible());
    }
    {
        DevicesDialog d(window.get());
        d.show();
        d.deviceCombo(2)->setEditText(QString::fromStdString(cable3.slavePath()));
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&d, &esc);
        EXPECT_FALSE(d.isVisible());
    }
    EXPECT_TRUE(dir.read("Vorlinex.ini") == original);
    EXPECT_EQ(comDevicePaths, mappingBefore);
    EXPECT_EQ(serialPort1.handle.load(), fd1);
    EXPECT_EQ(boxes.size(), 1u);
    expectBothDirectionsRelay(cable1, cable2, 4);
}

}  // namespace

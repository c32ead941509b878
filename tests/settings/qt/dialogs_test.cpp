// The settings dialogs on real widgets: IDD_DIALOG_SERIAL with the relay running on
// pseudo-terminals, IDD_DIALOG_OPTION (what OK stores and refuses, "登録") and IDD_DIALOG_ABOUT
// (its texts and where its two links lead).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRadioButton>
#include <QUrl>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "display/qt/display_window.h"
#include "relay/serial_termios_linux.h"
#include "settings/config.h"
#include "settings/qt/about_dialog.h"
#include "settings/qt/devices_dialog.h"
#include "settings/qt/serial_device_list.h"
#include "settings/qt/option_dialog.h"
#include "settings/qt/serial_dialog.h"
#include "shell/message_catalogue.h"
#include "shell/qt/desktop.h"
#include "shell/qt/main_window.h"
#include "tests/settings/running_relay.h"
#include "tests/support/pty_cable.h"

void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace {

// Records every message box instead of showing it.
struct BoxLog {
    std::vector<BoxRequest> boxes;
    BoxLog() {
        setBoxFunction([this](const BoxRequest& r) { boxes.push_back(r); });
    }
    ~BoxLog() { setBoxFunction(nullptr); }
};

template <typename T = QWidget>
T* control(const QWidget* dialog, int id) {
    return dialog->findChild<T*>(QString::number(id));
}

void click(const QWidget* dialog, int id) {
    auto* button = control<QAbstractButton>(dialog, id);
    ASSERT_NE(button, nullptr) << id;
    button->click();
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

void setOptions(int rate, int crlf, int datetime, int datetimeval) {
    appOptions.RATE = rate, appOptions.CRLF = crlf, appOptions.DATETIME = datetime, appOptions.DATETIMEVAL = datetimeval;
}

void setEdit(const QWidget* d, int id, const char* text) { control<QLineEdit>(d, id)->setText(QString::fromUtf8(text)); }

const char* const kRateError = "RateUpdate Timeの値が不正です。\n1～60を入力してください。";
const char* const kTimeoutError = "通信時刻表示のTimeOut値が不正です。\n1～3600を入力してください。";

TEST(OptionDialog, OkAcceptsOnlyValuesInRange) {
    const std::tuple<int, const char*, int> cases[] = {  // edit, text, value stored (0: refused)
        {1038, "0", 0}, {1038, "1", 1},    {1038, "60", 60},     {1038, "61", 0}, {1038, "4294967297", 0},
        {1039, "x", 0}, {1039, "1", 1},    {1039, "3600", 3600}, {1039, "3601", 0}};
    for (const auto& [edit, text, value] : cases) {
        SCOPED_TRACE(std::to_string(edit) + " " + text);
        setOptions(5, 0, 1, 60);
        BoxLog log;
        OptionDialog d(nullptr);
        d.show();
        setEdit(&d, edit, text);
        click(&d, 1);
        const bool rate = edit == 1038;
        EXPECT_EQ((rate ? appOptions.RATE : appOptions.DATETIMEVAL).load(), value != 0 ? value : rate ? 5 : 60);
        EXPECT_EQ(d.isVisible(), value == 0);
        ASSERT_EQ(log.boxes.size(), value == 0 ? 1u : 0u);
        if (value == 0) {
            EXPECT_TRUE(log.boxes[0].text == (rate ? kRateError : kTimeoutError) && log.boxes[0].icon == BoxIcon::Error);
        }
    }
}

// "登録" says whether it could write the entry; then OK stores what precedes a bad time-out.
TEST(OptionDialog, RegisterReportsAndOkStoresWhatPrecedesABadTimeOut) {
    ScratchDir dir;
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    setOptions(5, 5, 0, 60);  // a line-end code no radio stands for
    BoxLog log;
    OptionDialog d(nullptr);
    d.show();
    click(&d, 1051);
    EXPECT_NE(dir.read("config/autostart/Vorlinex.desktop").find("\nExec="), std::string::npos);
    dir.write("file", "x");  // a configuration folder under a plain file cannot be made
    setenv("XDG_CONFIG_HOME", dir.file("file/config").c_str(), 1);
    click(&d, 1051);
    ASSERT_EQ(log.boxes.size(), 2u);
    EXPECT_EQ(log.boxes[0].text, "スタートアップへ登録しました。");
    EXPECT_TRUE(log.boxes[1].text == "スタートアップへ登録できません。" && log.boxes[1].icon == BoxIcon::Information);
    EXPECT_TRUE(d.isVisible());
    log.boxes.clear();

    for (int id : {1072, 1071, 1070}) EXPECT_FALSE(control<QRadioButton>(&d, id)->isChecked());
    EXPECT_FALSE(control<QLineEdit>(&d, 1039)->isEnabled());
    setEdit(&d, 1038, "10");
    click(&d, 1073);
    EXPECT_TRUE(control<QLineEdit>(&d, 1039)->isEnabled());
    setEdit(&d, 1039, "0");
    click(&d, 1);
    ASSERT_EQ(log.boxes.size(), 1u);
    EXPECT_EQ(log.boxes[0].text, kTimeoutError);
    EXPECT_TRUE(d.isVisible());
    EXPECT_TRUE(appOptions.RATE == 10 && appOptions.DATETIME == 1 && appOptions.DATETIMEVAL == 60);
    click(&d, 1073);  // off: the bad time-out is no longer read
    click(&d, 1);
    EXPECT_EQ(log.boxes.size(), 1u);
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(appOptions.DATETIME == 0 && appOptions.DATETIMEVAL == 60 && appOptions.CRLF == 5);
}

void pressOn(QWidget* w, Qt::MouseButton button) {
    for (auto [type, buttons] : {std::pair{QEvent::MouseButtonPress, button}, std::pair{QEvent::MouseButtonRelease, Qt::NoButton}}) {
        QMouseEvent event(type, QPointF(3, 3), w->mapToGlobal(QPointF(3, 3)), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(w, &event);
    }
}

TEST(AboutDialog, ShowsItsTextsAndALeftClickHandsALinkToTheDesktop) {
    std::vector<QUrl> urls;
    setDesktopUrlRecorder([&urls](const QUrl& u) { urls.push_back(u); });
    AboutDialog d(nullptr);
    d.show();
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Vorlinex： About"));
    EXPECT_EQ(control<QLabel>(&d, 1074)->text(), QStringLiteral("Vorlinex v1.01a"));
    QStringList texts;
    for (const QLabel* l : d.findChildren<QLabel*>()) texts << l->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("Mail：")) && texts.contains(QStringLiteral("URL："))) << texts.join('|').toStdString();

    QWidget *mail = control(&d, 5003), *web = control(&d, 5004);
    ASSERT_TRUE(mail != nullptr && web != nullptr);
    pressOn(mail, Qt::RightButton);
    EXPECT_TRUE(urls.empty());
    pressOn(mail, Qt::LeftButton);
    pressOn(web, Qt::LeftButton);
    EXPECT_EQ(urls, (std::vector<QUrl>{QUrl(QStringLiteral("mailto:support@vorlinex.example")),
                                      QUrl(QStringLiteral("https://www.vorlinex.example/"))}));
    EXPECT_TRUE(d.isVisible());
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
    setDesktopUrlRecorder({});
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

// The settings dialogs on real widgets, the serial and devices ones over the program on ptys.
#include <poll.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QRadioButton>
#include <QUrl>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "relay/serial_termios_linux.h"
#include "settings/qt/about_dialog.h"
#include "settings/qt/devices_dialog.h"
#include "settings/qt/dialog_host.h"
#include "settings/qt/option_dialog.h"
#include "settings/qt/serial_dialog.h"
#include "tests/shell/qt/shell_harness.h"

void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace {

class Dialogs : public ProgramOnCables {
protected:
    Dialogs() { v.boxes = boxRecorder(); }
    // The main window over `ini`, as the program makes it.
    void openMainWindow(const std::string& ini) {
        dir.write("Vorlinex.ini", ini);
        window.reset(v.createMainWindow());
        ASSERT_TRUE(v.initialiseMainWindow(window.get()));
        v.publishMainWindow(window.get());
    }
    PtyCable third;
    std::vector<BoxRequest>& boxes = recordedBoxes();
    Vorlinex v;
    Relay& relay = v.app.relay;
    std::unique_ptr<QWidget> window;
};

void setEdit(const QWidget* d, int id, const char* text) { child<QLineEdit>(d, id)->setText(QString::fromUtf8(text)); }

// About opens links on a left click only; "登録" writes this program's entry and says whether it
// could; OK reads the time-out only with the stamp on and keeps an unknown line-end code.
TEST_F(Dialogs, AboutOpensLinksOnALeftClickOptionRegistersAndOkStoresOnlyValuesInRange) {
    std::vector<QUrl> urls;
    v.openUrl = [&urls](const QUrl& u) { urls.push_back(u); };
    AboutDialog about(v.settingsHost, nullptr);
    about.show();
    for (auto [id, button] : {std::pair{kAboutMail, Qt::RightButton}, {kAboutMail, Qt::LeftButton}, {kAboutWeb, Qt::LeftButton}})
        mouse(child(&about, id), QEvent::MouseButtonPress, {3, 3}, button);
    EXPECT_EQ(urls, (std::vector<QUrl>{QUrl(QStringLiteral("mailto:support@vorlinex.example")),
                                       QUrl(QStringLiteral("https://www.vorlinex.example/"))}));
    click(&about, kAboutOk);
    EXPECT_FALSE(about.isVisible());

    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    AppOptions& options = relay.appOptions;
    options.RATE = 5;
    options.CRLF = 5;
    options.DATETIME = 0;
    options.DATETIMEVAL = 60;
    OptionDialog d(v.settingsHost, nullptr);
    d.show();
    click(&d, kOptionRegister);
    const std::string exec = "\nExec=" + std::filesystem::canonical("/proc/self/exe").string() + "\n";
    EXPECT_NE(dir.read("config/autostart/Vorlinex.desktop").find(exec), std::string::npos);  // the rest: system_test
    dir.write("file", "x");  // a configuration folder under a plain file cannot be made
    setenv("XDG_CONFIG_HOME", dir.file("file/config").c_str(), 1);
    click(&d, kOptionRegister);
    unsetenv("XDG_CONFIG_HOME");
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "スタートアップへ登録しました。");
    // The reason on a second line: the folder that could not be made, and why.
    EXPECT_EQ(boxes[1].text,
              "スタートアップへ登録できません。\n" + dir.file("file/config/autostart") + ": " + std::strerror(ENOTDIR));
    EXPECT_EQ(boxes[1].icon, BoxIcon::Information);

    for (int id : {kOptionKeepLineEnds, kOptionDropLf, kOptionDropCr}) EXPECT_FALSE(child<QRadioButton>(&d, id)->isChecked());
    EXPECT_FALSE(child<QLineEdit>(&d, kOptionStampTimeout)->isEnabled());
    setEdit(&d, kOptionStampTimeout, "0");
    click(&d, kOptionOk);
    EXPECT_TRUE(!d.isVisible() && options.DATETIME == 0 && options.DATETIMEVAL == 60 && options.CRLF == 5);
    click(&d, kOptionStamp);
    EXPECT_TRUE(child<QLineEdit>(&d, kOptionStampTimeout)->isEnabled());
    const char* const rateError = "RateUpdate Timeの値が不正です。\n1～60を入力してください。";
    const char* const timeoutError = "通信時刻表示のTimeOut値が不正です。\n1～3600を入力してください。";
    const std::tuple<int, const char*, const char*, int, int> cases[] = {  // edit, text, box, RATE, DATETIMEVAL
        {kOptionRate, "0", rateError, 5, 60}, {kOptionRate, "61", rateError, 5, 60},
        {kOptionRate, "4294967297", rateError, 5, 60}, {kOptionRate, "10", timeoutError, 10, 60},
        {kOptionStampTimeout, "x", timeoutError, 10, 60}, {kOptionStampTimeout, "3601", timeoutError, 10, 60},
        {kOptionStampTimeout, "1", {}, 10, 1}, {kOptionStampTimeout, "3600", {}, 10, 3600},
        {kOptionRate, "1", {}, 1, 3600}, {kOptionRate, "60", {}, 60, 3600}};
    for (const auto& [edit, text, error, rate, timeout] : cases) {
        SCOPED_TRACE(text);
        boxes.clear();
        d.show();
        setEdit(&d, edit, text);
        click(&d, kOptionOk);
        // The stamp is stored with the rate, before the time-out is read.
        EXPECT_TRUE(options.RATE == rate && options.DATETIMEVAL == timeout && options.DATETIME == (rate != 5));
        EXPECT_EQ(d.isVisible(), error != nullptr);
        ASSERT_EQ(boxes.size(), error != nullptr ? 1u : 0u);
        EXPECT_TRUE(error == nullptr || (boxes[0].text == error && boxes[0].icon == BoxIcon::Error));
    }
}

// Random bytes into a cable until the relay, its far end unread, has taken nothing for a second.
std::string sendUntilStalled(PtyCable& cable) {
    const std::string pool = randomBytes(1 << 20, 77);
    size_t sent = 0;
    for (pollfd p{cable.master(), POLLOUT, 0}; sent < pool.size() && ::poll(&p, 1, 1000) > 0;) {
        const ssize_t n = ::write(p.fd, pool.data() + sent, std::min<size_t>(4096, pool.size() - sent));
        if (n > 0) sent += static_cast<size_t>(n);
    }
    return pool.substr(0, sent);
}

// Port 1 moves to COM3 while channel 2 is stalled on it: every byte arrives once, in order. An
// unwritable INI is never replaced; a detected link is written in place and reopened.
TEST_F(Dialogs, SerialAndDevicesChangesReopenThePortsAndRefusalsChangeNothing) {
    std::string ini = vorlinexIni({first.slavePath(), second.slavePath(), third.slavePath(), "", "", ""});
    ASSERT_NO_FATAL_FAILURE(openMainWindow(ini.replace(ini.find("BPS=9600"), 8, "BPS=1234")));
    v.displayWindows.openDisplayWindow(1);
    v.displayWindows.openDisplayWindow(2);
    const auto shown = [&] {
        return QStringList{controlText(window.get(), kMainCom1), controlText(window.get(), kMainCom2),
                           v.displayWindows.displayWindowOf(1)->windowTitle(),
                           v.displayWindows.displayWindowOf(2)->windowTitle()};
    };
    SerialDialog d(v.settingsHost, window.get());
    d.show();
    EXPECT_EQ(d.combo(kSerialBps2)->currentIndex(), 14);  // port 2's 9600
    d.combo(kSerialCom1)->setCurrentIndex(1);             // COM2, as port 2
    click(&d, kSerialOk);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].text == "同じCom_Noは設定できません。" && boxes[0].icon == BoxIcon::Error);
    EXPECT_TRUE(d.isVisible());

    const std::string sent = sendUntilStalled(second);
    ASSERT_GT(sent.size(), 8192u);
    d.combo(kSerialCom1)->setCurrentIndex(2);  // COM3
    click(&d, kSerialOk);
    std::string got = first.receive(sent.size(), 200);  // what port 1 wrote before it moved
    got += third.receive(sent.size() - std::min(sent.size(), got.size()), 5000);
    EXPECT_TRUE(got == sent) << sent.size() << " bytes sent, " << got.size() << " arrived";
    EXPECT_TRUE(relay.serialPort1.settings.comIndex == 2 && relay.serialPort1.settings.baudRate == 1234 &&
                currentBaudRate(relay.serialPort1.handle.load()) == 1234u);
    EXPECT_EQ(shown(), (QStringList{"COM3", "COM2", "Com3 -> Com2", "Com2 -> Com3"}));

    const std::string link = dir.file("adapter-link");
    ASSERT_EQ(::symlink(first.slavePath().c_str(), link.c_str()), 0);
    v.settingsHost.listSerialDevices = [&] {
        return std::vector<SerialDeviceInfo>{{link, first.slavePath(), "FT232R USB UART", "FTDI", "A12345", false},
                                             {"/dev/serial/by-id/usb-busy", "/dev/ttyUSB9", "", "", "", true}};
    };
    DevicesDialog devices(v.settingsHost, window.get());
    QComboBox* com3 = devices.deviceCombo(3);
    ASSERT_EQ(com3->count(), 3);  // the two devices, then the network port entry
    EXPECT_EQ(com3->itemText(0), QString::fromStdString(link + "  (FT232R USB UART, FTDI, S/N A12345)"));
    EXPECT_EQ(com3->itemText(1), QStringLiteral("/dev/serial/by-id/usb-busy  in use by another program"));
    EXPECT_EQ(com3->currentText(), QString::fromStdString(third.slavePath()));
    com3->setCurrentIndex(0);
    EXPECT_EQ(com3->currentText(), QString::fromStdString(link));  // the path alone, not the description
    const std::string original = "; kept as it is\n[OTHER]\nx = 1\n" + dir.read("Vorlinex.ini");
    const auto mappingBefore = relay.comDevicePaths;
    const int fd3 = relay.serialPort1.handle.load();
    std::filesystem::remove(dir.file("Vorlinex.ini"));
    ASSERT_EQ(::mkfifo(dir.file("Vorlinex.ini").c_str(), 0600), 0);
    devices.show();
    click(&devices, kDevicesOk);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, "Devices Save Error: " + dir.file("Vorlinex.ini") + ": " + std::strerror(EINVAL));
    EXPECT_TRUE(devices.isVisible());
    click(&devices, kDevicesCancel);
    EXPECT_TRUE(!devices.isVisible() && relay.comDevicePaths == mappingBefore && relay.serialPort1.handle.load() == fd3);
    std::filesystem::remove(dir.file("Vorlinex.ini"));
    dir.write("Vorlinex.ini", original);
    devices.show();
    click(&devices, kDevicesOk);
    EXPECT_TRUE(!devices.isVisible() && boxes.size() == 2u);
    std::string expected = original;
    expected.replace(expected.find("COM3=" + third.slavePath()), 5 + third.slavePath().size(), "COM3=" + link);
    EXPECT_TRUE(dir.read("Vorlinex.ini") == expected);
    expectRelaysBothWays(first, second, 3);

    // The serial settings dialog tells what each COM name now opens.
    SerialDialog again(v.settingsHost, window.get());
    EXPECT_EQ(again.combo(kSerialCom1)->toolTip(), QString::fromStdString(link));
    EXPECT_EQ(again.combo(kSerialCom2)->toolTip(), QString::fromStdString(second.slavePath()));
    again.show();
    again.combo(kSerialCom1)->setCurrentIndex(4);  // COM5: nothing there
    EXPECT_EQ(again.combo(kSerialCom1)->toolTip(), QStringLiteral("/nonexistent/vorlinex-COM5"));
    click(&again, kSerialOk);
    EXPECT_FALSE(again.isVisible());
    EXPECT_EQ(boxes.size(), 3u);  // its text: the shutdown test's restart box
    EXPECT_EQ(shown(), (QStringList{"COM", "COM2", "COM", "Com2 -> Com5"}));
    // Channel 2 still runs (what it reads for a closed port is counted: the reconnect tests).
    EXPECT_TRUE(!relay.serialPort1.isOpen() && relay.serialPort2.isOpen() && eventuallyWorkers(0, 1));
}

// A path is bytes: the devices window shows each row as best it can, and OK with nothing changed
// writes every row's bytes back as they were, whether or not they are UTF-8. An edited row, or a
// detected device chosen from the list, gives its own bytes; the rows nobody touched keep theirs.
TEST_F(Dialogs, DevicesWindowGivesBackTheBytesOfEveryRowNobodyEdited) {
    const std::string latin1 = "/tmp/caf\xe9-\xff\xfe-adapter",
                      shiftJis = "/dev/serial/by-id/usb-\x83\x56\x83\x8a\x83\x41\x83\x8b";
    const std::string utf8 = "/dev/serial/by-id/usb-\xe6\x97\xa5\xe6\x9c\xac", detected = "/dev/serial/by-id/usb-\xb5-if00";
    const std::string ini = vorlinexIni({first.slavePath(), second.slavePath(), latin1, shiftJis, utf8, ""});
    ASSERT_NO_FATAL_FAILURE(openMainWindow(ini));
    v.settingsHost.listSerialDevices = [&] {
        return std::vector<SerialDeviceInfo>{{detected, "/dev/ttyUSB5", "CP2102", "Silicon Labs", "0001", false}};
    };

    DevicesDialog devices(v.settingsHost, window.get());
    EXPECT_EQ(devices.deviceCombo(3)->currentText(), QFile::decodeName(QByteArray::fromStdString(latin1)));
    EXPECT_EQ(devices.deviceCombo(5)->currentText(), QString::fromUtf8(utf8));
    EXPECT_EQ(devices.deviceCombo(4)->itemText(0),
              QFile::decodeName(QByteArray::fromStdString(detected)) + "  (CP2102, Silicon Labs, S/N 0001)");
    devices.show();
    click(&devices, kDevicesOk);
    EXPECT_TRUE(!devices.isVisible() && boxes.empty());
    EXPECT_TRUE(dir.read("Vorlinex.ini") == ini) << dir.read("Vorlinex.ini");
    EXPECT_TRUE(relay.comDevicePaths[2] == latin1 && relay.comDevicePaths[3] == shiftJis && relay.comDevicePaths[4] == utf8);

    DevicesDialog again(v.settingsHost, window.get());
    again.deviceCombo(4)->setCurrentIndex(0);
    again.deviceCombo(6)->setEditText(QStringLiteral(" /dev/tty\r\nUSB7\n"));  // a pasted line break is no line of the file
    again.show();
    click(&again, kDevicesOk);
    EXPECT_FALSE(again.isVisible());
    const std::string expected = vorlinexIni({first.slavePath(), second.slavePath(), latin1, detected, utf8, "/dev/ttyUSB7"});
    EXPECT_TRUE(dir.read("Vorlinex.ini") == expected) << dir.read("Vorlinex.ini");
    EXPECT_TRUE(relay.comDevicePaths[3] == detected && relay.comDevicePaths[5] == "/dev/ttyUSB7");
}

// The network port form's state as a test reads it.
struct FormState {
    bool tcp = false;
    std::string host, port, why;
    bool okEnabled = false;
    bool operator==(const FormState&) const = default;
};

FormState stateOf(const QDialog& form) {
    return {child<QRadioButton>(&form, kNetworkTcp)->isChecked(), child<QLineEdit>(&form, kNetworkHost)->text().toStdString(),
            child<QLineEdit>(&form, kNetworkPort)->text().toStdString(), child<QLabel>(&form, kNetworkWhy)->text().toStdString(),
            child<QAbstractButton>(&form, kNetworkOk)->isEnabled()};
}

// Chooses entry `index` of a row's list the way a user does: the list opened, the entry picked.
void choose(QComboBox* combo, int index) {
    combo->showPopup();
    combo->view()->setCurrentIndex(combo->view()->model()->index(index, combo->modelColumn()));
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(combo->view(), &enter);
}

// Answers each network port form as it opens modally, counting them. A form the answer left open
// is cancelled, so that a failing case ends instead of waiting for a click that never comes.
class NetworkPortEntry : public ::testing::Test {
protected:
    NetworkPortEntry() {
        host.config = [this] { return Config{.port1 = {}, .port2 = {}, .appOptions = {}, .comDevicePaths = rows}; };
        host.listSerialDevices = [] {
            return std::vector<SerialDeviceInfo>{
                {"/dev/serial/by-id/usb-FTDI-if00", "/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A1", false}};
        };
        host.applyDevicePaths = [this](const std::array<std::string, 6>& paths) {
            handed.push_back(paths);
            return true;
        };
        QObject::connect(&timer, &QTimer::timeout, [this] {
            auto* form = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (form == nullptr || form->objectName() != QLatin1String("NETWORK PORT") ||
                form->property("answered").toBool())
                return;
            form->setProperty("answered", true);
            ++opened;
            if (answer) answer(*form);
            if (form->isVisible()) form->reject();
        });
        timer.start(5);
    }

    std::array<std::string, 6> rows{"tcp://lab-pi:99999",           "/dev/ttyUSB1", "tcp://host:4002",
                                    "rfc2217://[fe80::2%eth0]:7000", "",             ""};
    SettingsDialogHost host;
    std::vector<std::array<std::string, 6>> handed;
    std::function<void(QDialog& form)> answer;
    int opened = 0;
    QTimer timer;
};

// The entry ends every row's list. OK puts the URL in the row, Cancel leaves the row and keeps nothing
// typed; a network row fills the form, anew each time, as far as its path holds together. OK is
// offered only for a path the ports take (the parser's test); until then the form names what is wrong.
TEST_F(NetworkPortEntry, FormPutsItsUrlInTheRowCancelLeavesTheRowANetworkRowFillsTheFormAndOkNeedsAValidPath) {
    DevicesDialog devices(host, nullptr);
    devices.show();
    ASSERT_EQ(devices.deviceCombo(6)->count(), 2);  // the detected device, then the entry
    EXPECT_EQ(devices.deviceCombo(6)->itemText(1).toStdString(), "network port…");
    const char* const badHost = "Host: a name, an IPv4 address or an IPv6 address.";
    const char* const badPort = "Port: a number from 1 to 65535.";
    const char* const noZone = "Host: a link-local address needs the interface to reach it by (fe80::1%eth0).";
    const FormState labPi{true, "lab-pi", "99999", badPort, false};
    // host, port, why or the path, OK offered
    const std::tuple<const char*, const char*, const char*, bool> cases[] = {
        {"lab-pi", "65536", badPort, false}, {"lab pi", "4001", badHost, false}, {"fe80::7", "4001", noZone, false},
        {"lab-pi", "65535", "tcp://lab-pi:65535", true}, {"fe80::7%eth1", "4001", "tcp://[fe80::7%eth1]:4001", true}};
    answer = [&](QDialog& form) {  // what it is filled with: the first step below
        for (const auto& [hostText, port, why, ok] : cases) {
            child<QLineEdit>(&form, kNetworkHost)->setText(QString::fromUtf8(hostText));
            child<QLineEdit>(&form, kNetworkPort)->setText(QString::fromUtf8(port));
            const FormState now = stateOf(form);
            EXPECT_TRUE(now.okEnabled == ok && now.why == why) << hostText << " / " << port << ": " << now.why;
        }
        child<QLineEdit>(&form, kNetworkPort)->setText(QStringLiteral("70000"));
        click(&form, kNetworkOk);
        EXPECT_TRUE(form.isVisible());
    };
    choose(devices.deviceCombo(1), 1);
    EXPECT_EQ(opened, 1);

    const FormState empty{false, "", "", std::string(badHost) + "\n" + badPort, false};
    // Each step: the row; "device" (the detected one chosen first) or text typed into it; the form's
    // choice, host and port typed in (unless null) and the button; what the form showed; the row after.
    const FormState host4002{true, "host", "4002", "tcp://host:4002", true};
    const FormState fe80{false, "fe80::2%eth0", "7000", "rfc2217://[fe80::2%eth0]:7000", true};
    const FormState typedTcp{true, "10.0.0.5", "2217", "tcp://10.0.0.5:2217", true};
    const std::tuple<int, const char*, bool, const char*, const char*, int, FormState, const char*> steps[] = {
        {1, nullptr, false, "::1", "4001", kNetworkOk, labPi, "rfc2217://[::1]:4001"},
        {2, nullptr, true, "lab-pi", "4001", kNetworkCancel, empty, "/dev/ttyUSB1"},
        {2, nullptr, true, "192.168.1.20", "23", kNetworkOk, empty, "tcp://192.168.1.20:23"},
        {3, nullptr, false, nullptr, nullptr, kNetworkOk, host4002, "tcp://host:4002"},
        {4, nullptr, false, "[fe80::2%eth0]", " 7001 ", kNetworkOk, fe80, "rfc2217://[fe80::2%eth0]:7001"},
        {5, "device", false, "lab-pi", "4001", kNetworkCancel, empty, "/dev/serial/by-id/usb-FTDI-if00"},
        {6, "tcp://10.0.0.5:2217", false, nullptr, nullptr, kNetworkCancel, typedTcp, "tcp://10.0.0.5:2217"},
    };
    for (const auto& [row, before, tcp, hostText, port, button, expectFilled, after] : steps) {
        SCOPED_TRACE(row);
        QComboBox* combo = devices.deviceCombo(row);
        if (before != nullptr && std::string(before) == "device") choose(combo, 0);
        else if (before != nullptr) combo->setEditText(QString::fromUtf8(before));
        FormState filled;
        answer = [&](QDialog& form) {
            filled = stateOf(form);
            if (hostText != nullptr) {
                click(&form, tcp ? kNetworkTcp : kNetworkRfc2217);
                child<QLineEdit>(&form, kNetworkHost)->setText(QString::fromUtf8(hostText));
                child<QLineEdit>(&form, kNetworkPort)->setText(QString::fromUtf8(port));
            }
            click(&form, button);
        };
        const int formsBefore = opened;
        choose(combo, 1);
        EXPECT_EQ(opened, formsBefore + 1);
        EXPECT_EQ(filled, expectFilled);
        EXPECT_EQ(combo->currentText().toStdString(), after);
    }
    const std::array<std::string, 6> expected{
        "rfc2217://[::1]:4001",          "tcp://192.168.1.20:23",           "tcp://host:4002",
        "rfc2217://[fe80::2%eth0]:7001", "/dev/serial/by-id/usb-FTDI-if00", "tcp://10.0.0.5:2217"};
    EXPECT_EQ(devices.chosenPaths(), expected);
    click(&devices, kDevicesOk);
    EXPECT_EQ(handed, (std::vector{expected}));
}


}  // namespace

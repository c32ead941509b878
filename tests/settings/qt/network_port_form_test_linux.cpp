// The devices window's "network port…" entry and its form, on real widgets: what the form puts in
// a row, what it leaves, what it is filled with, and when it offers OK.
#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "settings/qt/devices_dialog.h"
#include "settings/qt/dialog_host.h"
#include "tests/shell/qt/shell_harness.h"

namespace {

// The form's state as a test reads it.
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

void fill(const QDialog& form, bool tcp, const char* host, const char* port) {
    click(&form, tcp ? kNetworkTcp : kNetworkRfc2217);
    child<QLineEdit>(&form, kNetworkHost)->setText(QString::fromUtf8(host));
    child<QLineEdit>(&form, kNetworkPort)->setText(QString::fromUtf8(port));
}

// Answers each network port form as it opens modally, counting them. A form the answer left open
// is cancelled, so that a failing case ends instead of waiting for a click that never comes.
class FormAnswers {
public:
    std::function<void(QDialog& form)> answer;
    int opened = 0;

    FormAnswers() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* form = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (form == nullptr || form->objectName() != QLatin1String("NETWORK PORT") || form->property("answered").toBool()) return;
            form->setProperty("answered", true);
            ++opened;
            if (answer) answer(*form);
            if (form->isVisible()) form->reject();
        });
        timer_.start(5);
    }

private:
    QTimer timer_;
};

// Chooses entry `index` of a row's list the way a user does: the list opened, the entry picked.
void choose(QComboBox* combo, int index) {
    combo->showPopup();
    QAbstractItemView* list = combo->view();
    list->setCurrentIndex(list->model()->index(index, combo->modelColumn()));
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(list, &enter);
}

class NetworkPortEntry : public ::testing::Test {
protected:
    NetworkPortEntry() {
        host.config = [this] {
            Config config;
            config.comDevicePaths = rows;
            return config;
        };
        host.listSerialDevices = [] {
            return std::vector<SerialDeviceInfo>{{"/dev/serial/by-id/usb-FTDI-if00", "/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A1", false}};
        };
        host.applyDevicePaths = [this](const std::array<std::string, 6>& paths) { return handed.push_back(paths), true; };
    }

    std::array<std::string, 6> rows{"/dev/ttyUSB0", "/dev/ttyUSB1", "tcp://host:4002", "rfc2217://[fe80::2%eth0]:7000", "", ""};
    SettingsDialogHost host;
    std::vector<std::array<std::string, 6>> handed;
    FormAnswers forms;
};

std::string shown(const QComboBox* combo) { return combo->currentText().toStdString(); }

// The entry ends every row's list. OK puts the URL in the row (an IPv6 host in brackets), Cancel
// leaves the row as it showed, a row that holds a network path, typed or as it was opened, fills
// the form, and the entry opens its form again each time it is chosen.
TEST_F(NetworkPortEntry, FormPutsItsUrlInTheRowCancelLeavesTheRowAndANetworkRowFillsTheForm) {
    DevicesDialog devices(host, nullptr);
    devices.show();
    for (int n = 1; n <= 6; ++n) {
        QComboBox* combo = devices.deviceCombo(n);
        ASSERT_EQ(combo->count(), 2);
        EXPECT_EQ(combo->itemText(0).toStdString(), "/dev/serial/by-id/usb-FTDI-if00  (FT232R USB UART, FTDI, S/N A1)");
        EXPECT_EQ(combo->itemText(1).toStdString(), "network port…");
    }

    std::vector<FormState> filled;
    const auto answer = [&](bool tcp, const char* hostText, const char* port, int button) {
        forms.answer = [&filled, tcp, hostText, port, button](QDialog& form) {
            filled.push_back(stateOf(form));
            if (hostText != nullptr) fill(form, tcp, hostText, port);
            click(&form, button);
        };
    };
    answer(false, "::1", "4001", kNetworkOk);
    choose(devices.deviceCombo(1), 1);
    EXPECT_EQ(shown(devices.deviceCombo(1)), "rfc2217://[::1]:4001");

    answer(true, "lab-pi", "4001", kNetworkCancel);
    choose(devices.deviceCombo(2), 1);
    EXPECT_EQ(shown(devices.deviceCombo(2)), "/dev/ttyUSB1");
    answer(true, "192.168.1.20", "23", kNetworkOk);
    choose(devices.deviceCombo(2), 1);
    EXPECT_EQ(shown(devices.deviceCombo(2)), "tcp://192.168.1.20:23");

    answer(false, nullptr, nullptr, kNetworkOk);
    choose(devices.deviceCombo(3), 1);
    EXPECT_EQ(shown(devices.deviceCombo(3)), "tcp://host:4002");
    answer(false, "[fe80::2%eth0]", " 7001 ", kNetworkOk);
    choose(devices.deviceCombo(4), 1);
    EXPECT_EQ(shown(devices.deviceCombo(4)), "rfc2217://[fe80::2%eth0]:7001");

    // A detected device chosen first, then the entry: Cancel brings the device's path back.
    choose(devices.deviceCombo(5), 0);
    answer(false, "lab-pi", "4001", kNetworkCancel);
    choose(devices.deviceCombo(5), 1);
    EXPECT_EQ(shown(devices.deviceCombo(5)), "/dev/serial/by-id/usb-FTDI-if00");

    devices.deviceCombo(6)->setEditText(QStringLiteral("tcp://10.0.0.5:2217"));
    answer(false, nullptr, nullptr, kNetworkCancel);
    choose(devices.deviceCombo(6), 1);
    EXPECT_EQ(shown(devices.deviceCombo(6)), "tcp://10.0.0.5:2217");

    EXPECT_EQ(forms.opened, 7);
    ASSERT_EQ(filled.size(), 7u);
    const FormState empty{false, "", "", "Host: a name, an IPv4 address or an IPv6 address.\nPort: a number from 1 to 65535.", false};
    EXPECT_EQ(filled[0], empty);
    EXPECT_EQ(filled[1], empty);
    EXPECT_EQ(filled[2], empty);  // Cancel kept nothing of what was typed in the form
    EXPECT_EQ(filled[3], (FormState{true, "host", "4002", "tcp://host:4002", true}));
    EXPECT_EQ(filled[4], (FormState{false, "fe80::2%eth0", "7000", "rfc2217://[fe80::2%eth0]:7000", true}));
    EXPECT_EQ(filled[5], empty);
    EXPECT_EQ(filled[6], (FormState{true, "10.0.0.5", "2217", "tcp://10.0.0.5:2217", true}));

    const std::array<std::string, 6> expected{"rfc2217://[::1]:4001",     "tcp://192.168.1.20:23",           "tcp://host:4002",
                                              "rfc2217://[fe80::2%eth0]:7001", "/dev/serial/by-id/usb-FTDI-if00", "tcp://10.0.0.5:2217"};
    EXPECT_EQ(devices.chosenPaths(), expected);
    click(&devices, kDevicesOk);
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0], expected);
}

// OK is offered only for a host and a port that make a path the ports take; until then the form
// says what is wrong, and OK does nothing. A network path that does not hold together fills what
// it can.
TEST_F(NetworkPortEntry, FormOffersOkOnlyForAValidHostAndPort) {
    rows[0] = "tcp://lab-pi:99999";
    DevicesDialog devices(host, nullptr);
    devices.show();
    struct Case {
        const char* host;
        const char* port;
        const char* why;  // or the path, once OK is offered
        bool ok;
    };
    const char* const badHost = "Host: a name, an IPv4 address or an IPv6 address.";
    const char* const badPort = "Port: a number from 1 to 65535.";
    const char* const noZone = "Host: a link-local address needs the interface to reach it by (fe80::1%eth0).";
    const Case cases[] = {
        // Which values the ports take is the network path's parser's test; here, which part is named.
        {"lab-pi", "65536", badPort, false}, {"lab pi", "4001", badHost, false}, {"lab-pi:4001", "4001", badHost, false},
        {"lab-pi", "65535", "tcp://lab-pi:65535", true}, {"::1", "1", "tcp://[::1]:1", true},
        {"10.0.0.7", "04001", "tcp://10.0.0.7:4001", true}, {"fe80::7", "4001", noZone, false},
        {"fe80::7%eth1", "4001", "tcp://[fe80::7%eth1]:4001", true},
    };
    std::vector<FormState> seen;
    FormState prefilled;
    forms.answer = [&](QDialog& form) {
        prefilled = stateOf(form);
        for (const Case& c : cases) {
            child<QLineEdit>(&form, kNetworkHost)->setText(QString::fromUtf8(c.host));
            child<QLineEdit>(&form, kNetworkPort)->setText(QString::fromUtf8(c.port));
            seen.push_back(stateOf(form));
        }
        child<QLineEdit>(&form, kNetworkPort)->setText(QStringLiteral("70000"));
        click(&form, kNetworkOk);
        EXPECT_TRUE(form.isVisible());
        click(&form, kNetworkCancel);
    };
    choose(devices.deviceCombo(1), 1);
    EXPECT_EQ(forms.opened, 1);
    EXPECT_EQ(prefilled, (FormState{true, "lab-pi", "99999", badPort, false}));
    ASSERT_EQ(seen.size(), std::size(cases));
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(std::string(cases[i].host) + " / " + cases[i].port);
        EXPECT_EQ(seen[i].okEnabled, cases[i].ok);
        EXPECT_EQ(seen[i].why, cases[i].why);
    }
    EXPECT_EQ(shown(devices.deviceCombo(1)), "tcp://lab-pi:99999");
    EXPECT_EQ(devices.chosenPaths()[0], "tcp://lab-pi:99999");
}

}  // namespace

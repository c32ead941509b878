// IDD_DIALOG_SERIAL on real widgets, with the relay running on pseudo-terminals.
#include "settings/qt/serial_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QMainWindow>
#include <memory>
#include <string>

#include "display/qt/display_window.h"
#include "relay/relay_channel.h"
#include "relay/serial_port.h"
#include "settings/config.h"
#include "settings/port_restart.h"
#include "shell/qt/main_window.h"
#include "tests/settings/qt/dialog_test_support.h"
#include "tests/support/pty_cable.h"

namespace {

QStringList itemsOf(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
}

template <size_t N>
QStringList tableOf(const std::array<const char*, N>& table) {
    QStringList items;
    for (const char* t : table) items << QString::fromUtf8(t);
    return items;
}

QWidget* topLevel(const char* name) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(name)) return w;
    }
    return nullptr;
}

QString labelText(int id) {
    auto* label = publishedMainWindow()->findChild<QLabel*>(QString::number(id));
    return label != nullptr ? label->text() : QStringLiteral("<missing>");
}

TEST(SerialDialog, ListsFollowTheTablesAndShowTheStoredValues) {
    serialPort1.settings = {2, 19200, 7, 2, 1, 3};
    serialPort2.settings = {5, 1234, 9, 0, 7, 4};  // a rate, a width and a stop code off the lists
    SerialDialog d(nullptr);
    d.show();
    struct Row {
        int id;
        QStringList items;
        int selected;
    };
    const Row rows[] = {
        {2001, tableOf(portDeviceNames), 2},   {2002, tableOf(baudRateChoices), 15},
        {2003, tableOf(dataBitsChoices), 2},   {2004, tableOf(parityChoices), 2},
        {2005, tableOf(stopBitsChoices), 1},   {2006, tableOf(flowControlChoices), 3},
        {2007, tableOf(portDeviceNames), 5},   {2008, tableOf(baudRateChoices), -1},
        {2009, tableOf(dataBitsChoices), -1},  {2011, tableOf(parityChoices), 0},
        {2012, tableOf(stopBitsChoices), -1},  {2010, tableOf(flowControlChoices), 4},
    };
    for (const Row& row : rows) {
        QComboBox* box = d.combo(row.id);
        ASSERT_NE(box, nullptr) << row.id;
        EXPECT_FALSE(box->isEditable()) << row.id;
        EXPECT_EQ(itemsOf(box), row.items) << row.id;
        EXPECT_EQ(box->currentIndex(), row.selected) << row.id;
    }
    EXPECT_EQ(itemsOf(d.combo(2001)).first(), QStringLiteral("com1"));

    // The pixel places of the filled lists.
    const int port1Y[] = {70, 99, 126, 152, 179, 206}, port2Y[] = {71, 98, 125, 152, 179, 206};
    const int port1Ids[] = {2001, 2002, 2003, 2004, 2005, 2006}, port2Ids[] = {2007, 2008, 2009, 2011, 2012, 2010};
    for (int row = 0; row < 6; ++row) {
        EXPECT_EQ(d.combo(port1Ids[row])->geometry().topLeft(), QPoint(90, port1Y[row]));
        EXPECT_EQ(d.combo(port2Ids[row])->geometry().topLeft(), QPoint(310, port2Y[row]));
        EXPECT_EQ(d.combo(port1Ids[row])->width(), 100);
        EXPECT_EQ(d.combo(port2Ids[row])->width(), 100);
    }
}

TEST(SerialDialog, TemplateTextsTabOrderAndNoCloseBox) {
    serialPort1.settings = {0, 9600, 8, 0, 0, 0};
    serialPort2.settings = {1, 9600, 8, 0, 0, 0};
    SerialDialog d(nullptr);
    d.show();
    EXPECT_EQ(d.windowTitle(), QStringLiteral("Vorlinex：  Serial Port"));
    EXPECT_FALSE(d.windowFlags() & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(d.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(tabOrder(&d, control(&d, 1)),
              (QStringList{"1", "2", "2001", "2002", "2003", "2006", "2004", "2005", "2007", "2008", "2009", "2010",
                           "2011", "2012"}));
    EXPECT_EQ(control<QAbstractButton>(&d, 2)->text(), QStringLiteral("ｷｬﾝｾﾙ"));
    const QStringList texts = staticTexts(&d);
    for (const char* row : {"COM　：", "BPS　：", "BITS　：", "PARI　：", "STOP　：", "FLOW　："}) {
        EXPECT_EQ(texts.count(QString::fromUtf8(row)), 2) << row;
    }
    EXPECT_TRUE(texts.contains(QStringLiteral("SERIAL")));
    expectTextsUncut(&d);
    QStringList groups;
    for (const QGroupBox* g : d.findChildren<QGroupBox*>()) groups << g->title();
    groups.sort();
    EXPECT_EQ(groups, (QStringList{"Serial Port1", "Serial Port2"}));
    // The icon came from the resources.
    bool iconShown = false;
    for (const QLabel* l : d.findChildren<QLabel*>()) iconShown |= !l->pixmap().isNull();
    EXPECT_TRUE(iconShown);
}

// The program's main window (published, not initialised), both ports open with their
// workers as at start-up, and both display windows opened once.
class SerialDialogOnARunningRelay : public ::testing::Test {
protected:
    void SetUp() override {
        dir.write("Vorlinex.ini",
                  "[DATA1]\nCOM=0\nBPS=" + std::to_string(baud1) +
                      "\nBIT=8\nPARI=0\nSTOP=0\nFLOW=0\n[DATA2]\nCOM=1\nBPS=9600\nBIT=8\nPARI=0\nSTOP=0\nFLOW=0\n"
                      "[DATA]\nRATE=5\nDMODE=0\nCRLF=0\nDATETIME=0\nDATETIMEVAL=60\n" +
                      devicesSection({cable1.slavePath(), cable2.slavePath(), cable3.slavePath(), "", "", ""}));
        loadConfig();
        window.reset(createMainWindow());
        publishMainWindow(window.get());
        for (auto [port, channel] : {std::pair{&serialPort1, &relayChannel1}, std::pair{&serialPort2, &relayChannel2}}) {
            ASSERT_EQ(openPort(portDeviceNameAt(port->settings.comIndex), port->settings.comIndex + 1, *port), 0);
            configurePort(*port);
            startRelayWorker(*channel);
        }
        openDisplayWindow(1);
        openDisplayWindow(2);
    }
    void TearDown() override {
        for (RelayChannel* channel : {&relayChannel1, &relayChannel2}) {
            requestWorkerStop(*channel);
            joinRelayWorker(*channel);
        }
        closePort(serialPort1);
        closePort(serialPort2);
        publishMainWindow(nullptr);
    }

    void expectRelays(PtyCable& end1, PtyCable& end2, uint32_t seed) {
        const std::string a = randomBytes(500, seed), b = randomBytes(900, seed + 1);
        end1.send(a);
        end2.send(b);
        EXPECT_TRUE(end2.receive(a.size(), 5000) == a);
        EXPECT_TRUE(end1.receive(b.size(), 5000) == b);
    }

    int baud1 = 9600;
    ScratchDir dir;
    PtyCable cable1, cable2, cable3;
    BoxLog log;
    std::unique_ptr<QWidget> window;
};

TEST_F(SerialDialogOnARunningRelay, TheSamePortTwiceIsRefusedThenAnotherChoiceGoesThrough) {
    const int fd1 = serialPort1.handle.load(), fd2 = serialPort2.handle.load();
    SerialDialog d(window.get());
    d.show();
    d.combo(2001)->setCurrentIndex(1);  // COM2, as port 2
    d.combo(2002)->setCurrentIndex(18);
    click(&d, 1);
    ASSERT_EQ(log.boxes.size(), 1u);
    EXPECT_EQ(log.boxes[0].text, "同じCom_Noは設定できません。");
    EXPECT_EQ(log.boxes[0].icon, BoxIcon::Error);
    EXPECT_EQ(log.boxes[0].owner, BoxOwner::None);
    EXPECT_TRUE(d.isVisible());
    // Nothing was touched: the same open devices, the same settings, the relay as before.
    EXPECT_EQ(serialPort1.handle.load(), fd1);
    EXPECT_EQ(serialPort2.handle.load(), fd2);
    EXPECT_EQ(serialPort1.settings.comIndex, 0);
    EXPECT_EQ(serialPort1.settings.baudRate, 9600);
    expectRelays(cable1, cable2, 1);

    d.combo(2001)->setCurrentIndex(2);  // COM3
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(log.boxes.size(), 1u);
    EXPECT_EQ(serialPort1.settings.comIndex, 2);
    EXPECT_EQ(serialPort1.settings.baudRate, 115200);
    EXPECT_EQ(labelText(1055), QStringLiteral("COM3"));
    EXPECT_EQ(labelText(1056), QStringLiteral("COM2"));
    EXPECT_EQ(topLevel("IDD_DIALOG_DISP1")->windowTitle(), QStringLiteral("Com3 -> Com2"));
    EXPECT_EQ(topLevel("IDD_DIALOG_DISP2")->windowTitle(), QStringLiteral("Com2 -> Com3"));
    expectRelays(cable3, cable2, 2);
}

TEST_F(SerialDialogOnARunningRelay, APortOnAMissingDeviceReadsComAndTheOtherWorksOn) {
    SerialDialog d(window.get());
    d.show();
    d.combo(2001)->setCurrentIndex(4);  // COM5: nothing there
    click(&d, 1);
    EXPECT_FALSE(d.isVisible());
    ASSERT_EQ(log.boxes.size(), 1u);
    EXPECT_EQ(log.boxes[0].text, "Com5 Open Error");
    EXPECT_EQ(log.boxes[0].owner, BoxOwner::MainWindow);
    EXPECT_EQ(labelText(1055), QStringLiteral("COM"));
    EXPECT_EQ(labelText(1056), QStringLiteral("COM2"));
    EXPECT_EQ(topLevel("IDD_DIALOG_DISP1")->windowTitle(), QStringLiteral("COM"));
    EXPECT_EQ(topLevel("IDD_DIALOG_DISP2")->windowTitle(), QStringLiteral("Com2 -> Com5"));
    EXPECT_FALSE(serialPort1.isOpen());
    EXPECT_TRUE(serialPort2.isOpen());
    EXPECT_EQ(serialPort1.settings.comIndex, 4);
}

TEST_F(SerialDialogOnARunningRelay, CancelAndEscapeLeaveEverythingAsItWas) {
    const int fd1 = serialPort1.handle.load(), fd2 = serialPort2.handle.load();
    for (bool escape : {false, true}) {
        SerialDialog d(window.get());
        d.show();
        d.combo(2001)->setCurrentIndex(2);
        d.combo(2008)->setCurrentIndex(0);
        d.combo(2010)->setCurrentIndex(1);
        if (escape) {
            pressEscape(&d);
        } else {
            click(&d, 2);
        }
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(d.result(), QDialog::Rejected);
    }
    EXPECT_EQ(serialPort1.handle.load(), fd1);
    EXPECT_EQ(serialPort2.handle.load(), fd2);
    EXPECT_EQ(serialPort1.settings.comIndex, 0);
    EXPECT_EQ(serialPort2.settings.baudRate, 9600);
    EXPECT_EQ(serialPort2.settings.flowControl, 0);
    EXPECT_TRUE(log.boxes.empty());
    expectRelays(cable1, cable2, 3);
}

}  // namespace

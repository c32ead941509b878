// The display windows in the running program: its main window, its relay workers, pty cables
// as the two serial lines.
#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QPushButton>
#include <regex>
#include <string>

#include "display/qt/display_window.h"
#include "display/qt/traffic_view.h"
#include "display/traffic_render.h"
#include "display/traffic_text_control.h"
#include "relay/relay_channel.h"
#include "settings/config.h"
#include "tests/shell/qt/shell_harness.h"

namespace {

struct Cables {
    explicit Cables(bool stamps = false) {
        std::string ini = vorlinexIni({first.slavePath(), second.slavePath(), "", "", "", ""});
        if (stamps) ini.replace(ini.find("DATETIME=0"), 10, "DATETIME=1");
        dir.write("Vorlinex.ini", ini);
        recordBoxes();
    }
    ScratchDir dir;
    PtyCable first;   // Serial Port1's device
    PtyCable second;  // Serial Port2's device
};

void pressDisp(QWidget* mainWindow, int id) { mainWindow->findChild<QPushButton*>(QString::number(id))->click(); }

void mouse(QWidget* target, QEvent::Type type, Qt::MouseButtons held) {
    QMouseEvent event(type, QPointF(5, 5), target->mapToGlobal(QPointF(5, 5)), Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

}  // namespace

// Channel 1 shows text, channel 2 the hex dump, with time stamps on.
TEST(DisplayInTheProgram, EachPortsBytesReachOnlyItsChannelsWindowAndStampsOnlyText) {
    Cables cables(true);
    runVorlinex([&](QWidget* mainWindow) {
        Vorlinex& v = vorlinexOf(mainWindow);
        ASSERT_EQ(v.app.relay.appOptions.DATETIME.load(), 1);
        v.app.relay.appOptions.DMODE = 0;
        pressDisp(mainWindow, 117);
        v.app.relay.appOptions.DMODE = 1;
        pressDisp(mainWindow, 118);
        TrafficTextControl* text = v.app.trafficDisplay1.displayWindow.load().get();
        TrafficTextControl* hex = v.app.trafficDisplay2.displayWindow.load().get();
        ASSERT_TRUE(text != nullptr && hex != nullptr);

        const std::string bytes = "to port two \x93\xfa\x96\x7b";
        cables.first.send(bytes);
        EXPECT_EQ(cables.second.receive(bytes.size(), 10000), bytes);
        EXPECT_TRUE(waitUntil([&] { return text->textLength() >= 21 + static_cast<int>(bytes.size()); }));
        const std::regex stamp(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\r\n)");
        EXPECT_TRUE(std::regex_match(text->text().substr(0, 21), stamp)) << text->text();
        EXPECT_EQ(text->text().substr(21), bytes);
        EXPECT_EQ(hex->textLength(), 0);

        cables.second.send("xyz");
        EXPECT_EQ(cables.first.receive(3, 10000), "xyz");
        EXPECT_TRUE(waitUntil([&] { return hex->textLength() == 74; }));
        const std::string dump = hex->text();
        EXPECT_EQ(dump.substr(0, 9), "78 79 7A ");
        EXPECT_EQ(dump.substr(54, 3), "xyz");
        EXPECT_EQ(dump.find_first_not_of(' ', 9), 54u);  // nothing but the three bytes
    });
}

TEST(DisplayInTheProgram, HoldingTheButtonInChannelOnesTextPausesChannelOneOnly) {
    Cables cables;
    runVorlinex([&](QWidget* mainWindow) {
        Vorlinex& v = vorlinexOf(mainWindow);
        pressDisp(mainWindow, 117);
        pressDisp(mainWindow, 118);
        TrafficTextControl* one = v.app.trafficDisplay1.displayWindow.load().get();
        TrafficTextControl* two = v.app.trafficDisplay2.displayWindow.load().get();
        QWidget* text = v.displayWindows.displayWindowOf(1)->findChild<TrafficView*>(QStringLiteral("1001"))->viewport();
        mouse(text, QEvent::MouseButtonPress, Qt::LeftButton);
        ASSERT_EQ(v.app.relay.relayChannel1.displayMouseHeld.load(), 1);
        ASSERT_EQ(v.app.relay.leftMouseButtonDown.load(), 1);

        cables.first.send("held back");
        // Channel 2 goes on: several round trips through its worker while channel 1 waits.
        std::string back;
        for (int i = 0; i < 3; ++i) {
            const std::string reply = "reply " + std::to_string(i) + "\r\n";
            cables.second.send(reply);
            back += cables.first.receive(reply.size(), 10000);
            waitUntil([&] { return two->textLength() >= static_cast<int>(back.size()); }, 10000);
        }
        EXPECT_EQ(back, "reply 0\r\nreply 1\r\nreply 2\r\n");
        EXPECT_EQ(two->text(), back);
        EXPECT_EQ(one->textLength(), 0);
        EXPECT_EQ(cables.second.receiveUntilQuiet(300), "");

        mouse(text, QEvent::MouseButtonRelease, Qt::NoButton);
        EXPECT_EQ(v.app.relay.relayChannel1.displayMouseHeld.load(), 0);
        EXPECT_EQ(cables.second.receive(9, 10000), "held back");
        EXPECT_TRUE(waitUntil([&] { return one->text() == "held back"; }));
    });
}

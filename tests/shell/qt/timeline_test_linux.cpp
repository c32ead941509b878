// The timeline window in the real program: its DISP item, its title, one window raised again,
// its place kept for the session, and the records of both ports taken only while it is open
// (that they are the combined capture's records is the timeline source test's).
#include <QAction>
#include <QMenu>

#include "display/qt/timeline_window.h"
#include "settings/port_restart.h"
#include "tests/shell/qt/shell_harness.h"

TEST_F(ProgramOnCables, TimelineWindowComToComOpensOneWindowTitledWithBothPortsThatTakesRecordsOnlyWhileOpen) {
    PtyCable third;
    dir.write("Vorlinex.ini", vorlinexIni({first.slavePath(), second.slavePath(), third.slavePath()}));
    run([&](Vorlinex& v, QWidget* window) {
        // DISP: ASCII, BINARY, a separator, then the timeline.
        auto* disp = window->findChild<QMenu*>(QStringLiteral("DISP"));
        ASSERT_TRUE(disp && disp->actions().size() == 4 && disp->actions()[2]->isSeparator());
        QAction* item = v.mainMenuItem(kCommandTimeline);
        ASSERT_EQ(item, disp->actions()[3]);
        EXPECT_EQ(item->text(), QStringLiteral("Com<->Com(&C)"));
        EXPECT_FALSE(v.app.timeline.takesReads()) << "nothing is taken while the window is closed";

        item->trigger();
        QPointer<TimelineWindow> timeline = v.timelineWindows.timelineWindow();
        ASSERT_TRUE(timeline && timeline->isVisible() && v.app.timeline.takesReads());
        EXPECT_EQ(timeline->windowTitle(), QStringLiteral("Com1 <-> Com2"));
        EXPECT_EQ(timeline->parentWidget(), window) << "owned by the main window";
        flow(first, second, "*IDN?\r\n");
        flow(second, first, "OK\r\n");
        ASSERT_TRUE(waitUntil([&] { return timeline->view()->refresh(), timeline->view()->recordsInSight().size() >= 2; }));
        timeline->view()->selectAll();
        const std::string copied = timeline->view()->selectionText();
        EXPECT_NE(copied.find(" 1>2  7  2A 49 44 4E 3F 0D 0A  |*IDN?..|\n"), std::string::npos) << copied;
        EXPECT_NE(copied.find(" 2>1  4  4F 4B 0D 0A  |OK..|\n"), std::string::npos) << copied;

        item->trigger();
        EXPECT_EQ(v.timelineWindows.timelineWindow(), timeline.data()) << "a second trigger raises the same window";

        // The serial window's OK moves port 2 to COM3: the title follows, and back.
        Relay& relay = v.app.relay;
        for (const int com : {2, 1}) {
            PortChoice port2 = choiceFromSettings(relay.serialPort2.settings);
            port2.com = com;
            v.settingsHost.restartPorts(choiceFromSettings(relay.serialPort1.settings), port2);
            EXPECT_EQ(timeline->windowTitle(), com == 2 ? QStringLiteral("Com1 <-> Com3") : QStringLiteral("Com1 <-> Com2"));
        }

        // Closed, it takes nothing; opened again, it is where the user left it, on an empty list.
        timeline->resize(700, 333), timeline->move(40, 60);
        const QRect place = timeline->geometry();
        timeline->close();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(timeline.isNull() && !v.app.timeline.takesReads());
        flow(first, second, "while closed");
        item->trigger();
        ASSERT_NE(v.timelineWindows.timelineWindow(), nullptr);
        EXPECT_EQ(v.timelineWindows.timelineWindow()->geometry(), place);
        EXPECT_TRUE(v.app.timeline.takesReads() && v.app.timeline.extent().empty());
    });
    EXPECT_TRUE(recordedBoxes().empty());
}

// The main window and the commands that need no dialog.
#include <gtest/gtest.h>

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QUrl>

#include "settings/config.h"
#include "shell/qt/desktop.h"
#include "tests/shell/qt/shell_harness.h"

namespace {

// The menu RS232C, popup by popup: item text, command id (its object name), * when checkable.
const char* const kMenu =
    "MENU(&M): SAVE(&S)=700 | LOG Com->Com(&A)=40010 | LOG Com<-Com(&B)=40011 | SERIAL(&S=600 | - "
    "| END(&E)=300 | DISP(&D): ASCII(&A)=40009* | BINARY(&B)=40008* | OPTION(&O): OPTION(&O)=40007 "
    "| ABOUT(&A): ABOUT(&A)=500 | HELP(&H)=40003";

// One run per DMODE: the menu, its check mark moved by the menu, HELP, SAVE, the frame, the clock.
class MainWindow : public ::testing::TestWithParam<int> {};

TEST_P(MainWindow, MenuCheckMarkHelpSaveFixedSizeAndClock) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}, 5, GetParam()));
    std::vector<QUrl> opened;
    setDesktopUrlRecorder([&](const QUrl& url) { opened.push_back(url); });
    recordBoxes();
    runVorlinex([&](QWidget* window) {
        QStringList menu;
        for (QAction* popup : static_cast<QMainWindow*>(window)->menuBar()->actions()) {
            QString prefix = popup->menu()->title() + ": ";
            for (QAction* item : popup->menu()->actions()) {
                menu << prefix + (item->isSeparator() ? QStringLiteral("-")
                                                      : item->text() + "=" + item->objectName() +
                                                            (item->isCheckable() ? "*" : ""));
                prefix.clear();
            }
        }
        EXPECT_EQ(menu.join(" | ").toStdString(), kMenu);
        QAction* binary = mainMenuItem(40008);
        QAction* ascii = mainMenuItem(40009);
        ASSERT_TRUE(binary && ascii);
        const auto marks = [&](bool isBinary) {
            EXPECT_EQ(binary->isChecked(), isBinary);
            EXPECT_EQ(ascii->isChecked(), !isBinary);
            EXPECT_EQ(appOptions.DMODE.load() != 0, isBinary);
        };
        marks(GetParam() != 0);
        for (QAction* item : {ascii, ascii, binary, binary}) {  // twice: the mark must stay
            item->trigger();
            marks(item == binary);
        }
        // HELP without the page: an error box owned by the window; with it: the browser.
        recordedBoxes().clear();  // the start-up's port boxes
        mainMenuItem(40003)->trigger();
        ASSERT_EQ(recordedBoxes().size(), 1u);
        const RecordedBox box = recordedBoxes()[0];
        EXPECT_TRUE(box.icon == BoxIcon::Error && box.owner == BoxOwner::MainWindow &&
                    box.mainWindowPublished);
        EXPECT_NE(box.text.find("Vorlinex.html"), std::string::npos) << box.text;
        dir.write("Vorlinex.html", "<html><body>help</body></html>");
        mainMenuItem(40003)->trigger();
        const QUrl page = QUrl::fromLocalFile(QString::fromStdString(dir.file("Vorlinex.html")));
        EXPECT_EQ(opened, std::vector{page});
        recordedBoxes().clear();
        mainMenuItem(700)->trigger();

        EXPECT_EQ(window->windowTitle(), "Vorlinex v1.01a");
        EXPECT_FALSE(window->windowIcon().isNull());
        const QSize size = window->size();
        window->resize(size * 2);
        EXPECT_EQ(window->size(), size) << "the window is fixed in size";
        auto* clock = window->findChild<QLabel*>("5001.1");
        ASSERT_NE(clock, nullptr);
        EXPECT_TRUE(waitUntil([&] { return clock->text() == QString::fromUtf8("00：00：02"); }))
            << clock->text().toStdString();
    });
    setDesktopUrlRecorder({});
    const std::string ini = dir.read("Vorlinex.ini");
    EXPECT_NE(ini.find("DMODE=1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[DEVICES]"), std::string::npos) << "SAVE keeps the devices";
    ASSERT_EQ(recordedBoxes().size(), 1u);
    EXPECT_EQ(recordedBoxes()[0].text, "Configuration Data Saved");
}

INSTANTIATE_TEST_SUITE_P(FromTheIniFile, MainWindow, ::testing::Values(0, 2),
                         [](const auto& c) { return "DMODE" + std::to_string(c.param); });

}  // namespace

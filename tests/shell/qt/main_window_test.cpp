// The main window as its template and menu describe it, and the commands that need no dialog.
#include <gtest/gtest.h>

#include <QAction>
#include <QGroupBox>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QUrl>

#include "shell/qt/desktop.h"
#include "shell/qt/dialog_units.h"
#include "tests/shell/qt/shell_harness.h"

namespace {

struct MenuRow {
    int popup;        // position of the popup in the menu bar
    const char* popupTitle;
    int position;     // position of the item in its popup, separators counted
    const char* text;
    int id;           // 0 for the separator
    bool checkable;
};

const MenuRow kMenu[] = {
    {0, "MENU(&M)", 0, "SAVE(&S)", 700, false},
    {0, "MENU(&M)", 1, "LOG Com->Com(&A)", 40010, false},
    {0, "MENU(&M)", 2, "LOG Com<-Com(&B)", 40011, false},
    {0, "MENU(&M)", 3, "SERIAL(&S", 600, false},
    {0, "MENU(&M)", 4, "", 0, false},
    {0, "MENU(&M)", 5, "END(&E)", 300, false},
    {1, "DISP(&D)", 0, "ASCII(&A)", 40009, true},
    {1, "DISP(&D)", 1, "BINARY(&B)", 40008, true},
    {2, "OPTION(&O)", 0, "OPTION(&O)", 40007, false},
    {3, "ABOUT(&A)", 0, "ABOUT(&A)", 500, false},
    {3, "ABOUT(&A)", 1, "HELP(&H)", 40003, false},
};

void PrintTo(const MenuRow& row, std::ostream* os) { *os << row.popupTitle << " / " << row.text; }

class MenuRS232C : public ::testing::TestWithParam<MenuRow> {};

TEST_P(MenuRS232C, HoldsTheItemWithItsTextIdAndPlace) {
    const MenuRow& row = GetParam();
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}));
    recordBoxes();
    runVorlinex([&](QWidget* window) {
        QMenuBar* bar = static_cast<QMainWindow*>(window)->menuBar();
        const auto popups = bar->actions();
        ASSERT_EQ(popups.size(), 4);
        QMenu* popup = popups[row.popup]->menu();
        ASSERT_NE(popup, nullptr);
        EXPECT_EQ(popup->title().toStdString(), row.popupTitle);
        const auto items = popup->actions();
        ASSERT_GT(items.size(), row.position);
        QAction* item = items[row.position];
        if (row.id == 0) {
            EXPECT_TRUE(item->isSeparator());
            return;
        }
        EXPECT_EQ(item->text().toStdString(), row.text);
        EXPECT_EQ(item->objectName(), QString::number(row.id));
        EXPECT_EQ(mainMenuItem(row.id), item);
        EXPECT_EQ(item->isCheckable(), row.checkable);
        EXPECT_TRUE(item->isEnabled());
    });
}

INSTANTIATE_TEST_SUITE_P(EveryItem, MenuRS232C, ::testing::ValuesIn(kMenu),
                         [](const auto& info) {
                             return info.param.id == 0 ? std::string("separator")
                                                       : "id" + std::to_string(info.param.id);
                         });

TEST(MenuRS232C, PopupsHoldNothingElse) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}));
    recordBoxes();
    runVorlinex([&](QWidget* window) {
        const auto popups = static_cast<QMainWindow*>(window)->menuBar()->actions();
        ASSERT_EQ(popups.size(), 4);
        const int sizes[4] = {6, 2, 1, 2};
        for (int i = 0; i < 4; ++i) EXPECT_EQ(popups[i]->menu()->actions().size(), sizes[i]);
    });
}

struct ControlRow {
    int id;
    bool button;
    const char* text;
    int x, y, w, h;
    Qt::Alignment alignment;  // statics only
};

const ControlRow kControls[] = {
    {117, true, "Disp", 16, 90, 37, 18, {}},
    {118, true, "Disp", 189, 90, 37, 18, {}},
    {1055, false, "COM", 22, 47, 25, 9, Qt::AlignHCenter | Qt::AlignTop},
    {1056, false, "COM", 197, 48, 23, 8, Qt::AlignHCenter | Qt::AlignTop},
    {1049, false, "", 50, 25, 142, 16, Qt::AlignCenter},
    {1050, false, "", 50, 64, 142, 16, Qt::AlignCenter},
    {1053, false, "", 97, 43, 51, 10, Qt::AlignHCenter | Qt::AlignTop},
    {1054, false, "", 97, 82, 51, 10, Qt::AlignHCenter | Qt::AlignTop},
};

void PrintTo(const ControlRow& row, std::ostream* os) { *os << "control " << row.id; }

class MainTemplate : public ::testing::TestWithParam<ControlRow> {};

// The window is built but not initialised: the template's own texts, before start-up sets any.
TEST_P(MainTemplate, PlacesTheControlInDialogUnitsWithItsText) {
    const ControlRow& row = GetParam();
    QWidget* window = createMainWindow();
    const DialogUnits du(dialogFont());
    QWidget* control = window->findChild<QWidget*>(QString::number(row.id));
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->geometry(), QRect(du.x(row.x), du.y(row.y), du.x(row.w), du.y(row.h)));
    if (row.button) {
        auto* button = qobject_cast<QPushButton*>(control);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text().toStdString(), row.text);
    } else {
        auto* label = qobject_cast<QLabel*>(control);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text().toStdString(), row.text);
        EXPECT_EQ(label->alignment(), row.alignment);
    }
    delete window;
}

INSTANTIATE_TEST_SUITE_P(IDD_DIALOG_MAIN, MainTemplate, ::testing::ValuesIn(kControls),
                         [](const auto& info) { return "id" + std::to_string(info.param.id); });

TEST(MainWindow, OnlyTheDispButtonsAreTabStopsAndTabMovesBetweenThem) {
    QWidget* window = createMainWindow();
    QStringList tabStops;
    for (QWidget* child : static_cast<QMainWindow*>(window)->centralWidget()->findChildren<QWidget*>()) {
        if (child->focusPolicy() & Qt::TabFocus) tabStops << child->objectName();
    }
    tabStops.sort();
    EXPECT_EQ(tabStops, QStringList({"117", "118"}));
    auto* disp1 = window->findChild<QWidget*>("117");
    EXPECT_EQ(disp1->nextInFocusChain(), window->findChild<QWidget*>("118"));
    EXPECT_EQ(window->findChildren<QGroupBox*>().size(), 3);
    delete window;
}

TEST(MainWindow, IsFixedInSizeWithTitleIconAndTwoStatusParts) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}));
    recordBoxes();
    runVorlinex([&](QWidget* window) {
        EXPECT_EQ(window->windowTitle(), "Vorlinex v1.01a");
        EXPECT_FALSE(window->windowIcon().isNull());
        EXPECT_EQ(window->windowIcon().pixmap(32, 32).size(), QSize(32, 32));
        EXPECT_EQ(window->minimumSize(), window->maximumSize());
        EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
        const QSize before = window->size();
        window->resize(before * 2);
        EXPECT_EQ(window->size(), before);

        auto* bar = window->findChild<QStatusBar*>("5001");
        ASSERT_NE(bar, nullptr);
        auto* part0 = bar->findChild<QLabel*>("5001.0");
        auto* part1 = bar->findChild<QLabel*>("5001.1");
        ASSERT_TRUE(part0 && part1);
        EXPECT_EQ(part0->geometry().left(), 0);
        EXPECT_EQ(part0->geometry().right() + 1, 300);
        EXPECT_EQ(part1->geometry().left(), 300);
        EXPECT_EQ(part1->geometry().right() + 1, 550);
        EXPECT_TRUE(part0->text().isEmpty());
    });
}

TEST(MainWindow, TheStatusBarClockRuns) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}));
    recordBoxes();
    runVorlinex([&](QWidget* window) {
        auto* clock = window->findChild<QLabel*>("5001.1");
        ASSERT_NE(clock, nullptr);
        EXPECT_TRUE(waitUntil([&] { return clock->text() == QString::fromUtf8("00：00：02"); }))
            << clock->text().toStdString();
    });
}

TEST(Help, OpensThePageOfTheCurrentDirectoryInTheBrowser) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}));
    dir.write("Vorlinex.html", "<html><body>help</body></html>");
    std::vector<QUrl> opened;
    setDesktopUrlRecorder([&](const QUrl& url) { opened.push_back(url); });
    recordBoxes();
    runVorlinex([&](QWidget*) {
        recordedBoxes().clear();  // the start-up's port boxes
        mainMenuItem(40003)->trigger();
    });
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString::fromStdString(dir.file("Vorlinex.html"))));
    EXPECT_TRUE(recordedBoxes().empty());
    setDesktopUrlRecorder({});
}

TEST(Help, AMissingPageIsReportedWithAnErrorBox) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}));
    std::vector<QUrl> opened;
    setDesktopUrlRecorder([&](const QUrl& url) { opened.push_back(url); });
    recordBoxes();
    runVorlinex([&](QWidget*) {
        recordedBoxes().clear();
        mainMenuItem(40003)->trigger();
    });
    EXPECT_TRUE(opened.empty());
    ASSERT_EQ(recordedBoxes().size(), 1u);
    const RecordedBox& box = recordedBoxes()[0];
    EXPECT_EQ(box.icon, BoxIcon::Error);
    EXPECT_EQ(box.owner, BoxOwner::MainWindow);
    EXPECT_TRUE(box.mainWindowPublished);
    EXPECT_NE(box.text.find("Vorlinex.html"), std::string::npos) << box.text;
    setDesktopUrlRecorder({});
}

TEST(SaveCommand, WritesTheIniFileAndKeepsTheDevicesSection) {
    ScratchDir dir;
    dir.write("Vorlinex.ini", vorlinexIni({}, 5, 0));
    recordBoxes();
    runVorlinex([&](QWidget*) {
        recordedBoxes().clear();
        mainMenuItem(40008)->trigger();
        mainMenuItem(700)->trigger();
    });
    const std::string ini = dir.read("Vorlinex.ini");
    EXPECT_NE(ini.find("DMODE=1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("[DEVICES]"), std::string::npos) << ini;
    ASSERT_EQ(recordedBoxes().size(), 1u);
    EXPECT_EQ(recordedBoxes()[0].text, "Configuration Data Saved");
    EXPECT_EQ(recordedBoxes()[0].icon, BoxIcon::Information);
}

}  // namespace

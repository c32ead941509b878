// IDD_DIALOG_OPTION on real widgets: what it shows, what OK stores and refuses, "登録".
#include "settings/qt/option_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <cstdlib>
#include <filesystem>

#include "settings/config.h"
#include "settings/startup_entry.h"
#include "tests/settings/qt/dialog_test_support.h"
#include "tests/support/pty_cable.h"

namespace {

void setOptions(int rate, int crlf, int datetime, int datetimeval) {
    appOptions.RATE = rate;
    appOptions.CRLF = crlf;
    appOptions.DATETIME = datetime;
    appOptions.DATETIMEVAL = datetimeval;
}

QString editText(const QWidget* d, int id) { return control<QLineEdit>(d, id)->text(); }
void setEdit(const QWidget* d, int id, const char* text) { control<QLineEdit>(d, id)->setText(QString::fromUtf8(text)); }

const char* const kRateError = "RateUpdate Timeの値が不正です。\n1～60を入力してください。";
const char* const kTimeoutError = "通信時刻表示のTimeOut値が不正です。\n1～3600を入力してください。";

TEST(OptionDialog, OpensWithTheOptionsAndTheTemplate) {
    struct Case {
        int crlf;
        int checked;  // radio id, 0 for none
    };
    const Case cases[] = {{0, 1072}, {1, 1071}, {2, 1070}, {5, 0}, {-1, 0}};
    for (const Case& c : cases) {
        setOptions(-1, c.crlf, 0, 60);
        OptionDialog d(nullptr);
        EXPECT_EQ(d.windowTitle(), QStringLiteral("Vorlinex： Option"));
        EXPECT_EQ(editText(&d, 1038), QStringLiteral("4294967295"));  // shown unsigned
        for (int id : {1072, 1071, 1070}) EXPECT_EQ(control<QRadioButton>(&d, id)->isChecked(), id == c.checked) << c.crlf;
        EXPECT_FALSE(control<QCheckBox>(&d, 1073)->isChecked());
        EXPECT_FALSE(control<QLineEdit>(&d, 1039)->isEnabled());
        EXPECT_EQ(editText(&d, 1039), QStringLiteral("60"));
    }
    setOptions(5, 0, 1, 60);
    OptionDialog d(nullptr);
    d.show();
    EXPECT_TRUE(control<QCheckBox>(&d, 1073)->isChecked());
    EXPECT_TRUE(control<QLineEdit>(&d, 1039)->isEnabled());
    EXPECT_EQ(control<QLineEdit>(&d, 1038)->alignment() & Qt::AlignRight, Qt::AlignRight);
    EXPECT_EQ(tabOrder(&d, control(&d, 1)), (QStringList{"1", "2", "1051", "1038", "1039", "1073"}));
    EXPECT_EQ(control<QAbstractButton>(&d, 2)->text(), QStringLiteral("CHANCEL"));
    EXPECT_EQ(control<QAbstractButton>(&d, 1051)->text(), QStringLiteral("登録"));
    const QStringList texts = staticTexts(&d);
    expectTextsUncut(&d);
    for (const char* t : {"OPTION", "スタートアップに登録", "RateUpdate Time", "ログ保存時の改行", "変換なし", "CR 削除", "LF 削除",
                          "通信時間を付加する。", "通信時間付加までのTimeOut。"}) {
        EXPECT_TRUE(texts.contains(QString::fromUtf8(t))) << t;
    }
}

TEST(OptionDialog, TheTimeStampBoxSwitchesItsEdit) {
    setOptions(5, 0, 0, 60);
    OptionDialog d(nullptr);
    d.show();
    click(&d, 1073);
    EXPECT_TRUE(control<QLineEdit>(&d, 1039)->isEnabled());
    click(&d, 1073);
    EXPECT_FALSE(control<QLineEdit>(&d, 1039)->isEnabled());
}

TEST(OptionDialog, RateUpdateTimeIsAcceptedFrom1To60Only) {
    struct Case {
        const char* text;
        int stored;  // 0: refused
    };
    const Case cases[] = {{"0", 0},  {"1", 1},     {"60", 60},          {"61", 0},          {"abc", 0},
                          {"", 0},   {"-5", 0},    {"5x", 0},           {" 7 ", 7},         {"4294967297", 0},
                          {"4294967301", 0}, {"99999999999999999999", 0}, {"+5", 0}};
    for (const Case& c : cases) {
        setOptions(5, 0, 0, 60);
        BoxLog log;
        OptionDialog d(nullptr);
        d.show();
        setEdit(&d, 1038, c.text);
        click(&d, 1);
        if (c.stored == 0) {
            ASSERT_EQ(log.boxes.size(), 1u) << c.text;
            EXPECT_EQ(log.boxes[0].text, kRateError);
            EXPECT_EQ(log.boxes[0].icon, BoxIcon::Error);
            EXPECT_EQ(log.boxes[0].owner, BoxOwner::MainWindow);
            EXPECT_TRUE(d.isVisible()) << c.text;
            EXPECT_EQ(appOptions.RATE.load(), 5) << c.text;
        } else {
            EXPECT_TRUE(log.boxes.empty()) << c.text;
            EXPECT_FALSE(d.isVisible()) << c.text;
            EXPECT_EQ(d.result(), QDialog::Accepted);
            EXPECT_EQ(appOptions.RATE.load(), c.stored) << c.text;
        }
    }
}

TEST(OptionDialog, TheTimeOutIsAcceptedFrom1To3600WhileTheStampIsOn) {
    struct Case {
        const char* text;
        int stored;
    };
    const Case cases[] = {{"0", 0}, {"1", 1}, {"3600", 3600}, {"3601", 0}, {"x", 0}, {"", 0}, {"-1", 0}};
    for (const Case& c : cases) {
        setOptions(5, 0, 1, 60);
        BoxLog log;
        OptionDialog d(nullptr);
        d.show();
        setEdit(&d, 1039, c.text);
        click(&d, 1);
        if (c.stored == 0) {
            ASSERT_EQ(log.boxes.size(), 1u) << c.text;
            EXPECT_EQ(log.boxes[0].text, kTimeoutError);
            EXPECT_EQ(log.boxes[0].icon, BoxIcon::Error);
            EXPECT_EQ(log.boxes[0].owner, BoxOwner::MainWindow);
            EXPECT_TRUE(d.isVisible());
            EXPECT_EQ(appOptions.DATETIMEVAL.load(), 60);
        } else {
            EXPECT_TRUE(log.boxes.empty()) << c.text;
            EXPECT_FALSE(d.isVisible());
            EXPECT_EQ(appOptions.DATETIMEVAL.load(), c.stored);
        }
    }
}

TEST(OptionDialog, WhatPrecedesABadTimeOutIsStoredAndStaysAfterCancel) {
    setOptions(5, 0, 0, 60);
    BoxLog log;
    OptionDialog d(nullptr);
    d.show();
    setEdit(&d, 1038, "10");
    click(&d, 1070);  // CR 削除
    click(&d, 1073);
    setEdit(&d, 1039, "0");
    click(&d, 1);
    ASSERT_EQ(log.boxes.size(), 1u);
    EXPECT_EQ(log.boxes[0].text, kTimeoutError);
    EXPECT_TRUE(d.isVisible());
    click(&d, 2);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_EQ(appOptions.RATE.load(), 10);
    EXPECT_EQ(appOptions.CRLF.load(), 2);
    EXPECT_EQ(appOptions.DATETIME.load(), 1);
    EXPECT_EQ(appOptions.DATETIMEVAL.load(), 60);
}

TEST(OptionDialog, WithTheStampOffTheTimeOutIsNotReadAndUnknownLineEndsAreKept) {
    setOptions(5, 5, 1, 60);
    BoxLog log;
    OptionDialog d(nullptr);
    d.show();
    click(&d, 1073);  // off
    setEdit(&d, 1039, "not a number");
    click(&d, 1);
    EXPECT_TRUE(log.boxes.empty());
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(appOptions.DATETIME.load(), 0);
    EXPECT_EQ(appOptions.DATETIMEVAL.load(), 60);
    EXPECT_EQ(appOptions.CRLF.load(), 5);
}

TEST(OptionDialog, RadioButtonsStoreTheirLineEnd) {
    for (auto [id, value] : {std::pair{1072, 0}, std::pair{1071, 1}, std::pair{1070, 2}}) {
        setOptions(5, 7, 0, 60);
        OptionDialog d(nullptr);
        d.show();
        click(&d, id);
        click(&d, 1);
        EXPECT_EQ(appOptions.CRLF.load(), value) << id;
    }
}

TEST(OptionDialog, CancelAndEscapeStoreNothing) {
    for (bool escape : {false, true}) {
        setOptions(5, 0, 0, 60);
        BoxLog log;
        OptionDialog d(nullptr);
        d.show();
        setEdit(&d, 1038, "30");
        click(&d, 1071);
        click(&d, 1073);
        setEdit(&d, 1039, "100");
        if (escape) {
            pressEscape(&d);
        } else {
            click(&d, 2);
        }
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(appOptions.RATE.load(), 5);
        EXPECT_EQ(appOptions.CRLF.load(), 0);
        EXPECT_EQ(appOptions.DATETIME.load(), 0);
        EXPECT_EQ(appOptions.DATETIMEVAL.load(), 60);
        EXPECT_TRUE(log.boxes.empty());
    }
}

TEST(OptionDialog, RegisterWritesTheAutostartEntryAndSaysSo) {
    ScratchDir dir;
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    setOptions(5, 0, 0, 60);
    BoxLog log;
    OptionDialog d(nullptr);
    d.show();
    click(&d, 1051);
    click(&d, 1051);
    ASSERT_EQ(log.boxes.size(), 2u);
    for (const BoxRequest& box : log.boxes) {
        EXPECT_EQ(box.text, "スタートアップへ登録しました。");
        EXPECT_EQ(box.icon, BoxIcon::Information);
        EXPECT_EQ(box.owner, BoxOwner::MainWindow);
    }
    const std::string entry = dir.read("config/autostart/Vorlinex.desktop");
    EXPECT_NE(entry.find("\nExec=" + std::filesystem::canonical("/proc/self/exe").string() + "\n"), std::string::npos);
    EXPECT_EQ(entry.find("Path="), std::string::npos);
    EXPECT_TRUE(d.isVisible());

    // A configuration folder under a plain file cannot be made.
    dir.write("file", "x");
    setenv("XDG_CONFIG_HOME", dir.file("file/config").c_str(), 1);
    click(&d, 1051);
    ASSERT_EQ(log.boxes.size(), 3u);
    EXPECT_EQ(log.boxes[2].text, "スタートアップへ登録できません。");
    EXPECT_EQ(log.boxes[2].icon, BoxIcon::Information);
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(appOptions.RATE.load(), 5);
}

}  // namespace

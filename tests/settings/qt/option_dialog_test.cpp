// IDD_DIALOG_OPTION on real widgets: what it shows, what OK stores and refuses, "登録".
#include "settings/qt/option_dialog.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QRadioButton>
#include <cstdlib>
#include <filesystem>

#include "settings/config.h"
#include "tests/settings/qt/dialog_test_support.h"
#include "tests/support/pty_cable.h"

namespace {

void setOptions(int rate, int crlf, int datetime, int datetimeval) {
    appOptions.RATE = rate;
    appOptions.CRLF = crlf;
    appOptions.DATETIME = datetime;
    appOptions.DATETIMEVAL = datetimeval;
}

void setEdit(const QWidget* d, int id, const char* text) { control<QLineEdit>(d, id)->setText(QString::fromUtf8(text)); }

const char* const kRateError = "RateUpdate Timeの値が不正です。\n1～60を入力してください。";
const char* const kTimeoutError = "通信時刻表示のTimeOut値が不正です。\n1～3600を入力してください。";

TEST(OptionDialog, OpensWithTheStoredOptions) {
    const std::pair<int, int> cases[] = {{0, 1072}, {1, 1071}, {2, 1070}};  // CRLF, the radio it checks
    for (auto [crlf, checked] : cases) {
        setOptions(5, crlf, 0, 60);
        OptionDialog d(nullptr);
        d.show();
        for (int id : {1072, 1071, 1070}) EXPECT_EQ(control<QRadioButton>(&d, id)->isChecked(), id == checked) << crlf;
        EXPECT_FALSE(control<QLineEdit>(&d, 1039)->isEnabled());
        click(&d, 1073);
        EXPECT_TRUE(control<QLineEdit>(&d, 1039)->isEnabled());
    }
}

TEST(OptionDialog, OkAcceptsOnlyValuesInRange) {
    struct Case {
        int edit;
        const char* text;
        int stored;  // 0: refused
    };
    const Case cases[] = {{1038, "0", 0},  {1038, "1", 1},       {1038, "60", 60},     {1038, "61", 0},
                          {1038, "abc", 0}, {1038, "4294967297", 0}, {1039, "0", 0},    {1039, "1", 1},
                          {1039, "3600", 3600}, {1039, "3601", 0}, {1039, "x", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.edit) + " " + c.text);
        setOptions(5, 0, 1, 60);
        BoxLog log;
        OptionDialog d(nullptr);
        d.show();
        setEdit(&d, c.edit, c.text);
        click(&d, 1);
        const auto& stored = c.edit == 1038 ? appOptions.RATE : appOptions.DATETIMEVAL;
        if (c.stored == 0) {
            ASSERT_EQ(log.boxes.size(), 1u);
            EXPECT_EQ(log.boxes[0].text, c.edit == 1038 ? kRateError : kTimeoutError);
            EXPECT_EQ(log.boxes[0].icon, BoxIcon::Error);
            EXPECT_TRUE(d.isVisible());
            EXPECT_EQ(stored.load(), c.edit == 1038 ? 5 : 60);
        } else {
            EXPECT_TRUE(log.boxes.empty());
            EXPECT_FALSE(d.isVisible());
            EXPECT_EQ(stored.load(), c.stored);
        }
    }
}

TEST(OptionDialog, WhatPrecedesABadTimeOutIsStoredAndAnOffStampSkipsIt) {
    setOptions(5, 5, 0, 60);  // a line-end code no radio stands for
    BoxLog log;
    OptionDialog d(nullptr);
    d.show();
    for (int id : {1072, 1071, 1070}) EXPECT_FALSE(control<QRadioButton>(&d, id)->isChecked());
    setEdit(&d, 1038, "10");
    click(&d, 1073);
    setEdit(&d, 1039, "0");
    click(&d, 1);
    ASSERT_EQ(log.boxes.size(), 1u);
    EXPECT_EQ(log.boxes[0].text, kTimeoutError);
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(appOptions.RATE.load(), 10);
    EXPECT_EQ(appOptions.DATETIME.load(), 1);
    EXPECT_EQ(appOptions.DATETIMEVAL.load(), 60);
    click(&d, 1073);  // off: the bad time-out is no longer read
    click(&d, 1);
    EXPECT_EQ(log.boxes.size(), 1u);
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(appOptions.DATETIME.load(), 0);
    EXPECT_EQ(appOptions.DATETIMEVAL.load(), 60);
    EXPECT_EQ(appOptions.CRLF.load(), 5);
}

TEST(OptionDialog, RegisterWritesTheAutostartEntryAndSaysWhetherItCould) {
    ScratchDir dir;
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    BoxLog log;
    OptionDialog d(nullptr);
    d.show();
    click(&d, 1051);
    const std::string entry = dir.read("config/autostart/Vorlinex.desktop");
    EXPECT_NE(entry.find("\nExec=" + std::filesystem::canonical("/proc/self/exe").string() + "\n"), std::string::npos);
    dir.write("file", "x");  // a configuration folder under a plain file cannot be made
    setenv("XDG_CONFIG_HOME", dir.file("file/config").c_str(), 1);
    click(&d, 1051);
    ASSERT_EQ(log.boxes.size(), 2u);
    EXPECT_EQ(log.boxes[0].text, "スタートアップへ登録しました。");
    EXPECT_EQ(log.boxes[1].text, "スタートアップへ登録できません。");
    EXPECT_EQ(log.boxes[1].icon, BoxIcon::Information);
    EXPECT_TRUE(d.isVisible());
}

}  // namespace

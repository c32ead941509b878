// IDD_DIALOG_OPTION on real widgets: what it shows, what OK stores and refuses, "登録".
#include "settings/qt/option_dialog.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QRadioButton>
#include <cstdlib>

#include "settings/config.h"
#include "shell/qt/main_window.h"
#include "tests/settings/qt/dialog_test_support.h"
#include "tests/support/pty_cable.h"

namespace {

// Each case makes its own application object, whose options the dialog edits.
class OptionDialogTest : public ::testing::Test {
protected:
    void setOptions(int rate, int crlf, int datetime, int datetimeval) {
        AppOptions& appOptions = v.app.relay.appOptions;
        appOptions.RATE = rate, appOptions.CRLF = crlf, appOptions.DATETIME = datetime, appOptions.DATETIMEVAL = datetimeval;
    }
    Vorlinex v;
};

void setEdit(const QWidget* d, int id, const char* text) { control<QLineEdit>(d, id)->setText(QString::fromUtf8(text)); }

const char* const kRateError = "RateUpdate Timeの値が不正です。\n1～60を入力してください。";
const char* const kTimeoutError = "通信時刻表示のTimeOut値が不正です。\n1～3600を入力してください。";

TEST_F(OptionDialogTest, OkAcceptsOnlyValuesInRange) {
    const std::tuple<int, const char*, int> cases[] = {  // edit, text, value stored (0: refused)
        {1038, "0", 0}, {1038, "1", 1},    {1038, "60", 60},     {1038, "61", 0}, {1038, "4294967297", 0},
        {1039, "x", 0}, {1039, "1", 1},    {1039, "3600", 3600}, {1039, "3601", 0}};
    for (const auto& [edit, text, value] : cases) {
        SCOPED_TRACE(std::to_string(edit) + " " + text);
        setOptions(5, 0, 1, 60);
        BoxLog log(v.boxes);
        OptionDialog d(v.settingsHost, nullptr);
        d.show();
        setEdit(&d, edit, text);
        click(&d, 1);
        const bool rate = edit == 1038;
        EXPECT_EQ((rate ? v.app.relay.appOptions.RATE : v.app.relay.appOptions.DATETIMEVAL).load(), value != 0 ? value : rate ? 5 : 60);
        EXPECT_EQ(d.isVisible(), value == 0);
        ASSERT_EQ(log.boxes.size(), value == 0 ? 1u : 0u);
        if (value == 0) {
            EXPECT_TRUE(log.boxes[0].text == (rate ? kRateError : kTimeoutError) && log.boxes[0].icon == BoxIcon::Error);
        }
    }
}

// "登録" says whether it could write the entry; then OK stores what precedes a bad time-out.
TEST_F(OptionDialogTest, RegisterReportsAndOkStoresWhatPrecedesABadTimeOut) {
    ScratchDir dir;
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    setOptions(5, 5, 0, 60);  // a line-end code no radio stands for
    BoxLog log(v.boxes);
    OptionDialog d(v.settingsHost, nullptr);
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
    EXPECT_TRUE(v.app.relay.appOptions.RATE == 10 && v.app.relay.appOptions.DATETIME == 1 && v.app.relay.appOptions.DATETIMEVAL == 60);
    click(&d, 1073);  // off: the bad time-out is no longer read
    click(&d, 1);
    EXPECT_EQ(log.boxes.size(), 1u);
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(v.app.relay.appOptions.DATETIME == 0 && v.app.relay.appOptions.DATETIMEVAL == 60 && v.app.relay.appOptions.CRLF == 5);
}

}  // namespace

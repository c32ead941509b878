// The modal dialog IDD_DIALOG_OPTION: rate period, line ends of the log, time stamps, and the
// start-up entry.
#pragma once

#include <QDialog>
#include <cstdint>

#include "relay/app_options.h"

class QString;
class QWidget;
struct SettingsDialogHost;

// The option dialog's controls, by id (each one's object name is its id).
enum OptionControl : int {
    kOptionOk = 1,
    kOptionCancel = 2,
    kOptionRate = 1038,          // RateUpdate Time
    kOptionStampTimeout = 1039,  // the quiet time before a time stamp
    kOptionRegister = 1051,      // 登録: the start-up entry
    kOptionDropCr = 1070,        // the log's line ends: CR removed,
    kOptionDropLf = 1071,        // LF removed,
    kOptionKeepLineEnds = 1072,  // or kept
    kOptionStamp = 1073,         // time stamps on
};

class OptionDialog : public QDialog {
public:
    OptionDialog(const SettingsDialogHost& host, QWidget* owner);

private:
    void acceptOptions();
    void registerStartup();

    AppOptions appOptions;  // a copy of the running ones; OK hands it back
    const SettingsDialogHost& host_;
};

// The number in an edit as an unsigned decimal: surrounding blanks allowed; empty text, any
// other character, a sign or a value past 32 bits read as 0.
uint32_t dialogNumber(const QString& text);

// Runs the dialog modally over `owner` (the main window).
void runOptionDialog(const SettingsDialogHost& host, QWidget* owner);

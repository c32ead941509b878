// The modal dialog IDD_DIALOG_OPTION: rate period, line ends of the log, time stamps, and the
// start-up entry.
#pragma once

#include <QDialog>
#include <cstdint>

#include "relay/app_options.h"

class QString;
class QWidget;
struct SettingsDialogHost;

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

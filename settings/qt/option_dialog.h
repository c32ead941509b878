// The modal dialog IDD_DIALOG_OPTION: rate period, line ends of the log, time stamps, and the
// start-up entry.
#pragma once

#include <QDialog>
#include <cstdint>

class QString;
class QWidget;
struct AppOptions;
struct SettingsDialogHost;

class OptionDialog : public QDialog {
public:
    OptionDialog(const SettingsDialogHost& host, QWidget* owner);

private:
    void acceptOptions();
    void registerStartup();

    AppOptions& appOptions;  // the running relay's, edited in place by OK
    const SettingsDialogHost& host_;
};

// The number in an edit as an unsigned decimal: surrounding blanks allowed; empty text, any
// other character, a sign or a value past 32 bits read as 0.
uint32_t dialogNumber(const QString& text);

// Runs the dialog modally over `owner` (the main window).
void runOptionDialog(const SettingsDialogHost& host, QWidget* owner);

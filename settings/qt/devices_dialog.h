// The modal devices window: which device each of COM1..COM6 opens, written to the DEVICES
// section of Vorlinex.ini and applied by reopening the ports.
#pragma once

#include <QDialog>
#include <array>
#include <string>

class QComboBox;
class QWidget;
struct SettingsDialogHost;

class DevicesDialog : public QDialog {
public:
    DevicesDialog(const SettingsDialogHost& host, QWidget* owner);

    // The editable list of COMn (1..6), or null.
    QComboBox* deviceCombo(int comNumber) const;
    // The paths the six rows stand for now: an entry of the list stands for its path, typed
    // text for itself, an empty row for the default /dev/ttyS(n-1).
    std::array<std::string, 6> chosenPaths() const;

private:
    void acceptPaths();

    const SettingsDialogHost& host_;
};

// Runs the window modally over `owner` (the main window).
void runDevicesDialog(const SettingsDialogHost& host, QWidget* owner);

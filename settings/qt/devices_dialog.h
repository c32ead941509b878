// The modal devices window: which device each of COM1..COM6 opens. OK hands the six paths to the
// host, which writes them to the DEVICES section of Vorlinex.ini and reopens the ports.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <array>
#include <string>

class QComboBox;
class QWidget;
struct SettingsDialogHost;

// The devices window's buttons, by id (each one's object name is its id); its lists are named
// COM1..COM6.
enum DevicesControl : int {
    kDevicesOk = 1,
    kDevicesCancel = 2,
};

class DevicesDialog : public QDialog {
public:
    DevicesDialog(const SettingsDialogHost& host, QWidget* owner);

    // The editable list of COMn (1..6), or null.
    QComboBox* deviceCombo(int comNumber) const;
    // The paths the six rows stand for now: a row as it was opened for the bytes it was opened
    // with, an entry of the list for its path, typed text for itself in the file-name encoding,
    // an empty row for the default /dev/ttyS(n-1).
    std::array<std::string, 6> chosenPaths() const;

private:
    void acceptPaths();

    const SettingsDialogHost& host_;
    // Each row's path as the program had it, and as the row showed it then. A path is bytes that
    // need not be text in any encoding: a row nobody changed gives back exactly these bytes.
    std::array<QByteArray, 6> openedPaths_;
    std::array<QString, 6> openedTexts_;
};

// Runs the window modally over `owner` (the main window).
void runDevicesDialog(const SettingsDialogHost& host, QWidget* owner);

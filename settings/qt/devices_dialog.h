// The modal devices window: which device each of COM1..COM6 opens. OK hands the six paths to the
// host, which writes them to the DEVICES section of Vorlinex.ini and reopens the ports.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <array>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QWidget;
struct SettingsDialogHost;

// The devices window's buttons, by id (each one's object name is its id); its lists are named
// COM1..COM6.
enum DevicesControl : int {
    kDevicesOk = 1,
    kDevicesCancel = 2,
};

// The network port form's controls, by id (each one's object name is its id).
enum NetworkPortControl : int {
    kNetworkOk = 11,
    kNetworkCancel = 12,
    kNetworkRfc2217 = 13,
    kNetworkTcp = 14,
    kNetworkHost = 15,
    kNetworkPort = 16,
    kNetworkWhy = 17,  // why OK is not offered yet, or the path OK puts in the row
};

// The form that the "network port…" entry ending each row's list opens: a port on another machine
// by its kind, host and port, so that nobody needs to know how its path is written.
class NetworkPortForm : public QDialog {
public:
    // Filled from `path` when that names a network port; empty otherwise.
    NetworkPortForm(const QString& path, QWidget* owner);

    // The path the form stands for (rfc2217://HOST:PORT, an IPv6 host in brackets), or "" while
    // the host or the port is not one.
    QString path() const;

private:
    void check();

    QRadioButton* rfc2217_;
    QRadioButton* tcp_;
    QLineEdit* host_;
    QLineEdit* port_;
    QLabel* why_;
    QPushButton* ok_;
};

class DevicesDialog : public QDialog {
public:
    DevicesDialog(const SettingsDialogHost& host, QWidget* owner);

    // The editable list of COMn (1..6), or null.
    QComboBox* deviceCombo(int comNumber) const;
    // The paths the six rows stand for now: a row as it was opened for the bytes it was opened
    // with, an entry of the list for its path, typed text for itself in the file-name encoding,
    // an empty row for the system's default device of COMn (defaultComDevicePaths).
    std::array<std::string, 6> chosenPaths() const;

private:
    void acceptPaths();
    // A row's list entry chosen, by the user or by the program.
    void rowChosen(int comNumber, int index);


    const SettingsDialogHost& host_;
    // Each row's path as the program had it, and as the row showed it then. A path is bytes that
    // need not be text in any encoding: a row nobody changed gives back exactly these bytes.
    std::array<QByteArray, 6> openedPaths_;
    std::array<QString, 6> openedTexts_;
    // What each row shows, but never the network entry's own text: what Cancel of the form
    // brings back.
    std::array<QString, 6> shownTexts_;
};

// Runs the window modally over `owner` (the main window).
void runDevicesDialog(const SettingsDialogHost& host, QWidget* owner);

// The modal dialog IDD_DIALOG_SERIAL: both ports' settings, applied by reopening the ports.
#pragma once

#include <QDialog>

#include "settings/config.h"

class QComboBox;
class QWidget;
struct PortChoice;
struct SettingsDialogHost;

// The serial dialog's controls, by id (each one's object name is its id). Port 2's column is
// not numbered in the order of its rows.
enum SerialControl : int {
    kSerialOk = 1,
    kSerialCancel = 2,
    kSerialCom1 = 2001,
    kSerialBps1 = 2002,
    kSerialBits1 = 2003,
    kSerialParity1 = 2004,
    kSerialStop1 = 2005,
    kSerialFlow1 = 2006,
    kSerialCom2 = 2007,
    kSerialBps2 = 2008,
    kSerialBits2 = 2009,
    kSerialFlow2 = 2010,
    kSerialParity2 = 2011,
    kSerialStop2 = 2012,
};

class SerialDialog : public QDialog {
public:
    SerialDialog(const SettingsDialogHost& host, QWidget* owner);

    // A combo box by its control id (kSerialCom1..kSerialStop2), or null.
    QComboBox* combo(int controlId) const;
    // The selections of port 1's or port 2's column.
    PortChoice choiceOf(int port) const;

private:
    void acceptChoices();

    const SettingsDialogHost& host_;
    const Config config_;  // what the ports run by as the dialog opens
};

// Runs the dialog modally over `owner` (the main window).
void runSerialDialog(const SettingsDialogHost& host, QWidget* owner);

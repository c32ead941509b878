// The modal dialog IDD_DIALOG_SERIAL: both ports' settings, applied by reopening the ports.
#pragma once

#include <QDialog>

#include "settings/config.h"

class QComboBox;
class QWidget;
struct PortChoice;
struct SettingsDialogHost;

class SerialDialog : public QDialog {
public:
    SerialDialog(const SettingsDialogHost& host, QWidget* owner);

    // A combo box by its control id (2001..2012), or null.
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

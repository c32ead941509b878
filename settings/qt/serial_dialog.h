// The modal dialog IDD_DIALOG_SERIAL.
#pragma once

class QWidget;

void runSerialDialog(QWidget* owner);

// The modal dialog IDD_DIALOG_OPTION.
#pragma once

class QWidget;

void runOptionDialog(QWidget* owner);

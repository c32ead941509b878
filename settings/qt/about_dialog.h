// The modal dialog IDD_DIALOG_ABOUT.
#pragma once

class QWidget;

void runAboutDialog(QWidget* owner);

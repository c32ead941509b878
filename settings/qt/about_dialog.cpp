#include "settings/qt/about_dialog.h"

// STUB: filled by the settings dialogs work.
void runAboutDialog(QWidget*) {}

#include "settings/qt/option_dialog.h"

// STUB: filled by the settings dialogs work.
void runOptionDialog(QWidget*) {}

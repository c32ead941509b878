#include "settings/qt/serial_dialog.h"

// STUB: filled by the settings dialogs work.
void runSerialDialog(QWidget*) {}

#include "display/qt/display_window.h"

#include <QString>

// STUB: filled by the display window work.
void openDisplayWindow(int) {}
void setDisplayWindowTitle(int, const QString&) {}

#include "shell/qt/main_window.h"

// STUB: filled by the shell work.
QWidget* publishedMainWindow() { return nullptr; }
QAction* mainMenuItem(int) { return nullptr; }
void setMainControlText(int, const QString&) {}

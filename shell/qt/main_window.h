// The main window (template IDD_DIALOG_MAIN) and what other windows may ask of it.
#pragma once

class QAction;
class QString;
class QWidget;

// The main window once it is published (after its initialisation); null before.
QWidget* publishedMainWindow();
// The RS232C menu item with the given command id (its object name is the id), or null.
QAction* mainMenuItem(int commandId);
// Sets the text of a numbered control of the main window (1053, 1054, 1055, 1056 ...).
void setMainControlText(int controlId, const QString& text);

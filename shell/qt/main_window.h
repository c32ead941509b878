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

// Asks the kernel again whether a default port has no UART behind it, then shows the ports' status.
void refreshMissingUartNotice();
// The status bar's first part: unplugged adapters and undelivered bytes, then the UART notice.
void showPortStatus();

// Builds the window from its template with the menu RS232C and status bar 5001; hidden, not
// yet published, not initialised.
QWidget* createMainWindow();
// The start-up sequence (settings, ports, workers, timers, check mark). Boxes raised here have
// no owner, because the window is not published yet. false when it had to stop early: the
// shutdown began while a box was up.
bool initialiseMainWindow(QWidget* mainWindow);
// Makes the window the owner of later boxes and dialogs; null withdraws it.
void publishMainWindow(QWidget* mainWindow);

// A menu or button command, by id (2 and 300 shut down; unknown ids are ignored).
void dispatchMainCommand(int commandId);
// Timer 119: one frame of both arrow strips.
void updateActivityArrows();
// HELP(&H): the help page Vorlinex.html of the current directory in the desktop's browser.
void openHelp();

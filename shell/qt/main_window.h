// The application object and its main window (template IDD_DIALOG_MAIN): made in the entry
// function, it owns the relay, the displays, the captures and every window.
#pragma once

#include <atomic>

#include "capture/qt/log_window.h"
#include "display/qt/display_window.h"
#include "display/qt/timeline_window.h"
#include "settings/qt/dialog_host.h"
#include "shell/session.h"
#include "shell/box_request.h"
#include "shell/qt/command_ids.h"
#include "shell/qt/desktop.h"

class QAction;
class QString;
class QWidget;

// The main window's controls, by id (each one's object name is its id); its buttons are named
// after their commands.
enum MainControl : int {
    kMainArrowTimer = 119,  // the timer that moves the arrow strips
    kMainArrows1 = 1049,    // the arrow strips of channel 1 and 2
    kMainArrows2 = 1050,
    kMainRate1 = 1053,      // the rate figures of channel 1 and 2
    kMainRate2 = 1054,
    kMainCom1 = 1055,       // the COM labels of port 1 and 2
    kMainCom2 = 1056,
    kMainStatusBar = 5001,
};

// The object name of the status bar's part 0 (the ports) or 1 (the clock): "5001.0", "5001.1".
QString statusPartName(int part);

class Vorlinex {
public:
    Vorlinex();
    Vorlinex(const Vorlinex&) = delete;
    Vorlinex& operator=(const Vorlinex&) = delete;

    // Shows every message box of the program; bound by the entry function before start-up.
    BoxFunction boxes;
    // Hands a link (help page, mail, web) to the desktop; tests record them instead.
    std::function<void(const QUrl& url)> openUrl = openDesktopUrl;
    Session app;
    SettingsDialogHost settingsHost;
    DisplayWindows displayWindows;
    CaptureWindows captureWindows;
    TimelineWindows timelineWindows;
    // The timeline window's view and decoding (DECODE): read at start, kept as the user changes
    // them; and whether the last keeping failed, so that a folder that refuses it is told once.
    DecodeSettings decodeSettings;
    bool decodeSaveFailed = false;

    // The main window once it is published (after its initialisation); null before.
    QWidget* publishedMainWindow() const;
    // The RS232C menu item with the given command id (its object name is the id), or null.
    QAction* mainMenuItem(int commandId) const;
    // Sets the text of a numbered control of the main window (1053, 1054, 1055, 1056 ...).
    void setMainControlText(int controlId, const QString& text);
    // The main window's COM labels and the display windows' titles, as the ports stand now.
    void showPortLabels();
    // Asks the kernel again whether a default port has no UART behind it, then shows the ports'
    // status. The window is the published one unless given (at start-up it is not yet).
    void refreshMissingUartNotice(QWidget* mainWindow = nullptr);
    // The status bar's first part: unplugged adapters and undelivered bytes, then the UART notice.
    void showPortStatus(QWidget* mainWindow = nullptr);
    // Both ports have been reopened: labels, titles, the status bar and the reconnect step follow.
    void portsRestarted();
    // The reconnect step runs while a port is lost or away, and rests while both are present.
    void watchPorts(QWidget* mainWindow = nullptr);

    // Builds the window from its template with the menu RS232C and status bar 5001; hidden,
    // not yet published, not initialised.
    QWidget* createMainWindow();
    // The start-up sequence (settings, ports, workers, timers, check mark). Boxes raised here
    // have no owner, because the window is not published yet. false when it had to stop early:
    // the shutdown began while a box was up.
    bool initialiseMainWindow(QWidget* mainWindow);
    // Makes the window the owner of later boxes and dialogs; null withdraws it.
    void publishMainWindow(QWidget* mainWindow);

    // A menu or button command, by id (2 and 300 shut down; unknown ids are ignored).
    void dispatchMainCommand(int commandId);
    // Timer 119: one frame of both arrow strips.
    void updateActivityArrows();
    // MENU "Share live (PCAP-over-IP)...": asks for the address and starts the PCAP-over-IP
    // server, shown in the status bar while it runs; chosen again, stops it.
    void shareLive();
    std::string lastShareAddress = "127.0.0.1:57012";  // the dialog's value, as last started
    // HELP(&H): the help page Vorlinex.html of the current directory, else the installed one
    // (help_page.h), in the desktop's browser.
    void openHelp();

    // The shutdown sequence (END, Esc, the close box, SIGTERM, SIGINT all run this).
    void shutdownVorlinex();
    // Whether the shutdown sequence has begun (it runs once; later commands are ignored).
    bool shutdownStarted() const { return shuttingDown.load(); }

private:
    // Read by the box function and other windows; written by the UI thread only.
    std::atomic<QWidget*> publishedWindow{nullptr};
    std::atomic<bool> shuttingDown{false};
};

// The application object whose main window this is (made by createMainWindow).
Vorlinex& vorlinexOf(QWidget* mainWindow);

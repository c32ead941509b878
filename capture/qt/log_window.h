// Starting a capture (the LOG menu items A, B and C) and its log window (IDD_DIALOG_LOG1 / _LOG2 /
// _LOG3).
#pragma once

#include <QDialog>
#include <QFont>
#include <QPointer>
#include <QRect>
#include <QString>
#include <array>
#include <functional>
#include <optional>

#include "capture/capture_file.h"

class Captures;
class QWidget;
struct Relay;

// What the capture's windows take from the application that hosts them; set once at start-up.
struct CaptureWindowHost {
    std::function<QWidget*()> owner;  // of the file dialog, its question and the log window
    // Greys (false) or restores the menu item that starts a capture (1, 2 or kCombinedCapture).
    std::function<void(int capture, bool enabled)> enableMenuItem;
    std::function<QFont()> dialogFont;
    // A rectangle in dialog units of the font, in pixels.
    std::function<QRect(const QFont& font, int left, int top, int width, int height)> dialogRect;
    // Takes Esc and Enter from a window that must not act on them.
    std::function<void(QDialog& window)> keepDialogKeys;
    // Tell the user that a capture could not be opened, or ended early.
    std::function<void(const std::string& fullPath, const CaptureOpenFailure& failure)> reportOpenFailure;
    std::function<void(const CaptureFailure& failure)> reportFailure;
    // Asks whether the chosen file, which does not exist yet, is to be made: true makes it.
    std::function<bool(QWidget* owner, const QString& fullPath)> askToCreate;
};

// Where a capture's channel is asked for: both directions in one file, read order kept.
constexpr int kCombinedCapture = 3;

// The log window's controls, by id (each one's object name is its id).
enum LogControl : int {
    kLogClose = 1009,      // CLOSE
    kLogFileName = 1065,   // the frame titled with the file's name
    kLogByteCount = 1066,  // the captured bytes
    kLogDirection = 1067,  // where the data come from and go to
};

// The file a capture goes into: the full path, or nothing when the user cancelled.
using CaptureFileChooser = std::function<std::optional<QString>(int channel)>;
// Asked when the chosen file does not exist yet: true creates it, false goes back to the dialog.
using CreateFilePrompt = std::function<bool(const QString& fullPath)>;

// The captures' windows, made by the application that owns the relay and the captures (which
// outlive the windows).
class CaptureWindows {
public:
    CaptureWindows(CaptureWindowHost host, Relay& relay, Captures& captures);
    CaptureWindows(const CaptureWindows&) = delete;
    CaptureWindows& operator=(const CaptureWindows&) = delete;

    // The file dialog, the open, the greyed menu item and the log window; channel 1, 2 or
    // kCombinedCapture.
    void startCapture(int channel);

    // Replaces the file dialog (tests, tools that run the program without a person); an empty
    // function brings the dialog back.
    void setCaptureFileChooser(CaptureFileChooser chooser);
    // The file dialog itself: "Vorlinex Log File Open", asking before it creates a new file.
    std::optional<QString> chooseCaptureFile(int channel);
    // Replaces the question box; an empty function brings the box back.
    void setCreateFilePrompt(CreateFilePrompt prompt);

    // The channel's open log window, or null.
    QWidget* captureLogWindow(int channel);

private:
    bool askToCreate(const QString& fullPath);
    QPointer<QDialog>& windowSlot(int channel);

    CaptureWindowHost host_;
    Relay& relay_;
    Captures& captures_;
    CaptureFileChooser fileChooser;
    CreateFilePrompt createFilePrompt;
    std::array<QPointer<QDialog>, 3> logWindows;
};

// Starting a capture (commands 40010 / 40011) and the log window (IDD_DIALOG_LOG1 / _LOG2).
#pragma once

#include <QString>
#include <functional>
#include <optional>

class QWidget;

// The file dialog, openCaptureLog, the greyed menu item and the log window.
void startCapture(int channel);

// The file a capture goes into: the full path, or nothing when the user cancelled.
using CaptureFileChooser = std::function<std::optional<QString>(int channel)>;
// Replaces the file dialog (tests, tools that run the program without a person); an empty
// function brings the dialog back.
void setCaptureFileChooser(CaptureFileChooser chooser);
// The file dialog itself: "Vorlinex Log File Open", asking before it creates a new file.
std::optional<QString> chooseCaptureFile(int channel);

// Asked when the chosen file does not exist yet: true creates it, false goes back to the dialog.
using CreateFilePrompt = std::function<bool(const QString& fullPath)>;
// Replaces the question box; an empty function brings the box back.
void setCreateFilePrompt(CreateFilePrompt prompt);

// The channel's open log window, or null.
QWidget* captureLogWindow(int channel);

// Starting a capture (commands 40010 / 40011) and the log window (IDD_DIALOG_LOG1 / _LOG2).
#pragma once

// The file dialog, openCaptureLog, the greyed menu item and the log window.
void startCapture(int channel);

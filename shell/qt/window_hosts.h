// What each subsystem's windows take from the application: the owner of their windows and
// boxes, the dialog font and its units, the main window's menu and labels, and the other
// windows to relabel. The application object builds them when it is made.
#pragma once

#include "capture/qt/log_window.h"
#include "display/qt/display_window.h"
#include "display/qt/timeline_window.h"
#include "settings/qt/dialog_host.h"

class Vorlinex;

DisplayWindowHost displayWindowHostOf(Vorlinex& vorlinex);
CaptureWindowHost captureWindowHostOf(Vorlinex& vorlinex);
TimelineWindowHost timelineWindowHostOf(Vorlinex& vorlinex);
SettingsDialogHost settingsDialogHostOf(Vorlinex& vorlinex);

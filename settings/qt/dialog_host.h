// What the settings dialogs take from the application that hosts them; set once at start-up.
#pragma once

#include <QFont>
#include <QRect>
#include <functional>

#include "settings/config.h"
#include "settings/port_restart.h"

class QUrl;

struct SettingsDialogHost {
    std::function<QFont()> dialogFont;
    std::function<QFont()> fixedFont;  // the fixed-pitch Gothic face of the links
    // A rectangle in dialog units of the font, in pixels.
    std::function<QRect(const QFont& font, int left, int top, int width, int height)> dialogRect;
    // Hands a link (mail, web) to the desktop.
    std::function<void(const QUrl& url)> openUrl;
    // Words the outcome of each port's reopening.
    PortOpenReport reportPortOpen;
    // Both ports have been reopened: whatever names them elsewhere is relabelled.
    std::function<void()> portsRestarted;
    // Words a DEVICES section that could not be written.
    std::function<void(const ConfigSaveResult& result)> reportDevicesSave;
};

void setSettingsDialogHost(SettingsDialogHost host);
const SettingsDialogHost& settingsDialogHost();

// What the settings dialogs take from the application that hosts them, which owns it and
// hands it to each dialog it makes.
#pragma once

#include <QFont>
#include <QRect>
#include <functional>

#include "relay/box_request.h"
#include "settings/config.h"
#include "settings/port_restart.h"
#include "settings/qt/serial_device_list.h"

class QUrl;
struct Relay;

struct SettingsDialogHost {
    // The relay whose ports the serial dialog reopens and whose options the option dialog edits.
    Relay* relay = nullptr;
    std::function<QFont()> dialogFont;
    std::function<QFont()> fixedFont;  // the fixed-pitch Gothic face of the links
    // A rectangle in dialog units of the font, in pixels.
    std::function<QRect(const QFont& font, int left, int top, int width, int height)> dialogRect;
    // Hands a link (mail, web) to the desktop.
    std::function<void(const QUrl& url)> openUrl;
    // Shows a message box.
    BoxFunction boxes;
    // Words the outcome of each port's reopening.
    PortOpenReport reportPortOpen;
    // Both ports have been reopened: whatever names them elsewhere is relabelled.
    std::function<void()> portsRestarted;
    // The serial devices the devices window offers; tests give their own.
    std::function<std::vector<SerialDeviceInfo>()> listSerialDevices = systemSerialDevices;
    // Words a DEVICES section that could not be written.
    std::function<void(const ConfigSaveResult& result)> reportDevicesSave;
};

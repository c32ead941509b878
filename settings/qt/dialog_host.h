// What the settings dialogs take from the application that hosts them, which owns it and
// hands it to each dialog it makes.
#pragma once

#include <QFont>
#include <QRect>
#include <array>
#include <functional>
#include <string>

#include "settings/config.h"
#include "settings/port_restart.h"
#include "settings/qt/serial_device_list.h"
#include "settings/settings_refusal.h"

class QUrl;
struct StartupEntryResult;

struct SettingsDialogHost {
    // What the program runs by now: each dialog edits a copy and hands back what it changed.
    std::function<Config()> config;
    // The option dialog's options take effect.
    std::function<void(const AppOptions& options)> applyOptions;
    // The serial dialog's choices: the ports are reopened as chosen (each outcome told to the
    // user), then whatever names them is relabelled.
    std::function<void(const PortChoice& port1, const PortChoice& port2)> restartPorts;
    // The devices window's mapping: written to the file, then the ports reopen on it. false when
    // the file could not be written (the user has been told why): nothing was applied.
    std::function<bool(const std::array<std::string, 6>& paths)> applyDevicePaths;
    std::function<QFont()> dialogFont;
    std::function<QFont()> fixedFont;  // the fixed-pitch Gothic face of the links
    // A rectangle in dialog units of the font, in pixels.
    std::function<QRect(const QFont& font, int left, int top, int width, int height)> dialogRect;
    // Hands a link (mail, web) to the desktop.
    std::function<void(const QUrl& url)> openUrl;
    // Tells the user why a choice was refused.
    std::function<void(SettingsRefusal refusal)> refuse;
    // The serial devices the devices window offers; tests give their own.
    std::function<std::vector<SerialDeviceInfo>()> listSerialDevices = systemSerialDevices;
    // Tells the user how "登録" went.
    std::function<void(const StartupEntryResult& result)> reportStartupEntry;
};

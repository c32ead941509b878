// The main window's commands, by the ids its menu items and buttons dispatch; each item's and
// button's object name is its id, which tests and tools look them up by.
#pragma once

#include "capture/qt/log_window.h"

enum Command : int {
    kCommandCancel = 2,   // Esc and the close box
    kCommandDisp1 = 117,  // the Disp buttons
    kCommandDisp2 = 118,
    kCommandEnd = 300,
    kCommandAbout = 500,
    kCommandSerial = 600,
    kCommandSave = 700,
    kCommandHelp = 40003,
    kCommandOption = 40007,
    kCommandBinary = 40008,
    kCommandAscii = 40009,
    kCommandLogA = 40010,
    kCommandLogB = 40011,
    kCommandLogC = 40012,
    kCommandDevices = 40013,
    kCommandTimeline = 40014,  // DISP "Com<->Com": the timeline window
    kCommandShareLive = 40015, // MENU "Share live (PCAP-over-IP)...": starts or stops the stream
};

// The LOG item that starts a capture: 1, 2 or kCombinedCapture.
constexpr Command captureCommand(int capture) {
    return capture == kCombinedCapture ? kCommandLogC : capture == 2 ? kCommandLogB : kCommandLogA;
}

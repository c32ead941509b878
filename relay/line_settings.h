// What a port's six settings become on the line, in plain terms, whatever the system behind it.
#pragma once

#include <cstdint>

struct LineSettings {
    uint32_t baudRate = 0;      // 0: keep the device's current rate
    int dataBits = 8;           // 5..8
    int parity = 0;             // 0 none, 1 odd, 2 even
    bool twoStopBits = false;
    bool rtsCtsFlow = false;
    bool dtrDsrFlow = false;    // only where the system has it (Windows); Linux keeps DTR raised
    bool xonXoffFlow = false;
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
};

struct PortSettings;

// The line a port's settings ask for; values outside the choice tables fall back to the
// plainest setting (8 data bits, no parity, 1 stop bit, no flow control).
LineSettings lineSettingsFor(const PortSettings& settings);

// Whether the device holds what was asked (the rate only when one was asked; the XON and XOFF
// characters only with XON/XOFF flow control). DTR/DSR flow is not compared: Linux has no such
// setting to read back.
bool lineSettingsMatch(const LineSettings& asked, const LineSettings& held);

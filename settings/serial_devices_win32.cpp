#include "settings/serial_devices.h"

// A COM port that Windows lists has its driver behind it, and its name stays when the adapter is
// plugged elsewhere; whether another program holds it shows only when it is opened.

std::string stableDevicePath(const std::string& systemPath, const std::string&) { return systemPath; }

bool heldByAnotherProgram(const std::string&) { return false; }

bool legacyPortWithoutUart(const std::string&) { return false; }

std::string missingUartNotice(const Relay&) { return {}; }

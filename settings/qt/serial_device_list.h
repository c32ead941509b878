// The serial devices found on the machine: Qt's serial port module on Linux, the registry and
// SetupAPI on Windows.
#pragma once

#include <vector>

#include "settings/serial_devices.h"

// The devices to offer. Linux: USB and other adapters, and the /dev/ttyS* ports that have a
// UART behind them, each under its stable path. Windows: the COM ports the system has, in the
// order of their numbers, with the names their drivers give them.
std::vector<SerialDeviceInfo> systemSerialDevices();

// The serial devices found on the machine (Qt's serial port module).
#pragma once

#include <vector>

#include "settings/serial_devices.h"

// The devices to offer: USB and other adapters, and the /dev/ttyS* ports that have a UART
// behind them, each under its stable path.
std::vector<SerialDeviceInfo> systemSerialDevices();

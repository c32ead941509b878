// The serial devices found on the machine (Qt's serial port module), behind a seam that tests
// and the demo can fill.
#pragma once

#include <functional>
#include <vector>

#include "settings/serial_devices.h"

using SerialDeviceLister = std::function<std::vector<SerialDeviceInfo>()>;

// Replaces the detection; an empty function brings the real one back.
void setSerialDeviceLister(SerialDeviceLister lister);

// The devices to offer: USB and other adapters, and the /dev/ttyS* ports that have a UART
// behind them, each under its stable path.
std::vector<SerialDeviceInfo> detectedSerialDevices();

// What a restart asks of an open port's device, which each platform answers its own way.
#pragma once

#include <string>

#include "relay/serial_port.h"

// Bytes that wait in the open serial port's driver to be read; -1 when it cannot tell.
int portInputQueued(const SerialPort& port);

// Whether the open serial port holds the very device that `path` leads to now.
bool portHoldsDevice(const SerialPort& port, const std::string& path);

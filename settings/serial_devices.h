// The serial devices of the machine as the devices window offers them, and what the system can
// tell about a device without opening it.
#pragma once

#include <string>
#include <vector>

struct Relay;

struct SerialDeviceInfo {
    std::string path;        // the stable path: the /dev/serial/by-id link where there is one
    std::string systemPath;  // the device node itself: /dev/ttyUSB0, /dev/ttyACM0 ...; COM3 ...
    std::string description;
    std::string manufacturer;
    std::string serialNumber;
    bool heldByOther = false;  // another program has it open or locked
};

// The /dev/serial/by-id link that leads to systemPath, else systemPath: a by-id name survives a
// re-plug into another socket, where ttyUSB numbers follow the order of plugging. On Windows a
// COM name is stable already: systemPath.
std::string stableDevicePath(const std::string& systemPath, const std::string& byIdFolder = "/dev/serial/by-id");

// Whether a process other than this one has the device open (those the system lets us see) or
// holds a lock on it (any user's). Windows tells this only to an open, which raises the port's
// modem lines: never asked there (false).
bool heldByAnotherProgram(const std::string& systemPath);

// A /dev/ttyS* node whose UART the kernel did not find (its type in sysfs is 0, unknown).
// Asked of sysfs, so that nothing is opened: opening a port raises its modem lines. Windows
// lists only ports that have a driver: false there.
bool legacyPortWithoutUart(const std::string& systemPath);

// One line of the devices window's list: the path, then what is known of the adapter.
std::string deviceEntryText(const SerialDeviceInfo& device);

// The status bar's word on open ports that lead to no UART, such as
// "COM1: /dev/ttyS0 has no UART behind it: OPTION > DEVICES"; "" when there is none.
std::string missingUartNotice(const Relay& relay);

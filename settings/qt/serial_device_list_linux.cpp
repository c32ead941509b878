#include "settings/qt/serial_device_list.h"

#include <QSerialPortInfo>

std::vector<SerialDeviceInfo> systemSerialDevices() {
    std::vector<SerialDeviceInfo> devices;
    for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts()) {
        SerialDeviceInfo device;
        device.systemPath = port.systemLocation().toStdString();
        // Legacy ports with no chip stay reachable by typing their path, but are not offered.
        if (legacyPortWithoutUart(device.systemPath)) continue;
        device.path = stableDevicePath(device.systemPath);
        device.description = port.description().toStdString();
        device.manufacturer = port.manufacturer().toStdString();
        device.serialNumber = port.serialNumber().toStdString();
        device.heldByOther = heldByAnotherProgram(device.systemPath);
        devices.push_back(std::move(device));
    }
    return devices;
}

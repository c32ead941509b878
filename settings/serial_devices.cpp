#include "settings/serial_devices.h"

std::string deviceEntryText(const SerialDeviceInfo& device) {
    std::string known;
    auto add = [&known](const std::string& part) {
        if (part.empty()) return;
        if (!known.empty()) known += ", ";
        known += part;
    };
    add(device.description);
    add(device.manufacturer);
    if (!device.serialNumber.empty()) add("S/N " + device.serialNumber);
    std::string text = device.path;
    if (!known.empty()) text += "  (" + known + ")";
    if (device.heldByOther) text += "  in use by another program";
    return text;
}

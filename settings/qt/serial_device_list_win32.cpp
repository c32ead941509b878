#include <windows.h>
// After windows.h, which they need.
#include <initguid.h>  // defines the class GUIDs that devguid.h names
#include <devguid.h>
#include <setupapi.h>

#include <QFile>
#include <QString>
#include <algorithm>
#include <map>
#include <string>

#include "settings/qt/serial_device_list.h"

namespace {

// In the encoding the devices window reads device paths and names in (the file-name one).
std::string fileNameBytes(const std::wstring& text) { return QFile::encodeName(QString::fromStdWString(text)).toStdString(); }

// A REG_SZ value as read, without the terminator the registry may or may not hold.
std::wstring registryText(const wchar_t* data, DWORD bytes) {
    std::wstring text(data, bytes / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

// "COM3" sorts before "COM10"; names that are no COMn follow in their own order.
bool comNameBefore(const std::string& a, const std::string& b) {
    const auto number = [](const std::string& name) {
        if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return 100000;
        const std::string digits = name.substr(3);
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 4) return 100000;
        return std::stoi(digits);
    };
    const int na = number(a), nb = number(b);
    return na != nb ? na < nb : a < b;
}

// The ports the system has: HARDWARE\DEVICEMAP\SERIALCOMM holds one value per port, named after
// its device object, whose data is the port's name.
std::map<std::string, std::string> registryPorts() {
    std::map<std::string, std::string> ports;  // name ("COM3") -> device object ("\Device\Serial2")
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = sizeof name / sizeof name[0];
        wchar_t data[256];
        DWORD dataBytes = sizeof data;
        DWORD type = 0;
        const LONG result = ::RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                            reinterpret_cast<BYTE*>(data), &dataBytes);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        const std::string port = fileNameBytes(registryText(data, dataBytes));
        if (!port.empty()) ports[port] = fileNameBytes(std::wstring(name, nameLength));
    }
    ::RegCloseKey(key);
    return ports;
}

struct DriverNames {
    std::string friendlyName;  // "USB Serial Port (COM3)"
    std::string manufacturer;
};

std::wstring deviceProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    wchar_t text[512];
    DWORD type = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type, reinterpret_cast<BYTE*>(text),
                                             sizeof text - sizeof(wchar_t), nullptr) ||
        type != REG_SZ)
        return {};
    text[sizeof text / sizeof text[0] - 1] = L'\0';
    return text;
}

// What the drivers of the port class call their ports, by port name. A machine (or Wine)
// without such entries leaves the names out; the registry's list above is what counts.
std::map<std::string, DriverNames> driverNames() {
    std::map<std::string, DriverNames> names;
    HDEVINFO devices = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        HKEY key = ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (key == INVALID_HANDLE_VALUE) continue;
        wchar_t portName[256];
        DWORD bytes = sizeof portName;
        DWORD type = 0;
        const bool named = ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName),
                                              &bytes) == ERROR_SUCCESS &&
                           type == REG_SZ;
        ::RegCloseKey(key);
        if (!named) continue;
        const std::string port = fileNameBytes(registryText(portName, bytes));
        if (port.empty()) continue;
        names[port] = {fileNameBytes(deviceProperty(devices, device, SPDRP_FRIENDLYNAME)),
                       fileNameBytes(deviceProperty(devices, device, SPDRP_MFG))};
    }
    ::SetupDiDestroyDeviceInfoList(devices);
    return names;
}

}  // namespace

std::vector<SerialDeviceInfo> systemSerialDevices() {
    const std::map<std::string, DriverNames> named = driverNames();
    std::vector<SerialDeviceInfo> devices;
    for (const auto& [port, deviceObject] : registryPorts()) {
        SerialDeviceInfo device;
        // The port's own name is what the settings hold and what opens it.
        device.path = port;
        device.systemPath = deviceObject;
        if (const auto found = named.find(port); found != named.end()) {
            device.description = found->second.friendlyName;
            device.manufacturer = found->second.manufacturer;
        }
        // Whether another program holds it is left unasked: asking means opening it, which
        // raises its modem lines.
        devices.push_back(std::move(device));
    }
    std::sort(devices.begin(), devices.end(),
              [](const SerialDeviceInfo& a, const SerialDeviceInfo& b) { return comNameBefore(a.path, b.path); });
    return devices;
}

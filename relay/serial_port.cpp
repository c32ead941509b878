#include "relay/serial_port.h"

// STUB: filled by the relay work.
SerialPort serialPort1;
SerialPort serialPort2;
const std::array<const char*, 6> portDeviceNames = {"com1", "com2", "com3", "com4", "com5", "com6"};
const std::array<const char*, 6> portDisplayNames = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6"};
const std::array<const char*, 21> baudRateChoices = {
    "50",   "75",   "110",  "135",  "150",   "300",   "600",   "1200",   "1800",   "2000",  "2400",
    "3600", "4800", "7200", "9600", "19200", "38400", "57600", "115200", "230400", "460800"};
const std::array<const char*, 4> dataBitsChoices = {"5", "6", "7", "8"};
const std::array<const char*, 3> parityChoices = {"none", "odd", "even"};
const std::array<const char*, 3> stopBitsChoices = {"1", "1.5", "2"};
const std::array<const char*, 5> flowControlChoices = {"none", "hardware(RTS)", "hardware(DTR)",
                                                       "Xon/Xoff(x13)", "Xon/Xoff(x93)"};
std::array<std::string, 6> comDevicePaths;
void resetComDevicePaths() {
    for (int i = 0; i < 6; ++i) comDevicePaths[i] = "/dev/ttyS" + std::to_string(i);
}
const char* portDeviceNameAt(int32_t i) { return i >= 0 && i < 6 ? portDeviceNames[i] : ""; }
const char* portDisplayNameAt(int32_t i) { return i >= 0 && i < 6 ? portDisplayNames[i] : "COM"; }
int openPort(const char*, int, SerialPort&) { return 1; }
void configurePort(SerialPort&) {}
void closePort(SerialPort&) {}

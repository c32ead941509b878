#include "relay/port_io.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "relay/network_port.h"
#include "relay/serial_port.h"
#include "relay/serial_termios_linux.h"

ssize_t portRead(SerialPort& port, PortHandle fd, uint8_t* buffer, size_t capacity) {
    if (port.network) return port.network->readData(buffer, capacity);
    return ::read(fd, buffer, capacity);
}

ssize_t portWrite(SerialPort& port, PortHandle fd, const uint8_t* data, size_t n, WakeHandle) {
    if (port.network) return port.network->writeData(data, n);
    return ::write(fd, data, n);
}

int portOutputQueued(const SerialPort& port, PortHandle fd) {
    if (port.network) return port.network->outputQueued();
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

int portInputQueued(PortHandle fd) {
    int queued = 0;
    return ioctl(fd, FIONREAD, &queued) == 0 ? queued : -1;
}

uint32_t portLineRate(const SerialPort& port, PortHandle fd) { return port.network ? 0 : currentBaudRate(fd); }

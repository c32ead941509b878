#include "settings/port_device.h"

#include <sys/ioctl.h>
#include <sys/stat.h>

int portInputQueued(const SerialPort& port) {
    const int fd = port.handle.load();
    int queued = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &queued) != 0) return -1;
    return queued;
}

// Asked of the device itself, not of the path's text, so that another spelling of the same
// device (a by-id link, the node) counts, and the same text now leading elsewhere does not.
bool portHoldsDevice(const SerialPort& port, const std::string& path) {
    const int fd = port.handle.load(std::memory_order_acquire);
    struct stat held {}, chosen {};
    return fd >= 0 && ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &chosen) == 0 && sameCharDevice(held, chosen);
}

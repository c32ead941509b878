#include "settings/serial_devices.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "relay/relay.h"
#include "relay/serial_port.h"
#include "relay/serial_termios_linux.h"

namespace fs = std::filesystem;

namespace {

// /proc/locks names a locked file by its file system's major:minor (hex) and inode.
bool lockedElsewhere(const struct stat& device) {
    std::ifstream locks("/proc/locks");
    const long self = ::getpid();
    for (std::string line; std::getline(locks, line);) {
        std::istringstream in(line);
        std::string number, kind, mode, access, file;
        long pid = 0;
        if (!(in >> number >> kind)) continue;
        if (kind == "->") in >> kind;  // a waiting lock
        if (!(in >> mode >> access >> pid >> file)) continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
        if (pid != self && major == ::major(device.st_dev) && minor == ::minor(device.st_dev) && inode == device.st_ino)
            return true;
    }
    return false;
}

}  // namespace

std::string stableDevicePath(const std::string& systemPath, const std::string& byIdFolder) {
    std::error_code ec;
    const fs::path device = fs::canonical(systemPath, ec);
    if (ec) return systemPath;
    for (fs::directory_iterator link(byIdFolder, ec), end; !ec && link != end; link.increment(ec)) {
        std::error_code linkError;
        if (fs::canonical(link->path(), linkError) == device && !linkError) return link->path().string();
    }
    return systemPath;
}

bool heldByAnotherProgram(const std::string& systemPath) {
    struct stat device {};
    if (::stat(systemPath.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return false;
    return lockedElsewhere(device) || holderOfDevice(systemPath, nullptr) != 0;
}

bool legacyPortWithoutUart(const std::string& systemPath) {
    const std::string name = fs::path(systemPath).filename().string();
    if (name.rfind("ttyS", 0) != 0) return false;
    std::ifstream type("/sys/class/tty/" + name + "/type");
    int value = -1;
    return type >> value && value == 0;
}

std::string missingUartNotice(const Relay& relay) {
    std::string notice;
    for (const SerialPort* port : {&relay.serialPort1, &relay.serialPort2}) {
        const int fd = port->handle.load(std::memory_order_acquire);
        const int comIndex = port->settings.comIndex;
        if (fd < 0 || comIndex < 0 || comIndex >= 6 || !uartMissing(fd)) continue;
        if (!notice.empty()) notice += "; ";
        notice += std::string(portDisplayNameAt(comIndex)) + ": " + relay.comDevicePaths[comIndex] +
                  " has no UART behind it: OPTION > DEVICES";
    }
    return notice;
}

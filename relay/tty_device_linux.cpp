// A tty on Linux: device paths, exclusive opens through TIOCEXCL and flock, termios, and who
// holds a device as /proc shows it.
#include "relay/tty_device.h"

#include "relay/serial_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <cstring>

#include "relay/serial_termios_linux.h"

std::array<std::string, 6> defaultComDevicePaths() {
    std::array<std::string, 6> paths;
    for (int i = 0; i < 6; ++i) paths[i] = "/dev/ttyS" + std::to_string(i);
    return paths;
}

namespace {

// A tty's close waits until its output is sent, for as long as the driver's closing wait (30 s
// by default on a UART) when flow control holds it back, and closes run on the UI thread. What
// still moves gets a bounded moment to go out; what stands still is dropped so that the close
// returns at once.
void discardHeldOutput(int fd) {
    using Clock = std::chrono::steady_clock;
    const auto giveUp = Clock::now() + std::chrono::milliseconds(1000);
    int queued = 0;
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 && Clock::now() < giveUp) {
        const int before = queued;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued >= before) break;  // held back
    }
    if (queued > 0) tcflush(fd, TCOFLUSH);
}

// Calls visit with every process id the system shows, this process's own left out, until it
// returns true.
void forEachOtherProcess(const std::function<bool(int pid)>& visit) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return;
    const int self = ::getpid();
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self) continue;
        if (visit(static_cast<int>(pid))) break;
    }
    ::closedir(proc);
}

// The group that may use the device, when its members may read and write it: the fix for a
// user who is refused is to join it.
std::string deviceGroupOf(const std::string& path) {
    struct stat device {};
    if (::stat(path.c_str(), &device) != 0 || (device.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return "";
    group entry {};
    group* found = nullptr;
    char buffer[4096];
    if (::getgrgid_r(device.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return "";
    return found->gr_name;
}

PortRefusal refusalOfError(int error, const std::string& path) {
    if (deviceGoneError(error)) return pseudoTerminalPath(path) ? RefusalPtyMissing : RefusalMissing;
    if (error == EACCES || error == EPERM) return RefusalPermission;
    if (error == EBUSY || error == EWOULDBLOCK) return RefusalInUse;
    return RefusalFailed;
}

// Whether process pid has the device open. Compared by the links' text first, never by following
// every link: a descriptor on a hung network mount would make a look at its file wait, on the UI
// thread. A link whose text names the device is followed, since the same text can name a
// pseudo-terminal of another devpts instance.
bool processHoldsDevice(int pid, const std::string& device, const struct stat& wanted) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(folder.c_str());
    if (fds == nullptr) return false;  // another user's process, or gone meanwhile
    bool holds = false;
    char target[4096];
    while (!holds) {
        const dirent* entry = ::readdir(fds);
        if (entry == nullptr) break;
        if (entry->d_name[0] == '.') continue;
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
        struct stat held {};
        holds = length > 0 && device.compare(0, std::string::npos, target, static_cast<size_t>(length)) == 0 &&
                ::stat(link.c_str(), &held) == 0 && sameCharDevice(held, wanted);
    }
    ::closedir(fds);
    return holds;
}

// The device's path with every link resolved, and what it is; false when it is not there.
bool resolveDevice(const std::string& path, std::string& device, struct stat& wanted) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return false;
    device = resolved;
    std::free(resolved);
    return ::stat(device.c_str(), &wanted) == 0 && S_ISCHR(wanted.st_mode);
}

bool pseudoTerminalDevice(dev_t rdev) {
    // UNIX98_PTY_SLAVE_MAJOR and the seven majors after it.
    return ::major(rdev) >= 136 && ::major(rdev) < 144;
}

}  // namespace

bool sameCharDevice(const struct stat& a, const struct stat& b) {
    if (!S_ISCHR(a.st_mode) || !S_ISCHR(b.st_mode) || a.st_rdev != b.st_rdev) return false;
    return !pseudoTerminalDevice(a.st_rdev) || (a.st_dev == b.st_dev && a.st_ino == b.st_ino);
}

int sessionOfTerminal(const std::string& path) {
    std::string device;
    struct stat wanted {};
    if (!resolveDevice(path, device, wanted)) return 0;
    const dev_t rdev = wanted.st_rdev;
    int session = 0;
    forEachOtherProcess([&](int pid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(in, line)) return false;
        // The name may hold spaces and parentheses: the fields go on after its last ')'.
        const size_t close = line.rfind(')');
        if (close == std::string::npos) return false;
        char state = 0;
        long parent = 0, group = 0, sid = 0;
        unsigned long long ttyNumber = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %ld %ld %ld %llu", &state, &parent, &group, &sid, &ttyNumber) != 5)
            return false;
        // The kernel's encoding: minor's low byte, then the major, then the minor's high bits.
        const unsigned major = static_cast<unsigned>((ttyNumber >> 8) & 0xFFF);
        const unsigned minor = static_cast<unsigned>((ttyNumber & 0xFF) | ((ttyNumber >> 12) & 0xFFF00));
        if (ttyNumber == 0 || major != ::major(rdev) || minor != ::minor(rdev)) return false;
        // A pseudo-terminal's number says nothing of its devpts instance: the session counts
        // once one of its processes is seen holding this very terminal.
        if (pseudoTerminalDevice(rdev) && !processHoldsDevice(pid, device, wanted)) return false;
        session = static_cast<int>(sid > 0 ? sid : pid);
        return true;
    });
    return session;
}

int holderOfDevice(const std::string& path, std::string* name) {
    std::string device;
    struct stat wanted {};
    if (!resolveDevice(path, device, wanted)) return 0;
    int holder = 0;
    forEachOtherProcess([&](int pid) {
        if (processHoldsDevice(pid, device, wanted)) holder = pid;
        return holder != 0;
    });
    if (holder != 0 && name != nullptr) {
        std::ifstream comm("/proc/" + std::to_string(holder) + "/comm");
        std::getline(comm, *name);
    }
    return holder;
}

int openTtyDevice(const std::string& path, std::unique_ptr<PortDevice>& device, PortOpenFailure& failure) {
    const auto refuse = [&](PortRefusal kind, int error, int result) {
        failure.kind = kind;
        failure.systemError = error;
        return result;
    };
    // Asked before the open, which raises the modem lines of a real port: a terminal that a
    // login or a shell has as its own is not ours to take.
    struct stat node {};
    if (::stat(path.c_str(), &node) == 0 && S_ISCHR(node.st_mode) && sessionOfTerminal(path) != 0)
        return refuse(RefusalLoginTerminal, EBUSY, PortOpenFailed);

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        const PortRefusal kind = refusalOfError(error, path);
        if (kind == RefusalPermission) failure.deviceGroup = deviceGroupOf(path);
        if (kind == RefusalInUse) failure.holderPid = holderOfDevice(path, &failure.holderName);
        return refuse(kind, error, PortOpenFailed);
    }
    // No sharing: another holder of the lock (this program's other port, or another program)
    // makes the open fail. TIOCEXCL below keeps out openers that do not take the lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        failure.holderPid = holderOfDevice(path, &failure.holderName);
        return refuse(RefusalInUse, error, PortOpenFailed);
    }
    // Opened, but not a serial line: it cannot take the line settings.
    termios probe{};
    if (tcgetattr(fd, &probe) != 0) {
        const int error = errno;
        ::close(fd);
        return refuse(RefusalNotSerial, error, PortNotSerial);
    }
    // This process's own controlling terminal answers; it is a session's like any other.
    pid_t session = 0;
    if (ioctl(fd, TIOCGSID, &session) == 0) {
        ::close(fd);
        return refuse(RefusalLoginTerminal, EBUSY, PortOpenFailed);
    }
    ioctl(fd, TIOCEXCL);
    struct stat opened {};
    const bool pseudoTerminal = ::fstat(fd, &opened) == 0 && pseudoTerminalDevice(opened.st_rdev);
    device = std::make_unique<TtyDevice>(fd, path, !pseudoTerminal);
    return PortOpened;
}

ssize_t TtyDevice::read(uint8_t* buffer, size_t capacity) { return ::read(handle_, buffer, capacity); }

ssize_t TtyDevice::write(const uint8_t* data, size_t n, WakeHandle) { return ::write(handle_, data, n); }

int TtyDevice::outputQueued() const {
    int queued = 0;
    return ioctl(handle_, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

int TtyDevice::inputQueued() const {
    int queued = 0;
    return ioctl(handle_, FIONREAD, &queued) == 0 ? queued : -1;
}

uint32_t TtyDevice::systemLineRate() const { return handle_ >= 0 ? currentBaudRate(handle_) : 0; }

int TtyDevice::waitForInput(WakeHandle wake, int timeoutMs) { return waitForDescriptor(handle_, true, wake, timeoutMs); }

int TtyDevice::waitForRoom(WakeHandle wake, int timeoutMs) { return waitForDescriptor(handle_, false, wake, timeoutMs); }

int TtyDevice::configure(const PortSettings& settings, LineReadBack& readBack, bool purge) {
    if (purge) flushLineQueues(handle_);
    readBack.asked = lineSettingsFor(settings);
    readBack.systemError = applyLineSettings(handle_, readBack.asked);
    if (readBack.systemError == 0) readBack.systemError = readLineSettings(handle_, readBack.held);
    if (readBack.systemError == 0) readBack.differs = !lineSettingsMatch(readBack.asked, readBack.held);
    lineRate_ = systemLineRate();

    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(handle_, TIOCMBIS, &lines);
    return readBack.systemError;
}

int TtyDevice::close() {
    const int fd = handle_;
    if (fd < 0) return 0;
    handle_ = kNoPortHandle;
    // The exclusive flag belongs to the device, not to this descriptor: clear it so that the
    // port can be opened again.
    ioctl(fd, TIOCNXCL);
    discardHeldOutput(fd);
    return ::close(fd) == 0 ? 0 : errno;
}

// Asked of the device itself, not of the path's text, so that another spelling of the same
// device (a by-id link, the node) counts, and the same text now leading elsewhere does not.
bool TtyDevice::openedAs(const std::string& path) const {
    struct stat held {}, named {};
    return handle_ >= 0 && ::fstat(handle_, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
           sameCharDevice(held, named);
}

bool TtyDevice::holdsDevice(const std::string& path) const { return openedAs(path); }

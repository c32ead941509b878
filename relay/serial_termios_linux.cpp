// Only the kernel's termios2 is used in this file; glibc's <termios.h> must not be included.
#include "relay/serial_termios_linux.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace {

struct StandardRate {
    uint32_t rate;
    tcflag_t code;
};

// The rates that have a classic code. Those keep it, so that programs reading the settings the
// old way see them too; every other rate goes through BOTHER.
constexpr StandardRate standardRates[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}};

tcflag_t dataBitsFlag(int dataBits) {
    switch (dataBits) {
        case 5: return CS5;
        case 6: return CS6;
        case 7: return CS7;
        default: return CS8;
    }
}

}  // namespace

void composeLineTermios(struct termios2& t, const LineSettings& settings) {
    const tcflag_t keptBaud = t.c_cflag & (CBAUD | CIBAUD);
    const speed_t keptIn = t.c_ispeed;
    const speed_t keptOut = t.c_ospeed;

    // Built whole, as a raw line: nothing of the previous state but the line discipline
    // (and the rate, when none is given) carries over.
    t.c_iflag = INPCK;  // parity errors are checked, also with parity none
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | HUPCL | dataBitsFlag(settings.dataBits);
    for (auto& c : t.c_cc) c = 0;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    if (settings.parity == 1) t.c_cflag |= PARENB | PARODD;
    if (settings.parity == 2) t.c_cflag |= PARENB;
    if (settings.twoStopBits) t.c_cflag |= CSTOPB;
    if (settings.rtsCtsFlow) t.c_cflag |= CRTSCTS;
    if (settings.xonXoffFlow) {
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = settings.xonChar;
        t.c_cc[VSTOP] = settings.xoffChar;
    }

    if (settings.baudRate == 0) {
        t.c_cflag |= keptBaud;
        t.c_ispeed = keptIn;
        t.c_ospeed = keptOut;
    } else {
        tcflag_t code = BOTHER;
        for (const auto& s : standardRates) {
            if (s.rate == settings.baudRate) code = s.code;
        }
        t.c_cflag |= code;
        t.c_ispeed = settings.baudRate;
        t.c_ospeed = settings.baudRate;
    }
}

int applyLineSettings(int fd, const LineSettings& settings) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return errno;
    composeLineTermios(t, settings);
    if (ioctl(fd, TCSETS2, &t) != 0) return errno;
    return 0;
}

int readLineSettings(int fd, LineSettings& held) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return errno;
    held = LineSettings{};
    held.baudRate = currentBaudRate(fd);
    switch (t.c_cflag & CSIZE) {
        case CS5: held.dataBits = 5; break;
        case CS6: held.dataBits = 6; break;
        case CS7: held.dataBits = 7; break;
        default: held.dataBits = 8; break;
    }
    held.parity = (t.c_cflag & PARENB) == 0 ? 0 : (t.c_cflag & PARODD) != 0 ? 1 : 2;
    held.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    held.rtsCtsFlow = (t.c_cflag & CRTSCTS) != 0;
    held.xonXoffFlow = (t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF);
    held.xonChar = t.c_cc[VSTART];
    held.xoffChar = t.c_cc[VSTOP];
    return 0;
}

void flushLineQueues(int fd) { ioctl(fd, TCFLSH, TCIOFLUSH); }

uint32_t currentBaudRate(int fd) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return 0;
    const tcflag_t code = t.c_cflag & CBAUD;
    if (code == BOTHER) return t.c_ospeed;
    for (const auto& s : standardRates) {
        if (s.code == code) return s.rate;
    }
    return t.c_ospeed;
}

bool uartMissing(int fd) {
    struct serial_struct info {};
    return ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
}

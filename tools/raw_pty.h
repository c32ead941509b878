// Opening a pseudo-terminal as a virtual serial cable: shared by the demo's devices and the tests.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

// Opens a master (non-blocking) and returns it; *slavePath gets the path the program opens.
// The line is made raw at once, so that bytes sent before the program sets the port up are not
// echoed or edited by the line discipline; the settings stay while the master is open.
inline int openRawPty(std::string* slavePath) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        const std::string reason = std::strerror(errno);
        if (master >= 0) ::close(master);
        throw std::runtime_error("pseudo-terminal: " + reason);
    }
    *slavePath = ptsname(master);
    const int slave = ::open(slavePath->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        termios t{};
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
        ::close(slave);
    }
    return master;
}

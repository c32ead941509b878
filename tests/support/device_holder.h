// Another program holding a device, as a child process under a name of the test's choosing:
// a terminal program that has it open and locked, or a shell whose session has it as its
// controlling terminal.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

class DeviceHolder {
public:
    enum Way { Locked, ControllingTerminal };

    DeviceHolder(const std::string& path, Way way, const char* name) {
        int ready[2];
        if (::pipe(ready) != 0) throw std::runtime_error("pipe");
        const char* device = path.c_str();
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {  // only calls that are safe after a fork of a threaded process
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::prctl(PR_SET_NAME, name);
            // Nothing of the test's but the answer: a far end it holds must close when the test closes it.
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != ready[1]) ::close(fd);
            bool held;
            if (way == ControllingTerminal) {
                const int fd = ::setsid() < 0 ? -1 : ::open(device, O_RDWR | O_NONBLOCK);
                held = fd >= 0 && ::ioctl(fd, TIOCSCTTY, 0) == 0;
            } else {
                const int fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
                held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            }
            const char answer = held ? '1' : '0';
            if (::write(ready[1], &answer, 1) != 1 || !held) ::_exit(1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char answer = 0;
        const bool told = ::read(ready[0], &answer, 1) == 1;
        ::close(ready[0]);
        if (!told || answer != '1') {
            release();
            throw std::runtime_error("the holder could not take " + path);
        }
    }
    ~DeviceHolder() { release(); }
    DeviceHolder(DeviceHolder&&) = delete;

    int pid() const { return pid_; }
    // Ends the holder and waits until it is gone, its hold with it.
    void release() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

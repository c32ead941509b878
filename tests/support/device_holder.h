// Another program holding a device, as a child process under a name of the test's choosing: open and locked,
// as its session's controlling terminal, or (as in a container; root only) both ways on the same-numbered
// pseudo-terminal of a devpts instance of its own: the same path text, another terminal.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

class DeviceHolder {
public:
    enum Way { Locked, ControllingTerminal, SameNumberInAnotherInstance };

    DeviceHolder(const std::string& path, Way way, const char* name) {
        char resolved[PATH_MAX] = "";
        unsigned number = 0;
        if (way == SameNumberInAnotherInstance &&
            (::realpath(path.c_str(), resolved) == nullptr || std::sscanf(resolved, "/dev/pts/%u", &number) != 1))
            throw std::runtime_error(path + " is not a pseudo-terminal");
        int ready[2];
        if (::pipe(ready) != 0 || (pid_ = ::fork()) < 0) throw std::runtime_error("pipe or fork");
        if (pid_ == 0) {  // only calls that are safe after a fork of a threaded process
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::prctl(PR_SET_NAME, name);
            // Nothing of the test's but the answer: a far end it holds must close when the test closes it.
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != ready[1]) ::close(fd);
            bool held = false;
            if (way == SameNumberInAnotherInstance) {
                // Opened one after another from 0, until the instance hands out the number.
                if (::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                    ::mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666") == 0) {
                    unsigned got = UINT_MAX;
                    int master = -1;
                    for (unsigned opened = 0; opened <= number && got != number; ++opened) {
                        got = UINT_MAX;
                        master = ::open("/dev/pts/ptmx", O_RDWR | O_NOCTTY);
                        if (master < 0 || ::ioctl(master, TIOCGPTN, &got) != 0) break;
                    }
                    int unlock = 0;
                    const bool ours = got == number && ::ioctl(master, TIOCSPTLCK, &unlock) == 0 && ::setsid() >= 0;
                    const int fd = ours ? ::open(resolved, O_RDWR | O_NONBLOCK) : -1;
                    held = fd >= 0 && ::ioctl(fd, TIOCSCTTY, 0) == 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
                }
            } else if (way == ControllingTerminal) {
                const int fd = ::setsid() < 0 ? -1 : ::open(path.c_str(), O_RDWR | O_NONBLOCK);
                held = fd >= 0 && ::ioctl(fd, TIOCSCTTY, 0) == 0;
            } else {
                const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
                held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            }
            const char answer = held ? '1' : '0';
            if (::write(ready[1], &answer, 1) != 1 || !held) ::_exit(1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char answer = 0;
        const bool held = ::read(ready[0], &answer, 1) == 1 && answer == '1';
        ::close(ready[0]);
        if (!held) {
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

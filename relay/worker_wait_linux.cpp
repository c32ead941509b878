#include "relay/worker_wait.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

int eventsOf(short revents) {
    return ((revents & (POLLIN | POLLOUT)) ? WaitReady : 0) | ((revents & POLLHUP) ? WaitHangUp : 0) |
           ((revents & (POLLERR | POLLNVAL)) ? WaitError : 0);
}

int waitFor(PortHandle handle, short what, WakeHandle wake, int timeoutMs) {
    pollfd fds[2] = {{handle, what, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) < 0) return errno == EINTR ? 0 : -1;
    return eventsOf(fds[0].revents) | ((fds[1].revents & POLLIN) ? WaitWoken : 0);
}

}  // namespace

int makeWake(WakeHandle& wake) {
    if (wake < 0) wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return wake < 0 ? errno : 0;
}

void closeWake(WakeHandle& wake) {
    if (wake >= 0) ::close(wake);
    wake = kNoWake;
}

void raiseWake(WakeHandle wake) {
    if (wake < 0) return;
    const uint64_t one = 1;
    ssize_t ignored = ::write(wake, &one, sizeof one);
    (void)ignored;
}

void clearWake(WakeHandle wake) {
    if (wake < 0) return;
    uint64_t count = 0;
    ssize_t ignored = ::read(wake, &count, sizeof count);
    (void)ignored;
}

void sleepUnlessWoken(WakeHandle wake, int timeoutMs) {
    pollfd fd{wake, POLLIN, 0};
    ::poll(&fd, 1, timeoutMs);
}

int waitForInput(SerialPort&, PortHandle handle, WakeHandle wake, int timeoutMs) {
    return waitFor(handle, POLLIN, wake, timeoutMs);
}

int waitForRoom(SerialPort&, PortHandle handle, WakeHandle wake, int timeoutMs) {
    return waitFor(handle, POLLOUT, wake, timeoutMs);
}

void nameWorkerThread(std::thread& worker, const char* name) {
    pthread_setname_np(worker.native_handle(), name);
}

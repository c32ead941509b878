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

}  // namespace

int waitForDescriptor(int fd, bool input, WakeHandle wake, int timeoutMs) {
    pollfd fds[2] = {{fd, static_cast<short>(input ? POLLIN : POLLOUT), 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 2, timeoutMs) < 0) return errno == EINTR ? 0 : -1;
    return eventsOf(fds[0].revents) | ((fds[1].revents & POLLIN) ? WaitWoken : 0);
}

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

bool wakeRaised(WakeHandle wake) {
    pollfd fd{wake, POLLIN, 0};
    return wake >= 0 && ::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0;
}

void nameWorkerThread(std::thread& worker, const char* name) {
    pthread_setname_np(worker.native_handle(), name);
}

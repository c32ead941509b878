#include "relay/tty_device.h"

#include <algorithm>
#include <cerrno>

#include "relay/serial_port.h"

TtyDevice::TtyDevice(PortHandle handle, std::string opened, bool drains)
    : handle_(handle), opened_(std::move(opened)), drains_(drains), lineRate_(systemLineRate()) {}

TtyDevice::~TtyDevice() { close(); }

ReadEnd TtyDevice::endOfRead(ssize_t n, int error, int waitEvents) const {
    // The device signalled but gave nothing (unplugged, hung up, in error): it would keep
    // signalling at once, so the worker keeps a quiet rhythm instead.
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) return waitEvents != 0 ? ReadEnd::Quiet : ReadEnd::Nothing;
    // Unplugged: a hung-up line reads as end of file, a vanished one fails.
    if ((n < 0 && deviceGoneError(error)) || (n == 0 && (waitEvents & (WaitHangUp | WaitError))))
        return ReadEnd::Lost;
    return ReadEnd::Quiet;
}

bool TtyDevice::goneAfterWrite(int error) const { return deviceGoneError(error); }

int TtyDevice::drainWaitMs() {
    // The writable signal comes long before the queue is empty, so the wait is a sleep sized to
    // what is queued. A device without such a queue is not asked before every write.
    if (!drains_) return 0;
    const int queued = outputQueued();
    if (queued <= 0) return 0;
    if (lineRate_ == 0) return kLongestDrainMs;
    const uint64_t ms = static_cast<uint64_t>(queued) * 10 * 1000 / lineRate_ + 1;
    return static_cast<int>(std::min<uint64_t>(ms, kLongestDrainMs));
}

#include <fcntl.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "shell/qt/headless_signals.h"

namespace {

constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR1};

// The handlers only write the signal's number into this pipe; the loop reads it and acts, so
// nothing unsafe happens inside a handler.
std::atomic<int> signalWriteEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used inside a signal handler");

extern "C" void onHeadlessSignal(int number) {
    const int saved = errno;
    const int fd = signalWriteEnd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(number);
        const ssize_t written = ::write(fd, &byte, 1);
        (void)written;  // a full pipe already holds requests enough
    }
    errno = saved;
}

class LinuxSignals : public HeadlessSignals {
public:
    explicit LinuxSignals(const int pipe[2]) : pipe_{pipe[0], pipe[1]} {
        signalWriteEnd.store(pipe_[1]);
        struct sigaction action {};
        action.sa_handler = onHeadlessSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int number : kHandledSignals) sigaction(number, &action, nullptr);
        // A capture into a pipe whose reader has gone, or past the file-size limit, is a write
        // that fails (EPIPE, EFBIG) and ends that capture with a line, not the program.
        ::signal(SIGPIPE, SIG_IGN);
        ::signal(SIGXFSZ, SIG_IGN);
    }

    ~LinuxSignals() override {
        for (int number : kHandledSignals) ::signal(number, SIG_DFL);
        signalWriteEnd.store(-1);
        if (notifier_) notifier_->setEnabled(false);
        notifier_.reset();
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }

    void listen(HeadlessRequests requests) override {
        requests_ = std::move(requests);
        notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
            unsigned char numbers[64];
            ssize_t count;
            while ((count = ::read(pipe_[0], numbers, sizeof numbers)) > 0) {
                for (ssize_t i = 0; i < count; ++i) {
                    switch (numbers[i]) {
                        case SIGTERM:
                        case SIGINT:
                            requests_.stop();
                            return;
                        case SIGHUP:
                            requests_.reopenCaptures();
                            break;
                        case SIGUSR1:
                            requests_.sayStatus();
                            break;
                        default:
                            break;
                    }
                }
            }
        });
    }

private:
    int pipe_[2];
    HeadlessRequests requests_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

std::unique_ptr<HeadlessSignals> installHeadlessSignals(std::string& error) {
    int signalPipe[2] = {-1, -1};
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("no pipe for signals: ") + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<LinuxSignals>(signalPipe);
}

// sd_notify does nothing when NOTIFY_SOCKET is not set.
void notifyServiceManager(const std::string& state) { sd_notify(0, state.c_str()); }

uint64_t serviceWatchdogMicros() {
    uint64_t micros = 0;
    return sd_watchdog_enabled(0, &micros) > 0 ? micros : 0;
}

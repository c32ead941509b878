#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

#include "shell/qt/main_window.h"
#include "shell/qt/process_signals.h"

namespace {

// SIGTERM and SIGINT only write a byte into this pipe; the UI thread reads it and runs the
// same shutdown as END, so nothing unsafe happens inside the handler.
int signalPipe[2] = {-1, -1};
struct sigaction previousTerm {};
struct sigaction previousInt {};
// The handler may run on any thread, also while the UI thread restores the old handlers and
// closes the pipe: it reads the write end from here and counts itself in, so the pipe is
// closed only once no handler can still write into it (or into a file that took its number).
std::atomic<int> signalWriteEnd{-1};
std::atomic<int> handlersRunning{0};
static_assert(std::atomic<int>::is_always_lock_free, "used inside a signal handler");

extern "C" void onTerminationSignal(int) {
    const int saved = errno;
    handlersRunning.fetch_add(1);
    const int fd = signalWriteEnd.load();
    if (fd >= 0) {
        const char byte = 1;
        const ssize_t written = ::write(fd, &byte, 1);
        (void)written;  // a full pipe already holds a pending request
    }
    handlersRunning.fetch_sub(1);
    errno = saved;
}

class TerminationSignals : public ProcessSignals {
public:
    explicit TerminationSignals(Vorlinex& vorlinex) {
        signalWriteEnd.store(signalPipe[1]);
        notifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [&vorlinex] {
            char drain[64];
            while (::read(signalPipe[0], drain, sizeof drain) > 0) {
            }
            vorlinex.shutdownVorlinex();
        });
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, &previousTerm);
        sigaction(SIGINT, &action, &previousInt);
    }

    ~TerminationSignals() override {
        signalWriteEnd.store(-1);
        sigaction(SIGTERM, &previousTerm, nullptr);
        sigaction(SIGINT, &previousInt, nullptr);
        // A handler that began before the store above may still be writing.
        while (handlersRunning.load() != 0) std::this_thread::yield();
        notifier_.reset();
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace

std::unique_ptr<ProcessSignals> installProcessSignals(Vorlinex& vorlinex) {
    // A capture into a pipe whose reader has gone, or past the file-size limit, is a write
    // that fails (EPIPE, EFBIG) and ends that capture with a report, not the program.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        signalPipe[0] = signalPipe[1] = -1;
        return nullptr;
    }
    return std::make_unique<TerminationSignals>(vorlinex);
}

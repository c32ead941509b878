#include "shell/qt/headless_main.h"

#include <fcntl.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "shell/headless.h"

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

void say(JournalPriority priority, const std::string& text) {
    const std::string line = journalLine(priority, text);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// systemd's notifications; sd_notify does nothing when NOTIFY_SOCKET is not set.
void notify(const std::string& state) { sd_notify(0, state.c_str()); }

}  // namespace

int runHeadless(int argc, char** argv, const CommandLine& options) {
    int signalPipe[2] = {-1, -1};
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        say(JournalPriority::Error, std::string("no pipe for signals: ") + std::strerror(errno));
        return 1;
    }
    signalWriteEnd.store(signalPipe[1]);
    struct sigaction action {};
    action.sa_handler = onHeadlessSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kHandledSignals) sigaction(number, &action, nullptr);
    // A capture into a pipe whose reader has gone, or past the file-size limit, is a write that
    // fails (EPIPE, EFBIG) and ends that capture with a line, not the program.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);

    int appArgc = argc;
    QCoreApplication application(appArgc, argv);
    HeadlessRelay relay(options, say);

    QTimer stepTimer;
    stepTimer.setInterval(250);
    QObject::connect(&stepTimer, &QTimer::timeout, &stepTimer, [&relay] { relay.step(); });
    // A worker that finds its port gone has it told at once, not at the next step.
    for (RelayChannel* channel : {&relay.app.relay.relayChannel1, &relay.app.relay.relayChannel2}) {
        channel->portLost = [&stepTimer, &relay] {
            QMetaObject::invokeMethod(&stepTimer, [&relay] { relay.step(); }, Qt::QueuedConnection);
        };
    }

    if (!relay.start()) {
        for (int number : kHandledSignals) ::signal(number, SIG_DFL);
        signalWriteEnd.store(-1);
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        return 1;
    }

    bool ready = false;
    std::string lastStatus;
    const auto tellSystemd = [&] {
        const std::string status = notifyStatusText(relay.status());
        if (!ready && relay.portsTried()) {
            ready = true;
            notify("READY=1\nSTATUS=" + status);
        } else if (ready && status != lastStatus) {
            notify("STATUS=" + status);
        }
        if (ready) lastStatus = status;
    };
    tellSystemd();
    QObject::connect(&stepTimer, &QTimer::timeout, &stepTimer, [&] {
        if (!ready) tellSystemd();
    });
    stepTimer.start();

    QTimer rateTimer;
    QObject::connect(&rateTimer, &QTimer::timeout, &rateTimer, [&] {
        relay.sampleRates();
        tellSystemd();
    });
    rateTimer.start(1000);

    const auto sayStatus = [&relay] { say(JournalPriority::Info, statusLineText(relay.status())); };
    QTimer statusTimer;
    QObject::connect(&statusTimer, &QTimer::timeout, &statusTimer, sayStatus);
    if (options.statusEverySeconds > 0) statusTimer.start(static_cast<int>(options.statusEverySeconds * 1000));

    // The watchdog is pinged from this loop, so a loop that hangs is restarted.
    QTimer watchdogTimer;
    uint64_t watchdogMicros = 0;
    if (sd_watchdog_enabled(0, &watchdogMicros) > 0 && watchdogMicros > 0) {
        QObject::connect(&watchdogTimer, &QTimer::timeout, &watchdogTimer, [] { notify("WATCHDOG=1"); });
        watchdogTimer.start(static_cast<int>(std::max<uint64_t>(watchdogMicros / 2000, 1)));
        notify("WATCHDOG=1");
    }

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &signalNotifier, [&] {
        unsigned char numbers[64];
        ssize_t count;
        while ((count = ::read(signalPipe[0], numbers, sizeof numbers)) > 0) {
            for (ssize_t i = 0; i < count; ++i) {
                switch (numbers[i]) {
                    case SIGTERM:
                    case SIGINT:
                        notify("STOPPING=1");
                        stepTimer.stop(), rateTimer.stop(), statusTimer.stop(), watchdogTimer.stop();
                        relay.stop();
                        QCoreApplication::exit(0);
                        return;
                    case SIGHUP:
                        relay.reopenCaptures();
                        break;
                    case SIGUSR1:
                        sayStatus();
                        break;
                    default:
                        break;
                }
            }
        }
    });

    const int exitCode = QCoreApplication::exec();
    relay.stop();
    for (int number : kHandledSignals) ::signal(number, SIG_DFL);
    signalWriteEnd.store(-1);
    signalNotifier.setEnabled(false);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    return exitCode;
}

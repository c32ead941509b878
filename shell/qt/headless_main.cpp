#include "shell/qt/headless_main.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "shell/headless.h"
#include "shell/qt/headless_signals.h"

namespace {

void say(JournalPriority priority, const std::string& text) {
    const std::string line = journalLine(priority, text);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void notify(const std::string& state) { notifyServiceManager(state); }

}  // namespace

int runHeadless(int argc, char** argv, const CommandLine& options) {
    std::string signalError;
    std::unique_ptr<HeadlessSignals> systemSignals = installHeadlessSignals(signalError);
    if (!systemSignals) {
        say(JournalPriority::Error, signalError);
        return 1;
    }

    int appArgc = argc;
    QCoreApplication application(appArgc, argv);
    HeadlessRun run(options, say);

    QTimer stepTimer;
    stepTimer.setInterval(250);
    QObject::connect(&stepTimer, &QTimer::timeout, &stepTimer, [&run] { run.step(); });
    // A worker that finds its port gone has it told at once, not at the next step.
    for (RelayChannel* channel : {&run.app.relay.relayChannel1, &run.app.relay.relayChannel2}) {
        channel->portLost = [&stepTimer, &run] {
            QMetaObject::invokeMethod(&stepTimer, [&run] { run.step(); }, Qt::QueuedConnection);
        };
    }

    if (!run.start()) {
        systemSignals.reset();
        return 1;
    }

    bool ready = false;
    std::string lastStatus;
    const auto tellSystemd = [&] {
        const std::string status = notifyStatusText(run.status());
        if (!ready && run.app.portsTried()) {
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
        run.app.sampleRates();
        tellSystemd();
    });
    rateTimer.start(1000);

    const auto sayStatus = [&run] { say(JournalPriority::Info, statusLineText(run.status())); };
    QTimer statusTimer;
    QObject::connect(&statusTimer, &QTimer::timeout, &statusTimer, sayStatus);
    if (options.statusEverySeconds > 0) statusTimer.start(static_cast<int>(options.statusEverySeconds * 1000));

    // The watchdog is pinged from this loop, so a loop that hangs is restarted.
    QTimer watchdogTimer;
    const uint64_t watchdogMicros = serviceWatchdogMicros();
    if (watchdogMicros > 0) {
        QObject::connect(&watchdogTimer, &QTimer::timeout, &watchdogTimer, [] { notify("WATCHDOG=1"); });
        watchdogTimer.start(static_cast<int>(std::max<uint64_t>(watchdogMicros / 2000, 1)));
        notify("WATCHDOG=1");
    }

    HeadlessRequests requests;
    requests.stop = [&] {
        notify("STOPPING=1");
        stepTimer.stop(), rateTimer.stop(), statusTimer.stop(), watchdogTimer.stop();
        run.stop();
        QCoreApplication::exit(0);
    };
    requests.reopenCaptures = [&run] { run.reopenCaptures(); };
    requests.sayStatus = sayStatus;
    systemSignals->listen(std::move(requests));

    const int exitCode = QCoreApplication::exec();
    run.stop();
    systemSignals.reset();
    return exitCode;
}

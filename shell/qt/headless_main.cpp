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
        systemSignals.reset();
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
        relay.stop();
        QCoreApplication::exit(0);
    };
    requests.reopenCaptures = [&relay] { relay.reopenCaptures(); };
    requests.sayStatus = sayStatus;
    systemSignals->listen(std::move(requests));

    const int exitCode = QCoreApplication::exec();
    relay.stop();
    systemSignals.reset();
    return exitCode;
}

// Runs the real program in-process for a benchmark: offscreen, in a scratch folder whose INI
// puts COM1 and COM2 on two pty cables, with the benchmark's control on a thread of its own.
#pragma once

#include <signal.h>

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "bench/relay_measure.h"
#include "shell/qt/entry.h"

namespace bench {

// Once the main window is shown, `onShown` runs on the UI thread and `control` on a thread of
// its own, which has ended when this returns. Returns the entry function's result.
inline int runProgramInProcess(ScratchDir& scratch, PtyCable& port1, PtyCable& port2, int baud,
                               const std::function<void(QWidget*)>& control,
                               const std::function<void(QWidget*)>& onShown = {}) {
    signal(SIGPIPE, SIG_IGN);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    scratch.write("Vorlinex.ini", relayIni(port1.slavePath(), port2.slavePath(), baud));
    std::thread controller;
    char name[] = "vorlinex";
    char* args[] = {name, nullptr};
    const int rc = vorlinexMain(1, args, [&](QWidget* mainWindow) {
        if (onShown) onShown(mainWindow);
        controller = std::thread(control, mainWindow);
    });
    if (controller.joinable()) controller.join();
    return rc;
}

// The UI thread's longest gap between two ticks of a 5 ms timer while measuring: how long the
// program kept the user waiting.
struct StallMeter {
    std::atomic<bool> measuring{false};
    QElapsedTimer sinceTick;
    qint64 longestMs = 0;

    // On the UI thread.
    void attach(QWidget* owner) {
        auto* tick = new QTimer(owner);
        tick->setTimerType(Qt::PreciseTimer);
        QObject::connect(tick, &QTimer::timeout, owner, [this] {
            if (measuring) longestMs = std::max(longestMs, sinceTick.elapsed());
            sinceTick.restart();
        });
        tick->start(5);
    }
    void begin() {
        sinceTick.start();
        longestMs = 0;
        measuring = true;
    }
};

}  // namespace bench

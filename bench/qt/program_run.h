// Runs the real program in-process for a benchmark: offscreen, in a scratch folder whose INI
// puts COM1 and COM2 on two pty cables, with the benchmark's control on a thread of its own.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "bench/qt/program_feed.h"
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

// Says so when the program in-process never relayed; true then.
inline bool neverRelayed(bool relaying, int rc) {
    if (!relaying) std::printf("  the program did not relay (entry returned %d)\n", rc);
    return !relaying;
}

// How long the UI thread kept the user waiting while measuring. By default a thread of the
// benchmark's own asks the kernel every 4 ms what the UI thread is doing (/proc/.../syscall):
// waiting in poll() is the event loop at rest, anything else (running, or blocked in any other
// call) is busy; the longest busy stretch is the stall. That costs the program no wake-up.
// With `tickProbe` it is instead the longest gap between two ticks of a 5 ms timer on the UI
// thread, the older probe, whose 200 wake-ups a second are charged to the program's CPU.
struct StallMeter {
    std::atomic<bool> measuring{false};
    bool tickProbe = false;
    std::atomic<qint64> longestMs{0};
    QElapsedTimer tickClock;
    qint64 lastTick = -1;
    std::atomic<bool> stop{false};
    std::thread watcher;

    ~StallMeter() {
        stop = true;
        if (watcher.joinable()) watcher.join();
    }
    // On the UI thread.
    void attach(QWidget* owner) {
        if (tickProbe) {
            tickClock.start();
            auto* tick = new QTimer(owner);
            tick->setTimerType(Qt::PreciseTimer);
            QObject::connect(tick, &QTimer::timeout, owner, [this] {
                const qint64 now = tickClock.elapsed();
                if (measuring && lastTick >= 0) longestMs = std::max(longestMs.load(), now - lastTick);
                lastTick = now;
            });
            tick->start(5);
            return;
        }
        const std::string path = bench::procPath(0, "task/" + std::to_string(::gettid()) + "/syscall");
        watcher = std::thread([this, path] {
            QElapsedTimer clock;
            clock.start();
            qint64 busySince = -1;
            double charged = threadCpuSeconds();
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            char text[64];
            while (!stop) {
                const ssize_t n = fd >= 0 ? ::pread(fd, text, sizeof text - 1, 0) : -1;
                const bool resting = n > 2 && text[0] == '7' && text[1] == ' ';  // 7: poll on x86-64
                const qint64 now = clock.elapsed();
                if (!measuring || resting) {
                    busySince = -1;
                } else {
                    if (busySince < 0) busySince = now;
                    longestMs = std::max(longestMs.load(), now - busySince);
                }
                // Charged to the benchmark as it goes, so a measurement that ends now has it.
                const double cpu = threadCpuSeconds();
                harnessCpuUs += static_cast<int64_t>((cpu - charged) * 1e6);
                charged = cpu;
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
            }
            if (fd >= 0) ::close(fd);
        });
    }
    // On the UI thread.
    void begin() {
        lastTick = tickProbe ? tickClock.elapsed() : -1;
        longestMs = 0;
        measuring = true;
    }
    const char* what() const {
        return tickProbe ? "5 ms timer gap" : "longest stretch away from its wait, sampled every 4 ms";
    }
};

}  // namespace bench

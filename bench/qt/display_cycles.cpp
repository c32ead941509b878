// Display windows opened and ended again and again while traffic flows: the real program
// in-process, offscreen, over two pty cables. Each cycle presses both Disp buttons, lets the
// workers render for a moment, and presses END in both windows. Prints the resident size
// (VmRSS) at the start, after a warm-up of 50 cycles, and at the end of each display mode,
// and the display windows still alive.
//
//   bench_display_cycles [--cycles N]   (default 1000 per mode)
#include <signal.h>

#include <QAbstractButton>
#include <QApplication>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "bench/qt/program_run.h"
#include "display/qt/display_window.h"
#include "settings/config.h"
#include "shell/qt/entry.h"
#include "shell/qt/main_window.h"

namespace {

using bench::residentKb;

int displayWindowsAlive() {
    int alive = 0;
    for (QWidget* w : QApplication::allWidgets()) alive += w->objectName().startsWith(QLatin1String("IDD_DIALOG_DISP"));
    return alive;
}

void press(QWidget* window, int id) {
    if (window == nullptr) return;
    if (auto* button = window->findChild<QAbstractButton*>(QString::number(id))) button->click();
}

struct Run {
    int cycles = 1000;
    PtyCable port1;
    PtyCable port2;
    std::atomic<bool> flowing{true};
    bool relaying = false;
    std::string report;
};

// Both directions carry lines of text the whole time, and their far ends are drained.
void traffic(Run& run, PtyCable& from, PtyCable& to) {
    std::thread drain([&] { while (run.flowing) bench::drain(to.master(), 50); });
    std::string lines;
    for (int i = 0; i < 8; ++i) lines += "traffic line " + std::to_string(i) + " \x82\xa0 0123456789abcdef\r\n";
    while (run.flowing) {
        bench::writeAll(from.master(), lines);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    drain.join();
}

void control(Run& run, QWidget* mainWindow) {
    run.relaying = bench::waitRelaying(run.port1, run.port2, 20) && bench::waitRelaying(run.port2, run.port1, 20);
    std::thread one([&] { traffic(run, run.port1, run.port2); });
    std::thread two([&] { traffic(run, run.port2, run.port1); });
    auto onUi = [&](auto work) { QMetaObject::invokeMethod(mainWindow, work, Qt::BlockingQueuedConnection); };
    char line[200];
    for (int mode = 0; run.relaying && mode < 2; ++mode) {
        long warm = 0;
        const long start = residentKb();
        for (int cycle = 0; cycle < run.cycles; ++cycle) {
            if (cycle == 50) warm = residentKb();
            onUi([&] {
                vorlinexOf(mainWindow).app.relay.appOptions.DMODE = mode;
                press(mainWindow, 117);
                press(mainWindow, 118);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(3));  // the workers render
            onUi([&] {
                press(vorlinexOf(mainWindow).displayWindows.displayWindowOf(1), 1058);
                press(vorlinexOf(mainWindow).displayWindows.displayWindowOf(2), 1058);
            });
        }
        int alive = 0;
        onUi([&] {
            QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            alive = displayWindowsAlive();
        });
        const long end = residentKb();
        std::snprintf(line, sizeof line,
                      "  %s form: VmRSS %ld kB at the start, %ld kB after 50 cycles, %ld kB after %d "
                      "(growth %+ld kB since the warm-up); display windows alive %d\n",
                      mode == 0 ? "ASCII" : "hex  ", start, warm, end, run.cycles, end - warm, alive);
        run.report += line;
    }
    run.flowing = false;
    one.join();
    two.join();
    QMetaObject::invokeMethod(mainWindow, [mainWindow] { vorlinexOf(mainWindow).shutdownVorlinex(); }, Qt::QueuedConnection);
}

}  // namespace

int main(int argc, char** argv) {
    ScratchDir scratch;
    Run run;
    run.cycles = std::max(51, static_cast<int>(bench::numberOption(argc, argv, "--cycles", run.cycles)));
    const int rc = bench::runProgramInProcess(scratch, run.port1, run.port2, 115200,
                                              [&](QWidget* w) { control(run, w); });

    std::printf("bench_display_cycles: both display windows opened and ended %d times per form "
                "while both directions carry text, the program in-process (offscreen) over pty "
                "cables\n%s", run.cycles, run.report.c_str());
    if (bench::neverRelayed(run.relaying, rc)) return 1;
    return 0;
}

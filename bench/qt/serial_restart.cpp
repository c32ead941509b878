// The port restart as the user makes it: the real program in-process, offscreen, over two pty
// cables; SERIAL (600) opens the serial settings dialog and OK is clicked without changes.
// Prints the time from the click on OK to the dialog closing (the UI thread busy), and to both
// directions relaying again (a byte sent each way after the dialog closed has arrived).
//
//   bench_serial_restart [--rounds N]
#include <signal.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/qt/program_run.h"
#include "shell/qt/command_ids.h"
#include "shell/qt/entry.h"
#include "shell/qt/main_window.h"

namespace {

struct Run {
    int rounds = 10;
    PtyCable port1;
    PtyCable port2;
    bool relaying = false;
    std::vector<double> okToClosedMs;
    std::vector<double> okToRelayingMs;
    int failed = 0;
    std::string notes;
};

// On the UI thread, inside the dialog's own loop: clicks OK once the dialog is up.
void clickOkWhenShown(std::atomic<int64_t>& clickedNs, int attempt = 0) {
    QWidget* dialog = QApplication::activeModalWidget();
    auto* ok = dialog ? dialog->findChild<QAbstractButton*>(QStringLiteral("1")) : nullptr;
    if (ok == nullptr) {
        if (attempt < 500) {
            QTimer::singleShot(10, qApp, [&clickedNs, attempt] { clickOkWhenShown(clickedNs, attempt + 1); });
        } else if (dialog != nullptr) {
            dialog->close();  // not the serial dialog: give up rather than hang
        }
        return;
    }
    clickedNs = bench::Clock::now().time_since_epoch().count();
    ok->click();
}

void control(Run& run, QWidget* mainWindow) {
    run.relaying = bench::waitRelaying(run.port1, run.port2, 20) &&
                   bench::waitRelaying(run.port2, run.port1, 20);
    for (int r = 0; run.relaying && r < run.rounds; ++r) {
        std::atomic<int64_t> clickedNs{0};
        std::atomic<int64_t> closedNs{0};
        QMetaObject::invokeMethod(mainWindow, [&] {
            QTimer::singleShot(0, qApp, [&clickedNs] { clickOkWhenShown(clickedNs); });
            if (QAction* serial = vorlinexOf(mainWindow).mainMenuItem(kCommandSerial)) serial->trigger();
            closedNs = bench::Clock::now().time_since_epoch().count();
        }, Qt::QueuedConnection);
        auto t0 = bench::Clock::now();
        while (closedNs.load() == 0 && bench::secondsSince(t0) < 20) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (clickedNs.load() == 0 || closedNs.load() == 0) {
            run.notes += "  round " + std::to_string(r + 1) + ": the dialog did not open or close\n";
            ++run.failed;
            break;
        }
        char a = static_cast<char>('a' + r % 26);
        char b = static_cast<char>('A' + r % 26);
        bench::writeAll(run.port1.master(), std::string(1, a));
        bench::writeAll(run.port2.master(), std::string(1, b));
        bench::StreamCheck c1 = bench::readAndCompare(run.port2.master(), std::string(1, a), 5000);
        bench::StreamCheck c2 = bench::readAndCompare(run.port1.master(), std::string(1, b), 5000);
        int64_t arrived = bench::Clock::now().time_since_epoch().count();
        if (c1.received != 1 || c1.wrong != 0 || c2.received != 1 || c2.wrong != 0) {
            ++run.failed;
            bench::drain(run.port1.master(), 300);
            bench::drain(run.port2.master(), 300);
            continue;
        }
        run.okToClosedMs.push_back(static_cast<double>(closedNs - clickedNs) / 1e6);
        run.okToRelayingMs.push_back(static_cast<double>(arrived - clickedNs) / 1e6);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    QMetaObject::invokeMethod(mainWindow, [mainWindow] { vorlinexOf(mainWindow).shutdownVorlinex(); }, Qt::QueuedConnection);
}

}  // namespace

int main(int argc, char** argv) {
    ScratchDir scratch;
    Run run;
    run.rounds = std::max(1, static_cast<int>(bench::numberOption(argc, argv, "--rounds", run.rounds)));
    const int rc = bench::runProgramInProcess(scratch, run.port1, run.port2, 115200,
                                              [&](QWidget* w) { control(run, w); });

    std::printf("bench_serial_restart: SERIAL, then OK without changes, in the program "
                "in-process (offscreen) over pty cables; %d rounds\n", run.rounds);
    if (!run.notes.empty()) std::printf("%s", run.notes.c_str());
    if (bench::neverRelayed(run.relaying, rc)) return 1;
    bench::printSpread("OK clicked to the dialog closed (UI thread)", run.okToClosedMs, "ms", 48);
    bench::printSpread("OK clicked to both directions relaying again", run.okToRelayingMs, "ms", 48);
    std::printf("  rounds that failed: %d of %d; entry function returned %d\n", run.failed,
                run.rounds, rc);
    return 0;
}

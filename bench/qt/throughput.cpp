// The real program in-process, offscreen, at the speed of a 460800-baud line: both display
// windows open in hexadecimal form, both directions captured to log files and both into the
// combined capture, while paced feeders send 46,080 B/s each way through pty cables. Prints the
// bytes each way, lost or reordered bytes, the rate kept, the UI thread's longest stall, the
// program's CPU, the bytes in each log file against the bytes relayed, and the combined file's
// size and bytes per direction against the bytes relayed. With --timeline the timeline window
// (DISP > Com<->Com) is open beside them; --timeline-only opens it alone.
//
//   bench_throughput [--seconds S] [--rate B/s] [--no-combined] [--timeline | --timeline-only | --bare]
//                    [--tick-probe] [--modbus] [--frames]
// --bare opens nothing: the relay and the main window alone, the floor under the other figures.
// --modbus feeds back-to-back Modbus RTU transactions (requests 1->2, answers 2->1, one frame in
// twenty with a wrong CRC) instead of random bytes; --frames shows the timeline's Frames view with
// Modbus RTU decoding (and opens the timeline).
#include <signal.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "bench/qt/program_feed.h"
#include "bench/qt/program_run.h"
#include "capture/capture_log.h"
#include "capture/combined_log.h"
#include "capture/qt/log_window.h"
#include "display/qt/timeline_window.h"
#include "display/timeline_frames.h"
#include "display/timeline_records.h"
#include "display/traffic_render.h"
#include "relay/relay_channel.h"
#include "shell/qt/command_ids.h"
#include "shell/qt/entry.h"
#include "shell/qt/main_window.h"
#include "tests/support/combined_records.h"

namespace {

using bench::feedPaced;
using bench::HarnessCpu;
using bench::harnessCpuUs;
using bench::processCpuSeconds;
using bench::threadCpuSeconds;

struct Direction {
    const char* name;
    std::string data;
    bench::StreamCheck check;
    bench::Clock::time_point lastByte;
    bench::Clock::time_point fedAll;  // when the feeder wrote its last byte
    double seconds = 0;  // feed start to the last byte received
};

struct Run {
    double seconds = 30;
    double rate = 46080;
    PtyCable port1;
    PtyCable port2;
    std::string logPath[2];
    std::string combinedPath;
    bool combinedWanted = true;  // --no-combined leaves the combined capture closed
    bool timelineWanted = false;
    bool modbus = false;         // --modbus: Modbus transactions instead of random bytes
    bool framesWanted = false;   // --frames: the timeline in its Frames view
    bool framesShown = false;
    bench::ModbusTraffic traffic;  // --modbus: what is fed
    std::atomic<uint64_t> arrived[2] = {0, 0};  // bytes each far end has read, for the slave to answer on
    // The Frames view at the end of the feed: rows, error rows, and whether its figures were read.
    uint64_t frameRows = 0, errorRows = 0, timeouts = 0;
    bool othersWanted = true;    // --timeline-only: no display window, no capture
    bool timelineOpen = false;
    // What the timeline held at the end of the feed: records, and each direction's bytes.
    uint64_t timelineRecords = 0;
    uint64_t timelineDropped = 0;
    std::string timelineBytes[2];
    bool combinedOpen = false;
    bool displayOpen[2] = {false, false};
    bool hexChecked = false;
    bool logOpen[2] = {false, false};
    bool logWindow[2] = {false, false};
    std::string notes;
    Direction dir[2] = {{"1->2 (channel 1)", {}, {}, {}, {}, 0}, {"2->1 (channel 2)", {}, {}, {}, {}, 0}};
    bool relaying = false;
    // The UI thread's longest gap between two ticks of a 5 ms timer while the feed runs.
    bench::StallMeter stall;
    double programCpuSeconds = NAN;
    double measuredSeconds = NAN;
    double processCpuPercentAll = NAN;
};

// On the UI thread: the timeline window (40014), when asked for.
void openTimeline(Run& run, QWidget* mainWindow) {
    if (!run.timelineWanted) return;
    if (QAction* item = vorlinexOf(mainWindow).mainMenuItem(kCommandTimeline)) item->trigger();
    run.timelineOpen = vorlinexOf(mainWindow).app.timeline.takesReads();
    if (!run.timelineOpen) run.notes += "  timeline window skipped: menu item 40014 did not open it\n";
    if (!run.framesWanted || !run.timelineOpen) return;
    TimelineWindow* window = vorlinexOf(mainWindow).timelineWindows.timelineWindow();
    if (window == nullptr) return;
    TimelineDecode decode;
    decode.frames = true;
    parseDecodeChoice("modbus-rtu", decode.choice);
    window->setDecode(decode);
    run.framesShown = window->frames() != nullptr;
    if (!run.framesShown) run.notes += "  Frames view skipped: the window did not build its frames\n";
}

// On the UI thread: hex form (40008), both Disp buttons, both captures.
void openWindows(Run& run, QWidget* mainWindow) {
    openTimeline(run, mainWindow);
    if (!run.othersWanted) return;
    if (QAction* hex = vorlinexOf(mainWindow).mainMenuItem(kCommandBinary)) {
        hex->trigger();
        run.hexChecked = hex->isChecked();
    } else {
        run.notes += "  menu item 40008 not found: the hex form was not chosen\n";
    }
    const int buttons[2] = {kCommandDisp1, kCommandDisp2};
    for (int c = 0; c < 2; ++c) {
        if (auto* b = mainWindow->findChild<QAbstractButton*>(QString::number(buttons[c]))) b->click();
        run.displayOpen[c] = vorlinexOf(mainWindow).app.trafficDisplay(c + 1).displayOpen.load() == 1;
        if (!run.displayOpen[c]) {
            run.notes += std::string("  display window ") + std::to_string(c + 1) +
                         " skipped: Disp " + std::to_string(buttons[c]) + " did not open it\n";
        }
    }
    // The captures as the user starts them, through LOG Com->Com / LOG Com<-Com, with the file
    // named by the benchmark instead of the file dialog.
    vorlinexOf(mainWindow).captureWindows.setCaptureFileChooser([&run](int channel) -> std::optional<QString> {
        if (channel == kCombinedCapture) return QString::fromStdString(run.combinedPath);
        return QString::fromStdString(run.logPath[channel == 2 ? 1 : 0]);
    });
    vorlinexOf(mainWindow).captureWindows.setCreateFilePrompt([](const QString&) { return true; });
    const int logItems[2] = {kCommandLogA, kCommandLogB};
    for (int c = 0; c < 2; ++c) {
        if (QAction* item = vorlinexOf(mainWindow).mainMenuItem(logItems[c])) item->trigger();
        run.logOpen[c] = vorlinexOf(mainWindow).app.captures.captureLog(c + 1).logEnabled.load() == 1;
        run.logWindow[c] = vorlinexOf(mainWindow).captureWindows.captureLogWindow(c + 1) != nullptr;
        if (!run.logOpen[c]) {
            run.notes += "  capture " + std::to_string(c + 1) + " skipped: menu item " +
                         std::to_string(logItems[c]) + " did not open the log\n";
        }
    }
    if (!run.combinedWanted) return;
    if (QAction* item = vorlinexOf(mainWindow).mainMenuItem(kCommandLogC)) item->trigger();
    run.combinedOpen = vorlinexOf(mainWindow).app.captures.combinedCapture.enabled() && vorlinexOf(mainWindow).captureWindows.captureLogWindow(kCombinedCapture) != nullptr;
    if (!run.combinedOpen) run.notes += "  combined capture skipped: menu item 40012 did not open it\n";
}

// The control thread: waits for the relay, opens the windows, feeds, collects, shuts down.
void control(Run& run, QWidget* mainWindow) {
    HarnessCpu cpu;
    run.relaying = bench::waitRelaying(run.port1, run.port2, 20) &&
                   bench::waitRelaying(run.port2, run.port1, 20);
    if (run.relaying) {
        QMetaObject::invokeMethod(mainWindow, [&] { openWindows(run, mainWindow); },
                                  Qt::BlockingQueuedConnection);
        size_t total = static_cast<size_t>(run.rate * run.seconds);
        if (run.modbus) {
            run.traffic = bench::modbusTraffic(total, 460800);
            run.dir[0].data = run.traffic.requests;
            run.dir[1].data = run.traffic.answers;
        } else {
            run.dir[0].data = randomBytes(total, 460800);
            run.dir[1].data = randomBytes(total, 460801);
        }
        int from[2] = {run.port1.master(), run.port2.master()};
        int to[2] = {run.port2.master(), run.port1.master()};

        QMetaObject::invokeMethod(mainWindow, [&] {
            run.stall.begin();
        }, Qt::BlockingQueuedConnection);
        double cpu0 = processCpuSeconds();
        int64_t harness0 = harnessCpuUs.load();
        double self0 = threadCpuSeconds();
        auto t0 = bench::Clock::now();
        std::thread feeders[2];
        std::thread readers[2];
        if (run.modbus) {
            feeders[0] = std::thread([&run, &from] {
                bench::Clock::time_point written[2];
                bench::feedTransactions(from[0], from[1], run.traffic, run.rate, run.arrived, written);
                run.dir[0].fedAll = written[0];
                run.dir[1].fedAll = written[1];
            });
        }
        for (int d = 0; d < 2; ++d) {
            if (!run.modbus) {
                feeders[d] = std::thread([&run, &from, d] {
                    run.dir[d].fedAll = feedPaced(from[d], run.dir[d].data, run.rate);
                });
            }
            readers[d] = std::thread([&run, &to, d, t0] {
                HarnessCpu readerCpu;
                Direction& dir = run.dir[d];
                dir.lastByte = t0;
                dir.check = bench::readAndCompare(to[d], dir.data, 3000, &dir.lastByte, &run.arrived[d]);
                dir.seconds = std::chrono::duration<double>(dir.lastByte - t0).count();
            });
        }
        for (auto& t : feeders) {
            if (t.joinable()) t.join();
        }
        for (auto& t : readers) t.join();
        run.measuredSeconds = bench::secondsSince(t0);
        QMetaObject::invokeMethod(mainWindow, [&] { run.stall.measuring = false; },
                                  Qt::BlockingQueuedConnection);
        if (run.timelineOpen) {
            // The timeline's records, read after the feed and before the shutdown lets them go.
            QMetaObject::invokeMethod(mainWindow, [&] {
                TimelineWindow* window = vorlinexOf(mainWindow).timelineWindows.timelineWindow();
                if (run.framesShown && window != nullptr && window->frames() != nullptr) {
                    while (!window->advanceFrames()) {
                    }
                    const TimelineExtent all = window->frames()->all().extent();
                    const TimelineExtent errors = window->frames()->errors().extent();
                    run.frameRows = all.end - all.first;
                    run.errorRows = errors.end - errors.first;
                    std::vector<TimelineRecord> rows;
                    window->frames()->errors().read(errors.first, static_cast<size_t>(run.errorRows), rows);
                    for (const TimelineRecord& r : rows) run.timeouts += r.verdict == Verdict::Timeout;
                }
                const TimelineSource& timeline = vorlinexOf(mainWindow).app.timeline;
                const TimelineExtent extent = timeline.extent();
                run.timelineRecords = extent.end - extent.first;
                run.timelineDropped = extent.dropped;
                std::vector<TimelineRecord> records;
                for (uint64_t n = extent.first; n < extent.end; n += 4096) {
                    records.clear();
                    timeline.read(n, 4096, records);
                    for (const TimelineRecord& r : records) run.timelineBytes[r.channel == 2 ? 1 : 0] += r.bytes;
                }
            }, Qt::BlockingQueuedConnection);
        }
        double all = processCpuSeconds() - cpu0;
        double harness = static_cast<double>(harnessCpuUs.load() - harness0) / 1e6 +
                         (threadCpuSeconds() - self0);
        run.programCpuSeconds = all - harness;
        run.processCpuPercentAll = all / run.measuredSeconds * 100;
    }
    QMetaObject::invokeMethod(mainWindow, [mainWindow] { vorlinexOf(mainWindow).shutdownVorlinex(); }, Qt::QueuedConnection);
}

void parseArguments(Run& run, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--no-combined") run.combinedWanted = false;
        else if (a == "--timeline") run.timelineWanted = true;
        else if (a == "--timeline-only") run.timelineWanted = true, run.othersWanted = false, run.combinedWanted = false;
        else if (a == "--bare") run.othersWanted = false, run.combinedWanted = false;
        else if (a == "--tick-probe") run.stall.tickProbe = true;
        else if (a == "--modbus") run.modbus = true;
        else if (a == "--frames") {
            run.framesWanted = true;
            run.timelineWanted = true;
        }
        else if (i + 1 >= argc) break;
        else if (a == "--seconds") run.seconds = std::max(1.0, std::atof(argv[++i]));
        else if (a == "--rate") run.rate = std::max(1.0, std::atof(argv[++i]));
    }
}

void printWindows(const Run& run) {
    auto logState = [&run](int c) {
        return !run.logOpen[c] ? "skipped" : run.logWindow[c] ? "open with its window" : "open, no window";
    };
    std::printf("  windows: timeline %s, hex form %s, display 1 %s, display 2 %s, log 1 %s, log 2 %s, combined %s\n",
                run.timelineOpen ? "open" : run.timelineWanted ? "skipped" : "not asked for",
                run.hexChecked ? "checked" : "NOT checked", run.displayOpen[0] ? "open" : "skipped",
                run.displayOpen[1] ? "open" : "skipped", logState(0), logState(1),
                run.combinedOpen ? "open with its window" : run.combinedWanted ? "skipped" : "not asked for");
}

// Every byte of each direction at the far end; returns how many directions missed.
int reportDirections(const Run& run) {
    int missed = 0;
    for (int d = 0; d < 2; ++d) {
        const Direction& dir = run.dir[d];
        double kept = dir.seconds > 0 ? static_cast<double>(dir.check.received) / dir.seconds : NAN;
        std::printf("  %s: sent %llu B, received %llu B, lost %llu, reordered/corrupted %llu, "
                    "extra %llu; rate kept %.0f B/s of %.0f (%.1f %%); last byte arrived %.1f ms "
                    "after it was sent\n",
                    dir.name, static_cast<unsigned long long>(dir.check.expected),
                    static_cast<unsigned long long>(dir.check.received),
                    static_cast<unsigned long long>(dir.check.lost()),
                    static_cast<unsigned long long>(dir.check.wrong),
                    static_cast<unsigned long long>(dir.check.extra()), kept, run.rate,
                    kept / run.rate * 100,
                    std::chrono::duration<double, std::milli>(dir.lastByte - dir.fedAll).count());
        if (dir.check.lost() != 0 || dir.check.wrong != 0 || dir.check.extra() != 0) ++missed;
    }
    return missed;
}

// The UI thread's longest stall and the program's CPU; returns 1 if the stall missed its target.
int reportStallAndCpu(const Run& run) {
    int missed = 0;
    std::printf("  UI thread longest stall (%s): %lld ms  [target < 100 ms: %s]\n", run.stall.what(),
                static_cast<long long>(run.stall.longestMs), run.stall.longestMs < 100 ? "met" : "MISSED");
    if (run.stall.longestMs >= 100) ++missed;
    // With a master that waits for each answer the feed may take longer than asked: its CPU over
    // the asked length compares runs that the machine slowed differently.
    std::printf("  program CPU: %.1f %% of a core (process %.1f %%, less the benchmark's own "
                "feeders and readers) over %.1f s; %.1f %% of the %.0f s asked for\n",
                run.programCpuSeconds / run.measuredSeconds * 100, run.processCpuPercentAll,
                run.measuredSeconds, run.programCpuSeconds / run.seconds * 100, run.seconds);
    return missed;
}

// Each capture file against the bytes relayed on its channel; returns how many differ.
int reportLogs(const Run& run) {
    int missed = 0;
    for (int c = 0; c < 2; ++c) {
        if (!run.logOpen[c]) {
            std::printf("  log %d: skipped\n", c + 1);
            continue;
        }
        std::string log = bench::readFile(run.logPath[c]);
        const Direction& dir = run.dir[c];
        bool same = log.size() == dir.check.received &&
                    log.compare(0, log.size(), dir.data, 0, log.size()) == 0;
        std::printf("  log %d: %zu B in the file, %llu B relayed on channel %d: %s\n", c + 1,
                    log.size(), static_cast<unsigned long long>(dir.check.received), c + 1,
                    same ? "equal, same bytes" : "DIFFERENT");
        if (!same) ++missed;
    }
    return missed;
}

// The combined capture, per direction, against the bytes relayed; 1 if it differs.
int reportCombined(const Run& run) {
    int missed = 0;
    const std::string file = bench::readFile(run.combinedPath);
    std::string error, perDirection[2];
    size_t records = 0;
    for (const CombinedRecord& r : parseCombinedRecords(file, error)) {
        perDirection[r.channel - 1] += r.bytes;
        ++records;
    }
    const size_t relayed = run.dir[0].check.received + run.dir[1].check.received;
    bool same = error.empty();
    for (int d = 0; d < 2; ++d) {
        same = same && perDirection[d].size() == run.dir[d].check.received &&
               perDirection[d].compare(0, perDirection[d].size(), run.dir[d].data, 0,
                                       perDirection[d].size()) == 0;
    }
    std::printf("  combined: %zu B in the file, %zu records, for %zu B relayed both ways "
                "(%.2f file bytes per byte); per direction %s%s\n",
                file.size(), records, relayed,
                relayed > 0 ? static_cast<double>(file.size()) / static_cast<double>(relayed) : NAN,
                same ? "equal, same bytes" : "DIFFERENT", error.empty() ? "" : (" (" + error + ")").c_str());
    if (!same) ++missed;
    return missed;
}

// The timeline's records, per direction, against the bytes relayed; 1 if they differ.
int reportTimeline(const Run& run) {
    int missed = 0;
    bool same = run.timelineDropped == 0;
    for (int d = 0; d < 2; ++d) {
        const std::string& bytes = run.timelineBytes[d];
        same = same && bytes.size() == run.dir[d].check.received &&
               bytes.compare(0, bytes.size(), run.dir[d].data, 0, bytes.size()) == 0;
    }
    std::printf("  timeline: %llu records held (%llu dropped) holding %llu + %llu B; against the bytes relayed, per direction %s\n",
                static_cast<unsigned long long>(run.timelineRecords),
                static_cast<unsigned long long>(run.timelineDropped),
                static_cast<unsigned long long>(run.timelineBytes[0].size()),
                static_cast<unsigned long long>(run.timelineBytes[1].size()),
                same ? "equal, same bytes" : "DIFFERENT");
    if (!same) ++missed;
    return missed;
}

}  // namespace

int main(int argc, char** argv) {
    ScratchDir scratch;
    Run run;
    parseArguments(run, argc, argv);
    run.logPath[0] = scratch.file("channel1.log");
    run.logPath[1] = scratch.file("channel2.log");
    run.combinedPath = scratch.file("combined.log");
    const int rc = bench::runProgramInProcess(
        scratch, run.port1, run.port2, 460800, [&](QWidget* w) { control(run, w); },
        [&](QWidget* w) { run.stall.attach(w); });

    std::printf("bench_throughput: the program in-process, Qt platform %s, BPS 460800 on pty cables, "
                "%.0f B/s paced each way for %.0f s%s\n", std::getenv("QT_QPA_PLATFORM"), run.rate, run.seconds,
                run.modbus ? ", Modbus RTU transactions" : "");
    printWindows(run);
    if (!run.notes.empty()) std::printf("%s", run.notes.c_str());
    if (bench::neverRelayed(run.relaying, rc)) return 1;
    int missed = reportDirections(run);
    missed += reportStallAndCpu(run);
    missed += reportLogs(run);
    if (run.combinedOpen) missed += reportCombined(run);
    if (run.timelineOpen) missed += reportTimeline(run);
    if (run.framesShown) {
        // Every bad CRC sent is an error row; a timeout may stand for an answer that was one.
        std::printf("  Frames view (Modbus RTU): %llu rows, %llu errors of which %llu timeouts; %llu frames "
                    "sent with a wrong CRC\n",
                    static_cast<unsigned long long>(run.frameRows), static_cast<unsigned long long>(run.errorRows),
                    static_cast<unsigned long long>(run.timeouts), static_cast<unsigned long long>(run.traffic.badFrames));
    }
    std::printf("  entry function returned %d; %d target(s) missed\n", rc, missed);
    return 0;
}

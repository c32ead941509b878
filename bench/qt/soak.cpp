// The real program in-process, offscreen, for a long run: both directions at a 460800-baud
// line's pace with both display windows and all three captures open (each direction's and the
// combined one), and every few seconds each display window ended and opened again (alternating
// ASCII and hexadecimal form) and each capture closed and started again into a new file. Prints
// the bytes lost each way, the resident size at the start, after the first minute and at the
// end, the UI thread's longest stall, whether every capture file is an unbroken run of its
// direction's bytes, the captures' largest queue fill and the captured bytes that never reached
// their file. --timeline keeps the timeline window open over the whole run, --frames in its Frames
// view with Modbus RTU decoding; --modbus feeds back-to-back Modbus RTU transactions (requests
// 1->2, answers 2->1, one frame in twenty with a wrong CRC) instead of random bytes.
//
//   bench_soak [--seconds S] [--rate B/s] [--cycle S] [--timeline | --frames] [--modbus]
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/qt/program_feed.h"
#include "bench/qt/program_run.h"
#include "capture/capture_log.h"
#include "capture/qt/log_window.h"
#include "display/qt/display_window.h"
#include "display/qt/timeline_window.h"
#include "display/timeline_frames.h"
#include "display/traffic_render.h"
#include "relay/relay_channel.h"
#include "shell/qt/command_ids.h"
#include "shell/qt/entry.h"
#include "shell/qt/main_window.h"
#include "tests/support/combined_records.h"

namespace {

struct Soak {
    double seconds = 600;
    double rate = 46080;
    double cycleSeconds = 5;
    PtyCable port1;
    PtyCable port2;
    ScratchDir* scratch = nullptr;
    std::string data[2];
    bool modbus = false;
    bench::ModbusTraffic traffic;
    std::atomic<uint64_t> arrived[2] = {0, 0};  // bytes each far end has read, for the slave to answer on
    bool timeline = false;
    bool frames = false;
    bool timelineOpen = false;
    uint64_t frameRows = 0, errorRows = 0;
    std::map<std::string, uint64_t> otherErrors;  // error rows that are not a wrong CRC, by kind
    std::vector<std::string> otherErrorRows;
    bench::StreamCheck check[2];
    std::vector<std::string> logFiles[3];  // every capture file, in the order they were made
    std::vector<int64_t> logCounts[3];     // the bytes each capture took, read once it was closed
    int64_t peakQueued = 0;                // the most captured bytes any capture's queue held
    int cycles = 0;
    int failedOpens = 0;  // a display window or capture that did not open when asked
    bool relaying = false;
    long rssStartKb = -1;
    long rssMinuteKb = -1;
    long rssEndKb = -1;
    long rssPeakKb = -1;
    bench::StallMeter stall;
    // The longest time the UI thread spent ending, and opening, the windows of one cycle.
    double longestEndMs = 0;
    double longestOpenMs = 0;
    template <typename Step>
    void timed(double& longest, Step step) {
        const auto t0 = bench::Clock::now();
        step();
        longest = std::max(longest, bench::secondsSince(t0) * 1000);
    }
    double programCpuSeconds = 0;
    double measuredSeconds = 0;
};

QAbstractButton* buttonOf(QWidget* window, int id) {
    return window == nullptr ? nullptr : window->findChild<QAbstractButton*>(QString::number(id));
}

// On the UI thread: both display windows and both captures, each into a file of its own.
void openAll(Soak& soak, QWidget* mainWindow) {
    const int disp[2] = {kCommandDisp1, kCommandDisp2};
    const int logItems[3] = {kCommandLogA, kCommandLogB, kCommandLogC};
    Session& app = vorlinexOf(mainWindow).app;
    for (int c = 0; c < 3; ++c) {
        if (c < 2) {
            if (auto* b = buttonOf(mainWindow, disp[c])) b->click();
            if (app.trafficDisplay(c + 1).displayOpen.load() != 1) ++soak.failedOpens;
        }
        soak.logFiles[c].push_back(soak.scratch->file((c < 2 ? "channel" + std::to_string(c + 1) : "combined") +
                                                      "-" + std::to_string(soak.cycles) + ".log"));
        if (QAction* item = vorlinexOf(mainWindow).mainMenuItem(logItems[c])) item->trigger();
        const bool open = c < 2 ? app.captures.captureLog(c + 1).logEnabled.load() == 1 : app.captures.combinedCapture.enabled();
        if (!open) ++soak.failedOpens;
    }
}

// On the UI thread, once no capture takes bytes any more: what each took, and its queue's peak.
void countCaptured(Soak& soak, QWidget* mainWindow) {
    Captures& captures = vorlinexOf(mainWindow).app.captures;
    for (int c = 0; c < 3; ++c) {
        if (soak.logCounts[c].size() >= soak.logFiles[c].size()) continue;
        soak.logCounts[c].push_back(c < 2 ? captures.captureByteCount(c + 1) : captures.combinedCapture.byteCount());
        soak.peakQueued = std::max(soak.peakQueued, c < 2 ? captures.capturePeakQueued(c + 1)
                                                          : captures.combinedCapture.peakQueued());
    }
}

// On the UI thread: END in both display windows, CLOSE in both log windows, the other form.
void endAll(Soak& soak, QWidget* mainWindow) {
    ++soak.cycles;
    for (int c = 1; c <= 3; ++c) {
        if (c < 3) {
            if (auto* end = buttonOf(vorlinexOf(mainWindow).displayWindows.displayWindowOf(c), kDisplayEnd)) end->click();
        }
        if (auto* close = buttonOf(vorlinexOf(mainWindow).captureWindows.captureLogWindow(c), kLogClose)) close->click();
    }
    countCaptured(soak, mainWindow);
    if (QAction* form = vorlinexOf(mainWindow).mainMenuItem(soak.cycles % 2 == 1 ? kCommandBinary : kCommandAscii)) form->trigger();
}

// A closed capture gives its menu item back once its file is written out and closed.
bool capturesClosed(QWidget* mainWindow) {
    for (int id : {kCommandLogA, kCommandLogB, kCommandLogC}) {
        if (QAction* item = vorlinexOf(mainWindow).mainMenuItem(id); item == nullptr || !item->isEnabled()) return false;
    }
    return true;
}

// On the UI thread: the timeline window (40014), in its Frames view with --frames.
void openTimeline(Soak& soak, QWidget* mainWindow) {
    if (!soak.timeline) return;
    if (QAction* item = vorlinexOf(mainWindow).mainMenuItem(kCommandTimeline)) item->trigger();
    TimelineWindow* window = vorlinexOf(mainWindow).timelineWindows.timelineWindow();
    soak.timelineOpen = window != nullptr;
    if (window == nullptr) {
        ++soak.failedOpens;
        return;
    }
    TimelineDecode decode;
    decode.frames = soak.frames;
    parseDecodeChoice("modbus-rtu", decode.choice);
    window->setDecode(decode);
    if (soak.frames && window->frames() == nullptr) ++soak.failedOpens;
}

// On the UI thread, after the feed: the Frames view's rows and error rows, once it caught up.
void countFrames(Soak& soak, QWidget* mainWindow) {
    TimelineWindow* window = vorlinexOf(mainWindow).timelineWindows.timelineWindow();
    if (!soak.frames || window == nullptr || window->frames() == nullptr) return;
    while (!window->advanceFrames()) {
    }
    const TimelineExtent all = window->frames()->all().extent();
    const TimelineExtent errors = window->frames()->errors().extent();
    soak.frameRows = all.end - all.first;
    soak.errorRows = errors.end - errors.first;
    // Errors other than the planted wrong CRCs, by kind, with the first few of them as shown.
    std::vector<TimelineRecord> rows;
    window->frames()->errors().read(errors.first, errors.end - errors.first, rows);
    for (const TimelineRecord& row : rows) {
        if (row.verdict == Verdict::BadCrc) continue;
        ++soak.otherErrors[std::string(verdictText(row.verdict))];
        if (soak.otherErrorRows.size() < 5) soak.otherErrorRows.push_back(row.summary);
    }
}

void control(Soak& soak, QWidget* mainWindow) {
    bench::HarnessCpu cpu;
    soak.relaying = bench::waitRelaying(soak.port1, soak.port2, 20) &&
                    bench::waitRelaying(soak.port2, soak.port1, 20);
    if (soak.relaying) {
        vorlinexOf(mainWindow).captureWindows.setCaptureFileChooser([&soak](int channel) -> std::optional<QString> {
            return QString::fromStdString(soak.logFiles[std::clamp(channel, 1, 3) - 1].back());
        });
        vorlinexOf(mainWindow).captureWindows.setCreateFilePrompt([](const QString&) { return true; });
        QMetaObject::invokeMethod(mainWindow, [&] {
            openTimeline(soak, mainWindow);
            openAll(soak, mainWindow);
            soak.stall.begin();
        }, Qt::BlockingQueuedConnection);

        const size_t total = static_cast<size_t>(soak.rate * soak.seconds);
        if (soak.modbus) {
            soak.traffic = bench::modbusTraffic(total, 600001);
            soak.data[0] = soak.traffic.requests;
            soak.data[1] = soak.traffic.answers;
        } else {
            soak.data[0] = randomBytes(total, 600001);
            soak.data[1] = randomBytes(total, 600002);
        }
        const int from[2] = {soak.port1.master(), soak.port2.master()};
        const int to[2] = {soak.port2.master(), soak.port1.master()};
        soak.rssStartKb = bench::residentKb();
        const double cpu0 = bench::processCpuSeconds();
        const int64_t harness0 = bench::harnessCpuUs.load();
        const double self0 = bench::threadCpuSeconds();
        const auto t0 = bench::Clock::now();
        std::atomic<int> running{2};
        std::thread feeders[2];
        std::thread readers[2];
        if (soak.modbus) {
            feeders[0] = std::thread([&] {
                bench::Clock::time_point written[2];
                bench::feedTransactions(from[0], from[1], soak.traffic, soak.rate, soak.arrived, written);
            });
        }
        for (int d = 0; d < 2; ++d) {
            if (!soak.modbus) feeders[d] = std::thread([&, d] { bench::feedPaced(from[d], soak.data[d], soak.rate); });
            readers[d] = std::thread([&, d] {
                bench::HarnessCpu readerCpu;
                soak.check[d] = bench::readAndCompare(to[d], soak.data[d], 5000, nullptr, &soak.arrived[d]);
                --running;
            });
        }
        double nextCycle = soak.cycleSeconds;
        while (running.load() > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const double now = bench::secondsSince(t0);
            const long rss = bench::residentKb();
            soak.rssPeakKb = std::max(soak.rssPeakKb, rss);
            if (soak.rssMinuteKb < 0 && now >= 60) soak.rssMinuteKb = rss;
            if (now >= nextCycle && now < soak.seconds) {
                nextCycle += soak.cycleSeconds;
                QMetaObject::invokeMethod(mainWindow, [&] { soak.timed(soak.longestEndMs, [&] { endAll(soak, mainWindow); }); },
                                          Qt::BlockingQueuedConnection);
                bool closed = false;
                for (int wait = 0; wait < 500 && !closed; ++wait) {
                    QMetaObject::invokeMethod(mainWindow, [&] { closed = capturesClosed(mainWindow); },
                                              Qt::BlockingQueuedConnection);
                    if (!closed) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                QMetaObject::invokeMethod(mainWindow, [&] { soak.timed(soak.longestOpenMs, [&] { openAll(soak, mainWindow); }); },
                                          Qt::BlockingQueuedConnection);
            }
        }
        for (auto& t : feeders) {
            if (t.joinable()) t.join();
        }
        for (auto& t : readers) t.join();
        soak.measuredSeconds = bench::secondsSince(t0);
        soak.rssEndKb = bench::residentKb();
        QMetaObject::invokeMethod(mainWindow, [&] {
            soak.stall.measuring = false;
            // The feed has ended: the open captures take nothing more before the shutdown.
            countCaptured(soak, mainWindow);
            countFrames(soak, mainWindow);
        }, Qt::BlockingQueuedConnection);
        const double all = bench::processCpuSeconds() - cpu0;
        const double harness = static_cast<double>(bench::harnessCpuUs.load() - harness0) / 1e6 +
                               (bench::threadCpuSeconds() - self0);
        soak.programCpuSeconds = all - harness;
    }
    QMetaObject::invokeMethod(mainWindow, [mainWindow] { vorlinexOf(mainWindow).shutdownVorlinex(); }, Qt::QueuedConnection);
}

// Every capture file must be one unbroken run of the direction's bytes, each later file
// starting after the earlier one ended. Returns how many files break that; adds up the bytes.
int checkCaptures(const std::vector<std::string>& files, const std::string& data,
                  uint64_t& captured) {
    int broken = 0;
    size_t searchFrom = 0;
    for (const std::string& path : files) {
        const std::string log = bench::readFile(path);
        captured += log.size();
        if (log.empty()) continue;
        const size_t at = data.find(log.substr(0, std::min<size_t>(log.size(), 64)), searchFrom);
        if (at == std::string::npos || data.compare(at, log.size(), log) != 0) {
            ++broken;
            continue;
        }
        searchFrom = at + log.size();
    }
    return broken;
}

// The combined files: each must read back record by record, and each direction's bytes in them
// one unbroken run. Returns how many files break that; adds up each file's bytes.
int checkCombined(const std::vector<std::string>& files, const std::string (&data)[2], std::vector<int64_t>& sizes) {
    int broken = 0;
    size_t searchFrom[2] = {0, 0};
    for (const std::string& path : files) {
        std::string error, bytes[2];
        for (const CombinedRecord& r : parseCombinedRecords(bench::readFile(path), error)) bytes[r.channel - 1] += r.bytes;
        sizes.push_back(static_cast<int64_t>(bytes[0].size() + bytes[1].size()));
        bool whole = error.empty();
        for (int d = 0; d < 2 && whole; ++d) {
            if (bytes[d].empty()) continue;
            const size_t at = data[d].find(bytes[d].substr(0, 64), searchFrom[d]);
            whole = at != std::string::npos && data[d].compare(at, bytes[d].size(), bytes[d]) == 0;
            if (whole) searchFrom[d] = at + bytes[d].size();
        }
        if (!whole) ++broken;
    }
    return broken;
}

void parseArguments(Soak& soak, int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        std::string a = argv[i];
        if (a == "--seconds") soak.seconds = std::max(10.0, std::atof(argv[++i]));
        else if (a == "--rate") soak.rate = std::max(1.0, std::atof(argv[++i]));
        else if (a == "--cycle") soak.cycleSeconds = std::max(0.5, std::atof(argv[++i]));
    }
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        soak.modbus = soak.modbus || a == "--modbus";
        soak.frames = soak.frames || a == "--frames";
        soak.timeline = soak.timeline || a == "--timeline" || a == "--frames";
    }
}

// Every byte of each direction at the far end; returns how many directions missed.
int reportDirections(const Soak& soak) {
    int missed = 0;
    const char* names[2] = {"1->2 (channel 1)", "2->1 (channel 2)"};
    for (int d = 0; d < 2; ++d) {
        const bench::StreamCheck& c = soak.check[d];
        std::printf("  %s: sent %llu B, received %llu B, lost %llu, reordered/corrupted %llu, "
                    "extra %llu\n",
                    names[d], static_cast<unsigned long long>(c.expected),
                    static_cast<unsigned long long>(c.received),
                    static_cast<unsigned long long>(c.lost()),
                    static_cast<unsigned long long>(c.wrong),
                    static_cast<unsigned long long>(c.extra()));
        if (c.lost() != 0 || c.wrong != 0 || c.extra() != 0) ++missed;
    }
    return missed;
}

// The cycles, every capture file against its direction's bytes, and what the queues did not
// write; returns the targets missed.
int reportCaptures(const Soak& soak) {
    int missed = 0;
    std::printf("  %d cycles of END + Disp and CLOSE + LOG per channel; %d window(s) or "
                "capture(s) did not open when asked\n", soak.cycles, soak.failedOpens);
    if (soak.failedOpens != 0) ++missed;
    int64_t notWritten = 0;
    for (int c = 0; c < 3; ++c) {
        uint64_t captured = 0;
        std::vector<int64_t> sizes;
        int broken = 0;
        if (c < 2) {
            broken = checkCaptures(soak.logFiles[c], soak.data[c], captured);
            for (const std::string& path : soak.logFiles[c]) sizes.push_back(static_cast<int64_t>(bench::readFile(path).size()));
        } else {
            broken = checkCombined(soak.logFiles[c], soak.data, sizes);
            for (int64_t size : sizes) captured += static_cast<uint64_t>(size);
        }
        for (size_t i = 0; i < sizes.size() && i < soak.logCounts[c].size(); ++i) notWritten += soak.logCounts[c][i] - sizes[i];
        std::printf("  captures of %s: %zu files, %llu B, %d not an unbroken run of the "
                    "direction's bytes\n", c < 2 ? (c == 0 ? "channel 1" : "channel 2") : "both (combined)",
                    soak.logFiles[c].size(), static_cast<unsigned long long>(captured), broken);
        if (broken != 0) ++missed;
    }
    std::printf("  capture queues: largest fill %lld B of %lld B; captured bytes not written %lld  [target 0: %s]\n",
                static_cast<long long>(soak.peakQueued), static_cast<long long>(CaptureFile::kQueueLimit),
                static_cast<long long>(notWritten), notWritten == 0 ? "met" : "MISSED");
    if (notWritten != 0) ++missed;
    return missed;
}

// Resident size over the run, the UI thread's longest stall, the CPU; returns the targets missed.
int reportMemoryStallAndCpu(const Soak& soak) {
    int missed = 0;
    const long growth = soak.rssEndKb - soak.rssMinuteKb;
    // The timeline keeps records up to its own bound, so the resident size grows until it is reached.
    const bool rssTarget = !soak.timelineOpen;
    std::printf("  resident size: %ld kB at the start, %ld kB after 1 minute, %ld kB at the end "
                "(peak %ld kB); growth after the first minute %ld kB  [target < 2048 kB: %s]\n",
                soak.rssStartKb, soak.rssMinuteKb, soak.rssEndKb, soak.rssPeakKb, growth,
                !rssTarget             ? "none with the timeline open"
                : soak.rssMinuteKb < 0 ? "not measured, run longer than 60 s"
                : growth < 2048        ? "met"
                                       : "MISSED");
    if (rssTarget && soak.rssMinuteKb >= 0 && growth >= 2048) ++missed;
    std::printf("  UI thread longest stall (%s): %lld ms  [target < 100 ms: %s]\n", soak.stall.what(),
                static_cast<long long>(soak.stall.longestMs),
                soak.stall.longestMs < 100 ? "met" : "MISSED");
    if (soak.stall.longestMs >= 100) ++missed;
    std::printf("  of which the cycles' own steps on the UI thread: ending the windows at most %.1f ms, "
                "opening them at most %.1f ms\n", soak.longestEndMs, soak.longestOpenMs);
    // A master that waits for each answer keeps the pace only while the relay answers in time: the
    // same CPU over the feed's asked length compares runs that were slowed by the machine.
    std::printf("  program CPU: %.1f %% of a core over %.1f s; %.1f CPU-s, %.1f %% of the %.0f s asked for\n",
                soak.programCpuSeconds / soak.measuredSeconds * 100, soak.measuredSeconds, soak.programCpuSeconds,
                soak.programCpuSeconds / soak.seconds * 100, soak.seconds);
    if (soak.frames) {
        std::printf("  timeline in its Frames view (Modbus RTU): %llu rows held, %llu errors; %llu frames sent with "
                    "a wrong CRC\n", static_cast<unsigned long long>(soak.frameRows),
                    static_cast<unsigned long long>(soak.errorRows),
                    static_cast<unsigned long long>(soak.traffic.badFrames));
        for (const auto& [kind, count] : soak.otherErrors) std::printf("    %s: %llu\n", kind.c_str(),
                                                                        static_cast<unsigned long long>(count));
        for (const std::string& summary : soak.otherErrorRows) std::printf("    e.g. %s\n", summary.c_str());
    } else if (soak.timelineOpen) {
        std::printf("  timeline open in its Records view\n");
    }
    return missed;
}

}  // namespace

int main(int argc, char** argv) {
    ScratchDir scratch;
    Soak soak;
    soak.scratch = &scratch;
    parseArguments(soak, argc, argv);
    const int rc = bench::runProgramInProcess(
        scratch, soak.port1, soak.port2, 460800, [&](QWidget* w) { control(soak, w); },
        [&](QWidget* w) { soak.stall.attach(w); });

    std::printf("bench_soak: the program in-process, Qt platform %s, BPS 460800 on pty cables, "
                "%.0f B/s each way%s for %.0f s, windows and captures cycled every %.1f s\n",
                std::getenv("QT_QPA_PLATFORM"), soak.rate, soak.modbus ? " of Modbus RTU transactions" : "",
                soak.seconds, soak.cycleSeconds);
    if (bench::neverRelayed(soak.relaying, rc)) return 1;
    int missed = reportDirections(soak);
    missed += reportCaptures(soak);
    missed += reportMemoryStallAndCpu(soak);
    std::printf("  entry function returned %d; %d target(s) missed\n", rc, missed);
    return missed == 0 ? 0 : 2;
}

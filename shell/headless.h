// The headless face of the application: the same relay, workers and captures as the window,
// reporting as lines on stderr instead of boxes and labels. The owner's thread (the event loop
// of shell/qt/headless_main) calls everything here; the workers only hand up chunks and counts.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <string>

#include "shell/application.h"
#include "shell/box_request.h"
#include "shell/command_line.h"
#include "shell/headless_report.h"

class HeadlessRelay {
public:
    // Where each line goes (stderr, with its priority prefix, in the program).
    using Say = std::function<void(JournalPriority priority, const std::string& text)>;

    HeadlessRelay(CommandLine options, Say say);
    HeadlessRelay(const HeadlessRelay&) = delete;
    HeadlessRelay& operator=(const HeadlessRelay&) = delete;
    ~HeadlessRelay();

    // The settings (--ini or ./Vorlinex.ini), then the captures, appended to; then both ports
    // and their workers, and the one-second tick (the date-time lines' countdown). false when the
    // named settings file cannot be read or a capture could not be opened: told, and nothing
    // else was opened.
    bool start();
    // Every 250 ms: the reconnect step for ports that went away, and a line for each port that
    // went away or came back, each capture that ended and each reopen that was done.
    void step();
    // Once a second: the rates of the status line.
    void sampleRates();
    // SIGHUP: every open capture is closed and opened again by its path after the bytes it has
    // taken; the outcomes are told by a later step. Every capture that ended is opened again
    // by its path (appended to) once its writer has finished, and told at once.
    void reopenCaptures();
    // SIGTERM, SIGINT: the workers stop, the ports close, every capture writes out what it holds
    // and closes (a capture that could not is told). Once.
    void stop();

    HeadlessStatus status();
    // Whether a network port still connects for the first time (start-up is not done until it
    // has been tried).
    bool portsTried() const;

    Application app;

private:
    struct PortWatch {
        bool present = true;
        std::chrono::steady_clock::time_point since{};  // when it stopped being present
    };

    std::string portPath(int port) const;
    bool portPresent(int port) const;
    // Tells a port that went away or came back; true when it did.
    bool watchPort(int port, std::chrono::steady_clock::time_point now);
    void takeCaptureReports();
    // Opens capture 1, 2 or 3 (appended to); false with the reason in `why`.
    // The path a capture was named with (1, 2 or kCombined); empty when none was.
    const std::string& capturePath(int which) const;
    bool openCapture(int which, const std::string& path, std::string& why);

    const CommandLine options_;
    const Say say_;
    BoxFunction boxes_;
    bool stopped_ = false;
    std::chrono::steady_clock::time_point startedAt_ = std::chrono::steady_clock::now();
    PortWatch watches_[2];
    int64_t lastTotals_[2] = {0, 0};
    int64_t rates_[2] = {0, 0};
    bool captureEnded_[3] = {false, false, false};
    // How a port that did not open at start is told: waited for, or not coming by itself.
    JournalPriority portReportPriority_ = JournalPriority::Error;
};

// The captures' labels in lines and status: 1 "a", 2 "b", 3 "combined".
const char* headlessCaptureLabel(int which);

// The headless face of the session: the same start-up, reconnect step and status as the window,
// told as lines on stderr instead of boxes and labels, and the captures named on the command
// line. The owner's thread (the event loop of shell/qt/headless_main) calls everything here; the
// workers only hand up chunks and counts.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "shell/session.h"
#include "shell/box_request.h"
#include "shell/command_line.h"
#include "shell/headless_report.h"

class HeadlessRun {
public:
    // Where each line goes (stderr, with its priority prefix, in the program).
    using Say = std::function<void(JournalPriority priority, const std::string& text)>;

    HeadlessRun(CommandLine options, Say say);
    HeadlessRun(const HeadlessRun&) = delete;
    HeadlessRun& operator=(const HeadlessRun&) = delete;
    ~HeadlessRun();

    // The settings (--ini or ./Vorlinex.ini), then the captures, appended to; then both ports
    // and their workers, and the one-second tick (the date-time lines' countdown). false when the
    // named settings file cannot be read or a capture could not be opened: told, and nothing
    // else was opened.
    bool start();
    // Every 250 ms: the reconnect step for ports that went away, and a line for each port that
    // went away or came back, each capture that ended and each reopen that was done.
    void step();
    // SIGHUP: every open capture is closed and opened again by its path after the bytes it has
    // taken; the outcomes are told by a later step. Every capture that ended is opened again
    // by its path (appended to) once its writer has finished, and told at once.
    void reopenCaptures();
    // SIGTERM, SIGINT: the workers stop, the ports close, every capture writes out what it holds
    // and closes (a capture that could not is told). Once.
    void stop();

    // The session's status with the captures asked for.
    HeadlessStatus status();

    Session app;

private:
    void takeCaptureReports();
    // Opens capture 1 to 5 (appended to); false with the reason in `why`.
    // The path a capture was named with (1 to 5); empty when none was.
    const std::string& capturePath(int which) const;
    bool openCapture(int which, const std::string& path, std::string& why);

    const CommandLine options_;
    const Say say_;
    BoxFunction boxes_;
    bool stopped_ = false;
    bool captureEnded_[5] = {false, false, false, false, false};
    // How a port that did not open is told: waited for, or not coming by itself.
    JournalPriority portReportPriority_ = JournalPriority::Error;
};

// The captures' labels in lines and status: 1 "a", 2 "b", 3 "combined", 4 "frames", 5 "pcap".
const char* headlessCaptureLabel(int which);

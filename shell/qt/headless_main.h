// The headless mode's event loop: a QCoreApplication only (no window system, no platform plugin),
// its timers, the signals, and systemd's notifications.
#pragma once

#include "shell/command_line.h"

// Runs the headless relay until it is asked to stop (headless_signals.h); returns the process exit code (1 when a
// capture could not be opened at start).
int runHeadless(int argc, char** argv, const CommandLine& options);

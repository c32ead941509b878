#include "shell/command_line.h"

// Windows has no signal that asks for a status line or a reopening, and no systemd.
std::string statusAtOnceHelp() { return ""; }

std::string headlessRequestsHelp() {
    return "Headless: Ctrl+C, Ctrl+Break or closing its console ends it (reopening the captures by\n"
           "SIGHUP and systemd's notifications are Linux only). Exit status: 0 ended when asked, 1 the --ini\n"
           "file or a capture could not be opened, 2 a wrong command line.\n";
}

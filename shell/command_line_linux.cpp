#include "shell/command_line.h"

std::string statusAtOnceHelp() { return "; SIGUSR1 asks for one at once"; }

std::string headlessRequestsHelp() {
    return "Headless: SIGHUP reopens every capture by its path (for logrotate) and opens again those that\n"
           "ended, SIGUSR1 tells the status, SIGTERM or SIGINT ends. Exit status: 0 ended by a signal, 1 the\n"
           "--ini file or a capture could not be opened, 2 a wrong command line.\n";
}

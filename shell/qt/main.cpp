#include <cstdio>
#include <string>
#include <vector>

#include "settings/config.h"
#include "shell/command_line.h"
#include "shell/pcap_export.h"
#include "shell/qt/entry.h"
#include "shell/qt/headless_main.h"

// The command line is read before anything is made: a wrong one opens nothing, and the headless
// mode never makes a QApplication (it needs no window system).
int main(int argc, char** argv) {
    const CommandLine options = parseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    switch (options.action) {
        case CommandLine::Action::Refused:
            std::fprintf(stderr, "vorlinex: %s\n%s\n", options.refusal.c_str(), usageLine().c_str());
            return kExitUsage;
        case CommandLine::Action::Help:
            std::fputs(helpText().c_str(), stdout);
            return 0;
        case CommandLine::Action::Version:
            std::printf("%s\n", versionText().c_str());
            return 0;
        case CommandLine::Action::ExportPcap:
            return runPcapExport(options.exportCapture, options.exportOut, options.exportForm);
        case CommandLine::Action::Headless:
            setConfigPathOverride(options.iniPath);
            return runHeadless(argc > 0 ? 1 : 0, argv, options);
        case CommandLine::Action::Window:
            break;
    }
    setConfigPathOverride(options.iniPath);
    // Qt is handed the program's name alone: its own options were refused above.
    return vorlinexMain(argc > 0 ? 1 : 0, argv);
}

#include "settings/startup_entry.h"

StartupEntryResult registerStartupEntry() {
    const std::string program = programPath();
    if (program.empty()) {
        StartupEntryResult result;
        result.status = StartupEntryStatus::NoProgramPath;
        return result;
    }
    return createStartupShortcut(program, startupEntryPath());
}

#include "settings/startup_entry.h"

#include <system_error>

#include "settings/startup_entry_system.h"

StartupEntryResult createStartupShortcut(const std::string& target, const std::string& linkPath) {
    StartupEntryResult result;
    result.path = linkPath;
    if (linkPath.empty()) {
        result.status = StartupEntryStatus::NoEntryFolder;
        return result;
    }
    const std::string entryTarget = startupEntryTarget(target);
    if (entryTarget.empty()) {
        result.path = target;
        result.status = StartupEntryStatus::UnwritableTarget;
        return result;
    }
    const std::filesystem::path folder = systemPath(linkPath).parent_path();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!ec && !std::filesystem::is_directory(folder, ec) && !ec) ec = std::make_error_code(std::errc::not_a_directory);
    if (ec) {
        result.path = utf8Path(folder);
        result.systemError = ec.value();
        return result;
    }
    result.systemError = writeStartupEntry(entryTarget, linkPath);
    if (result.systemError == 0) result.status = StartupEntryStatus::Saved;
    return result;
}

StartupEntryResult registerStartupEntry() {
    const std::string program = programPath();
    if (program.empty()) {
        StartupEntryResult result;
        result.status = StartupEntryStatus::NoProgramPath;
        return result;
    }
    return createStartupShortcut(program, startupEntryPath());
}

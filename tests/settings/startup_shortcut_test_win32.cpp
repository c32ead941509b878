// The start-up entry on Windows: a shell link in the Startup folder that the system itself reads
// back as pointing at the program, made also from a thread where COM already runs.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "relay/system_win32.h"
#include "settings/startup_entry.h"
#include "tests/support/pty_cable.h"

namespace fs = std::filesystem;

namespace {

// What the system's shell link object reads from the file: its target and its working folder;
// "" for a file it cannot load. On a thread of its own, `model` its COM apartment; with `made`,
// that thread first makes the link there, so COM already runs when the entry is made.
std::pair<std::string, std::string> readLink(const std::string& file, DWORD model = COINIT_APARTMENTTHREADED,
                                             const std::string& made = "") {
    std::pair<std::string, std::string> read;
    std::thread([&] {
        if (FAILED(CoInitializeEx(nullptr, model))) return;
        IShellLinkW* link = nullptr;
        IPersistFile* persist = nullptr;
        wchar_t path[4096] = {}, folder[4096] = {};
        if ((made.empty() || createStartupShortcut(made, file).saved()) &&
            SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                       reinterpret_cast<void**>(&link))) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
            SUCCEEDED(persist->Load(wideFromUtf8(file).c_str(), STGM_READ)) &&
            SUCCEEDED(link->GetPath(path, 4096, nullptr, SLGP_RAWPATH)) &&
            SUCCEEDED(link->GetWorkingDirectory(folder, 4096)))
            read = {utf8FromWide(path), folder[0] == 0 ? "(none)" : utf8FromWide(folder)};
        if (persist != nullptr) persist->Release();
        if (link != nullptr) link->Release();
        CoUninitialize();
    }).join();
    return read;
}

// The options dialog runs on the UI thread, where Qt has started COM already, in one apartment
// model or the other: the shortcut is made either way, and COM stays usable for the thread.
// 登録 itself: Vorlinex.lnk in the user's Startup folder, which the system reads back as pointing
// at this very program, with no working folder; made again over the first with another target,
// it leads there. What was there before is put back afterwards.
TEST(StartupShortcut, IsMadeWhereComRunsAndRegisteringReplacesTheUsersVorlinexLnk) {
    ScratchDir dir;
    const std::string program = programPath();
    for (const DWORD model : {DWORD{COINIT_APARTMENTTHREADED}, DWORD{COINIT_MULTITHREADED}}) {
        const std::string link = dir.path() + "\\" + std::to_string(model) + ".lnk";
        EXPECT_EQ(readLink(link, model, program).second, "(none)") << "COM model " << model;
    }

    const std::string entry = startupEntryPath();
    ASSERT_TRUE(entry.ends_with("\\Vorlinex.lnk")) << entry;
    const fs::path entryPath(wideFromUtf8(entry));
    const bool existed = fs::exists(entryPath);
    const std::string before{std::istreambuf_iterator<char>(std::ifstream(entryPath, std::ios::binary).rdbuf()), {}};
    const StartupEntryResult result = registerStartupEntry();
    EXPECT_TRUE(result.saved() && result.path == entry) << result.systemError;
    const auto [target, folder] = readLink(entry);
    EXPECT_TRUE(fs::equivalent(fs::path(wideFromUtf8(target)), fs::path(wideFromUtf8(program))));
    EXPECT_EQ(folder, "(none)");
    const std::string other = "C:\\windows\\system32\\notepad.exe";
    EXPECT_TRUE(createStartupShortcut(other, entry).saved());
    EXPECT_EQ(readLink(entry).first, other);
    if (existed) std::ofstream(entryPath, std::ios::binary | std::ios::trunc) << before;
    else fs::remove(entryPath);
}

}  // namespace

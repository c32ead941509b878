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

// What the system's shell link object reads from the file: its target, and its working folder.
struct LinkRead {
    bool loaded = false;
    std::string target;
    std::string workingFolder;
};

LinkRead readLink(const std::string& file) {
    LinkRead read;
    std::thread([&] {
        if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
        IShellLinkW* link = nullptr;
        IPersistFile* persist = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                       reinterpret_cast<void**>(&link))) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist))) &&
            SUCCEEDED(persist->Load(wideFromUtf8(file).c_str(), STGM_READ))) {
            wchar_t path[4096] = {};
            if (SUCCEEDED(link->GetPath(path, 4096, nullptr, SLGP_RAWPATH))) read.target = utf8FromWide(path);
            wchar_t folder[4096] = {};
            if (SUCCEEDED(link->GetWorkingDirectory(folder, 4096))) read.workingFolder = utf8FromWide(folder);
            read.loaded = true;
        }
        if (persist != nullptr) persist->Release();
        if (link != nullptr) link->Release();
        CoUninitialize();
    }).join();
    return read;
}

std::string bytesOf(const std::string& file) {
    std::ifstream in(fs::path(wideFromUtf8(file)), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The options dialog runs on the UI thread, where Qt has started COM already, in one apartment
// model or the other: the shortcut is made either way, and COM stays usable for the thread.
TEST(StartupShortcut, AThreadWhereComAlreadyRunsMakesTheLinkAsWell) {
    ScratchDir dir;
    const std::string program = programPath();
    for (const DWORD model : {DWORD{COINIT_APARTMENTTHREADED}, DWORD{COINIT_MULTITHREADED}}) {
        SCOPED_TRACE(model);
        const std::string link = dir.path() + "\\" + std::to_string(model) + ".lnk";
        bool saved = false, comStillUsable = false;
        std::thread([&] {
            if (FAILED(CoInitializeEx(nullptr, model))) return;
            saved = createStartupShortcut(program, link).saved();
            IShellLinkW* probe = nullptr;
            comStillUsable = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                                        reinterpret_cast<void**>(&probe)));
            if (probe != nullptr) probe->Release();
            CoUninitialize();
        }).join();
        EXPECT_TRUE(saved);
        EXPECT_TRUE(comStillUsable);
        EXPECT_TRUE(readLink(link).loaded);
    }
}

// 登録 itself: Vorlinex.lnk in the user's Startup folder, which the system reads back as pointing
// at this very program, with no working folder; made again over the first with another target,
// it leads there. What was there before is put back afterwards.
TEST(StartupShortcut, RegisteringPutsVorlinexLnkIntoTheUsersStartupFolderAndReplacesAnOldOne) {
    const std::string entry = startupEntryPath();
    ASSERT_FALSE(entry.empty());
    EXPECT_TRUE(entry.ends_with("\\Vorlinex.lnk"));
    const fs::path entryPath(wideFromUtf8(entry));
    const bool existed = fs::exists(entryPath);
    const std::string before = existed ? bytesOf(entry) : std::string();

    const StartupEntryResult result = registerStartupEntry();
    EXPECT_TRUE(result.saved()) << result.systemError;
    EXPECT_EQ(result.path, entry);
    LinkRead read = readLink(entry);
    EXPECT_TRUE(read.loaded);
    EXPECT_TRUE(fs::equivalent(fs::path(wideFromUtf8(read.target)), fs::path(wideFromUtf8(programPath()))));
    EXPECT_EQ(read.workingFolder, "");

    const std::string other = "C:\\windows\\system32\\notepad.exe";
    EXPECT_TRUE(createStartupShortcut(other, entry).saved());
    read = readLink(entry);
    EXPECT_TRUE(read.loaded);
    EXPECT_EQ(read.target, other);

    if (existed) {
        std::ofstream(entryPath, std::ios::binary | std::ios::trunc) << before;
    } else {
        fs::remove(entryPath);
    }
}

}  // namespace

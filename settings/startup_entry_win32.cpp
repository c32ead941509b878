#include "settings/startup_entry.h"

#include <windows.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cerrno>
#include <filesystem>

#include "relay/system_win32.h"
#include "settings/startup_entry_system.h"

namespace {

int errnoFromResult(HRESULT result) {
    if (HRESULT_FACILITY(result) == FACILITY_WIN32) return errnoFromWindowsError(HRESULT_CODE(result));
    if (result == E_OUTOFMEMORY) return ENOMEM;
    if (result == E_ACCESSDENIED) return EACCES;
    return EIO;
}

bool absoluteWindowsPath(const std::string& path) {
    // "X:\..." or a UNC path "\\server\...".
    const bool drive = path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    return drive || path.starts_with("\\\\");
}

// COM for the calling thread, as long as it lives. The UI thread has it already (in an apartment
// of Qt's choosing): that counts, and only a call that started it here ends it.
class ComUse {
public:
    ComUse() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComUse() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComUse(const ComUse&) = delete;
    ComUse& operator=(const ComUse&) = delete;
    bool usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }
    HRESULT result() const { return result_; }

private:
    HRESULT result_;
};

template <typename T>
struct Released {
    T* p = nullptr;
    ~Released() {
        if (p != nullptr) p->Release();
    }
};

// Saves a shell link to `target` as `file`. S_OK or the failing step's result.
HRESULT saveShellLink(const std::wstring& target, const std::wstring& file) {
    Released<IShellLinkW> link;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      reinterpret_cast<void**>(&link.p));
    if (FAILED(result)) return result;
    Released<IPersistFile> persist;
    result = link.p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist.p));
    if (FAILED(result)) return result;
    // Only the target: no arguments, working directory, description, icon or hot key.
    result = link.p->SetPath(target.c_str());
    if (FAILED(result)) return result;
    return persist.p->Save(file.c_str(), FALSE);
}

}  // namespace

std::string programPath() {
    // No fixed limit: the buffer grows until the whole path fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return utf8FromWide(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string startupEntryPath() {
    PWSTR folder = nullptr;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_Startup, KF_FLAG_DEFAULT, nullptr, &folder);
    // A folder that was never found is never used.
    std::string path = SUCCEEDED(result) && folder != nullptr ? utf8FromWide(folder) : std::string();
    CoTaskMemFree(folder);
    if (path.empty()) return {};
    return path + "\\Vorlinex.lnk";
}

std::string startupEntryTarget(const std::string& target) {
    return absoluteWindowsPath(target) ? target : std::string();
}

std::filesystem::path systemPath(const std::string& utf8) { return wideFromUtf8(utf8); }

std::string utf8Path(const std::filesystem::path& path) { return utf8FromWide(path.wstring()); }

int writeStartupEntry(const std::string& entryTarget, const std::string& linkPath) {
    const ComUse com;
    if (!com.usable()) return errnoFromResult(com.result());
    // Saved beside the old one first and moved over it: a shortcut half written never replaces
    // a good one.
    const std::wstring link = wideFromUtf8(linkPath);
    const std::wstring temporary = link + L".tmp" + std::to_wstring(GetCurrentProcessId());
    const HRESULT saved = saveShellLink(wideFromUtf8(entryTarget), temporary);
    if (FAILED(saved)) {
        DeleteFileW(temporary.c_str());
        return errnoFromResult(saved);
    }
    if (!MoveFileExW(temporary.c_str(), link.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const int error = lastErrno();
        DeleteFileW(temporary.c_str());
        return error;
    }
    return 0;
}

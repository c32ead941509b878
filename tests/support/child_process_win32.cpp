#include <windows.h>

#include <filesystem>
#include <thread>

#include "tests/support/child_process.h"

struct ChildProcess::System {
    PROCESS_INFORMATION process{};
    bool started = false;
    bool ended = false;
    HANDLE outRead = nullptr, errRead = nullptr;
    std::thread outReader, errReader;
};

static std::wstring wide(const std::string& text) { return std::filesystem::path(text).wstring(); }

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>&)
    : system_(std::make_unique<System>()) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outWrite = nullptr, errWrite = nullptr;
    if (!::CreatePipe(&system_->outRead, &outWrite, &inherit, 0) || !::CreatePipe(&system_->errRead, &errWrite, &inherit, 0)) {
        if (outWrite != nullptr) ::CloseHandle(outWrite);
        return;
    }
    ::SetHandleInformation(system_->outRead, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(system_->errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup, startup.dwFlags = STARTF_USESTDHANDLES, startup.hStdOutput = outWrite,
    startup.hStdError = errWrite;
    std::wstring commandLine = L"\"" + wide(program) + L"\"";
    for (const std::string& argument : arguments) commandLine += L" \"" + wide(argument) + L"\"";
    system_->started = ::CreateProcessW(wide(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &system_->process) != FALSE;
    ::CloseHandle(outWrite), ::CloseHandle(errWrite);
    if (!system_->started) return;
    const auto gather = [this](HANDLE from, bool fromErr) {
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) gathered(fromErr, buffer, got);
    };
    system_->outReader = std::thread(gather, system_->outRead, false);
    system_->errReader = std::thread(gather, system_->errRead, true);
}

ChildProcess::~ChildProcess() {
    if (system_->started && !system_->ended) ::TerminateProcess(system_->process.hProcess, 99);
    if (system_->started) wait(), ::CloseHandle(system_->process.hProcess), ::CloseHandle(system_->process.hThread);
    for (HANDLE pipe : {system_->outRead, system_->errRead})
        if (pipe != nullptr) ::CloseHandle(pipe);
}

bool ChildProcess::requestStop() {
    return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, system_->process.dwProcessId) != FALSE;
}

int ChildProcess::wait() {
    const bool ended = ::WaitForSingleObject(system_->process.hProcess, system_->ended ? 0 : 20000) == WAIT_OBJECT_0;
    if (!ended) ::TerminateProcess(system_->process.hProcess, 99), ::WaitForSingleObject(system_->process.hProcess, 10000);
    system_->ended = true;
    DWORD code = 0;
    ::GetExitCodeProcess(system_->process.hProcess, &code);
    for (std::thread* reader : {&system_->outReader, &system_->errReader})
        if (reader->joinable()) reader->join();
    return ended ? static_cast<int>(code) : -1;
}

std::string programBesideThisTest() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return (std::filesystem::path(std::wstring(path, length)).parent_path() / L"vorlinex.exe").string();
}

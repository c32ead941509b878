#include "tests/support/child_process.h"

#include <windows.h>

#include <cwchar>

namespace {

std::wstring wide(const std::string& s) {
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// One argument as the C runtime's parser reads it back: quoted, with its quotes and the
// backslashes before them escaped.
std::wstring quoted(const std::wstring& argument) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

HANDLE handle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    if (argv.empty()) return;
    std::wstring commandLine;
    for (const std::string& a : argv) commandLine += (commandLine.empty() ? L"" : L" ") + quoted(wide(a));
    // This process's environment with the changes, as the block CreateProcessW takes.
    const auto nameOf = [](const std::wstring& entry) { return entry.substr(0, entry.find(L'=', 1)); };
    std::wstring block;
    wchar_t* own = ::GetEnvironmentStringsW();
    for (const wchar_t* e = own; *e != L'\0'; e += wcslen(e) + 1) {
        bool replaced = false;
        for (const std::string& wanted : environment) replaced = replaced || _wcsicmp(nameOf(wide(wanted)).c_str(), nameOf(e).c_str()) == 0;
        if (!replaced) block.append(e).push_back(L'\0');
    }
    ::FreeEnvironmentStringsW(own);
    for (const std::string& wanted : environment)
        if (wanted.find('=') != std::string::npos) block.append(wide(wanted)).push_back(L'\0');
    block.push_back(L'\0');

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!::CreatePipe(&read, &write, &inherit, 0)) return;
    ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write;
    PROCESS_INFORMATION process{};
    started_ = ::CreateProcessW(wide(argv[0]).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr,
                                &startup, &process) != FALSE;
    ::CloseHandle(write);
    output_ = reinterpret_cast<intptr_t>(read);
    if (!started_) return;
    ::CloseHandle(process.hThread);
    process_ = reinterpret_cast<intptr_t>(process.hProcess);
    id_ = process.dwProcessId;
    reader_ = std::thread([this] { gather(); });
}

ChildProcess::~ChildProcess() {
    if (started_ && !ended_) {
        ::TerminateProcess(handle(process_), 99);
        ::WaitForSingleObject(handle(process_), INFINITE);
    }
    if (reader_.joinable()) reader_.join();
    if (started_) ::CloseHandle(handle(process_));
    if (output_ != -1) ::CloseHandle(handle(output_));
}

void ChildProcess::gather() {
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(handle(output_), buffer, sizeof buffer, &got, nullptr) && got > 0) {
        std::lock_guard hold(lock_);
        gathered_.append(buffer, got);
    }
}

bool ChildProcess::running() {
    if (!started_ || ended_) return false;
    if (::WaitForSingleObject(handle(process_), 0) != WAIT_OBJECT_0) return true;
    DWORD code = 0;
    ::GetExitCodeProcess(handle(process_), &code);
    ended_ = true;
    exitCode_ = static_cast<int>(code);
    return false;
}

int ChildProcess::wait(int waitMs) {
    if (!started_) return -1;
    if (!ended_ && ::WaitForSingleObject(handle(process_), static_cast<DWORD>(waitMs)) != WAIT_OBJECT_0) {
        ::TerminateProcess(handle(process_), 99);
        ::WaitForSingleObject(handle(process_), INFINITE);
        ended_ = true;
        exitCode_ = -1;
    }
    running();
    if (reader_.joinable()) reader_.join();
    return exitCode_;
}

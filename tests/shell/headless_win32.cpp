// The real program's headless mode on Windows, as a child process in a process group of its
// own, on two COM cables (com_cables_win32.h).
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/shell/com_cables_win32.h"

namespace {

using com_cables::FarEnd;
using com_cables::randomBytes;
using com_cables::ScratchFolder;

// vorlinex.exe beside this test program, where the build puts both.
std::wstring programBesideThis() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return (com_cables::fs::path(std::wstring(path, length)).parent_path() / L"vorlinex.exe").wstring();
}

// The program as a child: its stderr gathered as it comes.
class Child {
public:
    Child(const std::wstring& program, const std::wstring& arguments) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE errWrite = nullptr;
        if (!::CreatePipe(&errRead_, &errWrite, &inherit, 0)) return;
        ::SetHandleInformation(errRead_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = errWrite;
        startup.hStdError = errWrite;
        std::wstring commandLine = L"\"" + program + L"\" " + arguments;
        started_ = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                    CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process_) != FALSE;
        ::CloseHandle(errWrite);
        if (started_) reader_ = std::thread([this] { gather(); });
    }
    ~Child() {
        if (started_ && !ended_) ::TerminateProcess(process_.hProcess, 99), wait(10000);
        if (reader_.joinable()) reader_.join();
        if (started_) ::CloseHandle(process_.hProcess), ::CloseHandle(process_.hThread);
        if (errRead_ != nullptr) ::CloseHandle(errRead_);
    }

    bool started() const { return started_; }
    DWORD id() const { return process_.dwProcessId; }
    std::string err() {
        std::lock_guard<std::mutex> hold(lock_);
        return err_;
    }
    // Waits up to `timeoutMs` for `text` in its stderr.
    bool awaitText(const std::string& text, DWORD timeoutMs = 60000) {
        for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < timeoutMs; ::Sleep(20)) {
            if (err().find(text) != std::string::npos) return true;
            if (::WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0) return err().find(text) != std::string::npos;
        }
        return false;
    }
    // Its exit code, or -1 when it has not ended within `timeoutMs`.
    long wait(DWORD timeoutMs = 30000) {
        if (::WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
        ended_ = true;
        DWORD code = 0;
        ::GetExitCodeProcess(process_.hProcess, &code);
        return static_cast<long>(code);
    }

private:
    void gather() {
        char buffer[4096];
        DWORD got = 0;
        while (::ReadFile(errRead_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            std::lock_guard<std::mutex> hold(lock_);
            err_.append(buffer, got);
        }
    }

    HANDLE errRead_ = nullptr;
    PROCESS_INFORMATION process_{};
    bool started_ = false;
    bool ended_ = false;
    std::thread reader_;
    std::mutex lock_;
    std::string err_;
};

// `count` random bytes each way at once between the far ends.
void relayBothWays(FarEnd& end1, FarEnd& end2, const std::string& forth, const std::string& back) {
    std::string gotForth, gotBack;
    {
        std::vector<std::jthread> threads;
        threads.emplace_back([&] { EXPECT_TRUE(end1.send(forth)); });
        threads.emplace_back([&] { EXPECT_TRUE(end2.send(back)); });
        threads.emplace_back([&] { gotForth = end2.receive(forth.size()); });
        threads.emplace_back([&] { gotBack = end1.receive(back.size()); });
    }
    EXPECT_EQ(gotForth.size(), forth.size()) << "COM1 -> COM2";
    EXPECT_TRUE(gotForth == forth) << "COM1 -> COM2: the bytes differ";
    EXPECT_EQ(gotBack.size(), back.size()) << "COM2 -> COM1";
    EXPECT_TRUE(gotBack == back) << "COM2 -> COM1: the bytes differ";
}

// Headless, the program relays both ways and captures each direction; Ctrl+Break, the console's
// request to end, ends it with 0 and every capture written out whole.
TEST(HeadlessOnComPorts, RelaysAndCapturesBothWaysAndCtrlBreakEndsItWithZeroAndTheCapturesWhole) {
    if (com_cables::cablesMade() < 2)
        GTEST_SKIP() << "needs COM1/COM11 and COM2/COM12 cables (the Wine runner makes them)";
    ScratchFolder folder;
    folder.write("Vorlinex.ini",
                 "[DATA1]\r\nCOM=0\r\nBPS=9600\r\nBIT=8\r\n[DATA2]\r\nCOM=1\r\nBPS=9600\r\nBIT=8\r\n[DATA]\r\nCRLF=0\r\n");
    FarEnd end1(L"\\\\.\\COM11"), end2(L"\\\\.\\COM12");
    ASSERT_TRUE(end1.open() && end2.open());
    Child child(programBesideThis(), L"--headless --log-a a.log --log-b b.log --status-every 0");
    ASSERT_TRUE(child.started()) << "error " << ::GetLastError();
    ASSERT_TRUE(child.awaitText("<5>relaying ")) << child.err();

    const std::string forth = randomBytes(64 * 1024, 21), back = randomBytes(64 * 1024, 22);
    relayBothWays(end1, end2, forth, back);

    if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.id())) {
        const DWORD error = ::GetLastError();
        GTEST_SKIP() << "no console to send Ctrl+Break through (error " << error
                     << "; Wine gives none to a program started outside a terminal): the stop is not tried";
    }
    EXPECT_EQ(child.wait(), 0) << child.err();
    EXPECT_TRUE(folder.read("a.log") == forth) << folder.read("a.log").size() << " bytes in a.log";
    EXPECT_TRUE(folder.read("b.log") == back) << folder.read("b.log").size() << " bytes in b.log";
    EXPECT_EQ(child.err().find("<3>"), std::string::npos) << child.err();
}

}  // namespace

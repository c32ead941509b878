#include "relay/worker_wait.h"

#include <pthread.h>
#include <windows.h>

#include <cerrno>
#include <string>

namespace {

DWORD timeoutOf(int timeoutMs) { return timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs); }

}  // namespace

int makeWake(WakeHandle& wake) {
    if (wake == kNoWake) wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return wake == kNoWake ? ENOMEM : 0;
}

void closeWake(WakeHandle& wake) {
    if (wake != kNoWake) CloseHandle(wake);
    wake = kNoWake;
}

void raiseWake(WakeHandle wake) {
    if (wake != kNoWake) SetEvent(wake);
}

void clearWake(WakeHandle wake) {
    if (wake != kNoWake) ResetEvent(wake);
}

void sleepUnlessWoken(WakeHandle wake, int timeoutMs) {
    if (wake != kNoWake) WaitForSingleObject(wake, timeoutOf(timeoutMs));
    else if (timeoutMs >= 0) Sleep(static_cast<DWORD>(timeoutMs));
}

bool wakeRaised(WakeHandle wake) { return wake != kNoWake && WaitForSingleObject(wake, 0) == WAIT_OBJECT_0; }

void nameWorkerThread(std::thread& worker, const char* name) {
    // The system's thread description (Windows 10 and Wine) is what tools show; looked up, as
    // older systems lack it.
    using Describe = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const auto describe = reinterpret_cast<Describe>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
    if (describe == nullptr) return;
    std::wstring wide(name, name + std::char_traits<char>::length(name));
    describe(static_cast<HANDLE>(pthread_gethandle(worker.native_handle())), wide.c_str());
}

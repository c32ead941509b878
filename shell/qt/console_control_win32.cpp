#include "shell/qt/console_control_win32.h"

#include <windows.h>

#include <QMetaObject>
#include <mutex>

// The handler runs on a thread the system makes for it: it reaches the object only under the
// lock, and the object leaves it before it goes.
struct ConsoleControlAccess {
    static std::mutex lock;
    static ConsoleControl* current;
    static HANDLE done;  // set once a request has run, or the object has gone

    static BOOL WINAPI onEvent(DWORD event) {
        HANDLE ran = nullptr;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (current == nullptr) return FALSE;
            ConsoleControl* control = current;
            ran = done;
            QMetaObject::invokeMethod(
                &control->context_,
                [control, ran] {
                    control->end_();
                    ::SetEvent(ran);
                },
                Qt::QueuedConnection);
        }
        // The system ends the process as soon as the handler returns from these (and a few
        // seconds after they arrive in any case): the end must have run by then.
        if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
            ::WaitForSingleObject(ran, kEndingWaitMs);
        return TRUE;
    }

    static constexpr DWORD kEndingWaitMs = 4000;
};

std::mutex ConsoleControlAccess::lock;
ConsoleControl* ConsoleControlAccess::current = nullptr;
// Made once and kept: a handler may still wait on it after its object has gone.
HANDLE ConsoleControlAccess::done = nullptr;

ConsoleControl::ConsoleControl(std::function<void()> end) : end_(std::move(end)) {
    {
        std::lock_guard<std::mutex> hold(ConsoleControlAccess::lock);
        if (ConsoleControlAccess::done == nullptr)
            ConsoleControlAccess::done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        else
            ::ResetEvent(ConsoleControlAccess::done);
        ConsoleControlAccess::current = this;
    }
    installed_ = ::SetConsoleCtrlHandler(ConsoleControlAccess::onEvent, TRUE) != FALSE;
}

ConsoleControl::~ConsoleControl() {
    if (installed_) ::SetConsoleCtrlHandler(ConsoleControlAccess::onEvent, FALSE);
    std::lock_guard<std::mutex> hold(ConsoleControlAccess::lock);
    ConsoleControlAccess::current = nullptr;
    // A handler still waiting is let go: whoever owned this object has ended by now.
    ::SetEvent(ConsoleControlAccess::done);
}

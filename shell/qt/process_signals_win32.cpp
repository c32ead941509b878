#include "shell/qt/process_signals.h"

// Before windows.h, whose global `byte` the relay's own names would otherwise shadow.
#include "shell/qt/main_window.h"

#include <windows.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <memory>

#include "shell/qt/console_control_win32.h"

namespace {

// WM_ENDSESSION: Windows ends the process once the window has answered it, so the shutdown
// runs to its end (workers joined, captures written out) before the answer, on the UI thread
// that the message arrives on.
class SessionEndFilter : public QAbstractNativeEventFilter {
public:
    explicit SessionEndFilter(Vorlinex& vorlinex) : vorlinex_(vorlinex) {}

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override {
        if (eventType != "windows_generic_MSG") return false;
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg->message != WM_ENDSESSION || msg->wParam == FALSE) return false;
        vorlinex_.shutdownVorlinex();
        if (result != nullptr) *result = 0;
        return true;
    }

private:
    Vorlinex& vorlinex_;
};

class WindowsEndRequests : public ProcessSignals {
public:
    explicit WindowsEndRequests(Vorlinex& vorlinex)
        : sessionEnd_(vorlinex), console_([&vorlinex] { vorlinex.shutdownVorlinex(); }) {
        QCoreApplication::instance()->installNativeEventFilter(&sessionEnd_);
    }
    ~WindowsEndRequests() override { QCoreApplication::instance()->removeNativeEventFilter(&sessionEnd_); }

private:
    SessionEndFilter sessionEnd_;
    ConsoleControl console_;
};

}  // namespace

std::unique_ptr<ProcessSignals> installProcessSignals(Vorlinex& vorlinex) {
    return std::make_unique<WindowsEndRequests>(vorlinex);
}

// Windows: the console control events (Ctrl+C, Ctrl+Break, the console closed, log-off,
// shutdown) as a request to end, run on the UI thread.
#pragma once

#include <QObject>
#include <functional>

class ConsoleControl {
public:
    // `end` runs on the thread that makes this object, from its event loop. One at a time.
    explicit ConsoleControl(std::function<void()> end);
    ~ConsoleControl();
    ConsoleControl(const ConsoleControl&) = delete;
    ConsoleControl& operator=(const ConsoleControl&) = delete;

private:
    friend struct ConsoleControlAccess;
    std::function<void()> end_;
    QObject context_;  // requests not yet run are dropped with it
    bool installed_ = false;
};

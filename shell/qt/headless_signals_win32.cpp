#include <windows.h>

#include <cstdio>
#include <memory>

#include "shell/qt/console_control_win32.h"
#include "shell/qt/headless_signals.h"

namespace {

// The console handler is installed at once; until the loop listens, a request to end is kept
// and handed over when it does.
class ConsoleSignals : public HeadlessSignals {
public:
    ConsoleSignals() : console_([this] { requested(); }) {}

    void listen(HeadlessRequests requests) override {
        requests_ = std::move(requests);
        listening_ = true;
        if (stopAsked_) requests_.stop();
    }

private:
    void requested() {
        if (listening_)
            requests_.stop();
        else
            stopAsked_ = true;
    }

    HeadlessRequests requests_;
    bool listening_ = false;
    bool stopAsked_ = false;
    ConsoleControl console_;  // last: made after, and gone before, what it reaches
};

}  // namespace

std::unique_ptr<HeadlessSignals> installHeadlessSignals(std::string&) {
    // The program is a window program, which gets no console of its own: started from one, it
    // joins it to take its Ctrl+C and Ctrl+Break, and reports there unless its errors already
    // go elsewhere.
    const HANDLE errors = ::GetStdHandle(STD_ERROR_HANDLE);
    const bool reportsNowhere = errors == nullptr || errors == INVALID_HANDLE_VALUE;
    if (::AttachConsole(ATTACH_PARENT_PROCESS) && reportsNowhere) {
        if (std::freopen("CONOUT$", "w", stderr) != nullptr) std::setvbuf(stderr, nullptr, _IONBF, 0);
    }
    return std::make_unique<ConsoleSignals>();
}

void notifyServiceManager(const std::string&) {}

uint64_t serviceWatchdogMicros() { return 0; }

#include "relay/box_request.h"

#include <cstdio>
#include <mutex>

namespace {

// Bound once by the shell (or a test) but guarded, so that binding never races a box.
std::mutex boxFunctionLock;
BoxFunction boxFunction;

}  // namespace

void setBoxFunction(BoxFunction function) {
    std::lock_guard<std::mutex> hold(boxFunctionLock);
    boxFunction = std::move(function);
}

bool hasBoxFunction() {
    std::lock_guard<std::mutex> hold(boxFunctionLock);
    return static_cast<bool>(boxFunction);
}

void showBox(const std::string& text, BoxIcon icon, BoxOwner owner, void* widget) {
    BoxFunction function;
    {
        std::lock_guard<std::mutex> hold(boxFunctionLock);
        function = boxFunction;
    }
    if (function) {
        // Called outside the lock: the box is modal and may run for as long as the user waits.
        function(BoxRequest{text, icon, owner, widget});
        return;
    }
    std::fprintf(stderr, "Vorlinex: %s\n", text.c_str());
}

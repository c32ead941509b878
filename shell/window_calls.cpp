#include "shell/window_calls.h"

WindowCalls windowCalls;

void callSetStatusText(const std::string& text) {
    if (windowCalls.setStatusText) windowCalls.setStatusText(text);
}

void callSetControlText(int controlId, const std::string& text) {
    if (windowCalls.setControlText) windowCalls.setControlText(controlId, text);
}

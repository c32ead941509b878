// What the engine's threads show in the main window goes through here: the shell binds these
// to its widgets (carried out on the UI thread), tests bind them to recorders.
#pragma once

#include <functional>
#include <string>

struct WindowCalls {
    // Text of status bar part 1 (the elapsed-time clock).
    std::function<void(const std::string&)> setStatusText;
    // Text of a main window control (1053, 1054: the figures).
    std::function<void(int controlId, const std::string&)> setControlText;
};

// Bound before any worker or the rate timer starts; unbound calls do nothing.
extern WindowCalls windowCalls;
void callSetStatusText(const std::string& text);
void callSetControlText(int controlId, const std::string& text);

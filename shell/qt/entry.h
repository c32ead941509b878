// The program's entry function, shared by main() and by tools that drive the real program
// in-process (the demo's offscreen run, benchmarks).
#pragma once

#include <functional>

#include "shell/box_request.h"

class QWidget;

// Runs start-up, the message loop and shutdown; returns the process exit code.
// `afterShown`, when given, is called on the UI thread right after the main window is shown.
// `boxes`, when given, takes every message box instead of the real box (tests, tools).
int vorlinexMain(int argc, char** argv, const std::function<void(QWidget* mainWindow)>& afterShown = {},
                 const BoxFunction& boxes = {});

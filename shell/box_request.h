// How any part of the program asks for a message box without knowing the windows: a function
// its owner hands down, bound by the shell to the real box (and by tests to a recorder). The
// wording is the asker's.
#pragma once

#include <functional>
#include <string>

enum class BoxIcon { None, Error, Information };
// Whose box it is: none, the main window (none while it is being created), or a given widget.
enum class BoxOwner { None, MainWindow, Widget };

struct BoxRequest {
    std::string text;  // UTF-8
    BoxIcon icon = BoxIcon::None;
    BoxOwner owner = BoxOwner::None;
    void* widget = nullptr;  // the owner when owner is Widget
};

using BoxFunction = std::function<void(const BoxRequest&)>;
// Shows the box through `boxes`; with no function bound the text goes to stderr.
void showBox(const BoxFunction& boxes, const std::string& text, BoxIcon icon, BoxOwner owner,
             void* widget = nullptr);

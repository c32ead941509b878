// Message boxes: the numbered catalogue and the one function every box goes through.
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
// The shell binds the real message box; tests bind a recorder. Unbound, boxes go to stderr.
void setBoxFunction(BoxFunction function);
// Whether a box function is bound (the shell binds the real box only when no test did).
bool hasBoxFunction();
void showBox(const std::string& text, BoxIcon icon, BoxOwner owner, void* widget = nullptr);

// Codes 1..16 of the catalogue; a box owned by the main window. Any other code shows no box
// (only a note on stderr): no caller passes one.
void showMessage(int code);
// The catalogue's text of a code, "" outside 1..16.
const char* messageText(int code);
// The catalogue's icon of a code, BoxIcon::None outside 1..16.
BoxIcon messageIcon(int code);

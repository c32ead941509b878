#include "shell/message_catalogue.h"

#include <cstdio>

// STUB: filled by the settings/catalogue work.
void setBoxFunction(BoxFunction) {}
void showBox(const std::string& text, BoxIcon, BoxOwner, void*) {
    std::fprintf(stderr, "Vorlinex: %s\n", text.c_str());
}
void showMessage(int) {}
const char* messageText(int) { return ""; }
BoxIcon messageIcon(int) { return BoxIcon::Error; }

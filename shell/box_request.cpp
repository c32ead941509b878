#include "shell/box_request.h"

#include <cstdio>

void showBox(const BoxFunction& boxes, const std::string& text, BoxIcon icon, BoxOwner owner, void* widget) {
    if (boxes) {
        boxes(BoxRequest{text, icon, owner, widget});
        return;
    }
    std::fprintf(stderr, "Vorlinex: %s\n", text.c_str());
}

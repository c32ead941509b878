#include "shell/message_catalogue.h"

#include <cstdio>
#include <mutex>

namespace {

struct CatalogueEntry {
    const char* text;
    BoxIcon icon;
};

constexpr CatalogueEntry kCatalogue[16] = {
    {"Com1 Open Error", BoxIcon::Error},
    {"Com2 Open Error", BoxIcon::Error},
    {"Com3 Open Error", BoxIcon::Error},
    {"Com4 Open Error", BoxIcon::Error},
    {"Com5 Open Error", BoxIcon::Error},
    {"Com6 Open Error", BoxIcon::Error},
    {"EVMASK Error", BoxIcon::Error},
    {"File Open Error", BoxIcon::Error},
    {"File Send Count Error", BoxIcon::Error},
    {"Wait Time Error", BoxIcon::Error},
    {"Data Send End", BoxIcon::Information},
    {"Data Recv End", BoxIcon::Information},
    {"File Read Error", BoxIcon::Error},
    {"File Size 0", BoxIcon::Error},
    {"Config data save end", BoxIcon::Information},
    {"Rate UPdate Time Error", BoxIcon::Error},
};

const CatalogueEntry* entryOf(int code) {
    if (code < 1 || code > 16)
        return nullptr;
    return &kCatalogue[code - 1];
}

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

void showMessage(int code) {
    const CatalogueEntry* entry = entryOf(code);
    if (entry == nullptr) {
        // No caller passes such a code; an empty box would only puzzle the user, so the
        // mistake is noted for the developer instead.
        std::fprintf(stderr, "Vorlinex: message code %d is not in the catalogue\n", code);
        return;
    }
    showBox(entry->text, entry->icon, BoxOwner::MainWindow);
}

const char* messageText(int code) {
    const CatalogueEntry* entry = entryOf(code);
    return entry == nullptr ? "" : entry->text;
}

BoxIcon messageIcon(int code) {
    const CatalogueEntry* entry = entryOf(code);
    return entry == nullptr ? BoxIcon::None : entry->icon;
}

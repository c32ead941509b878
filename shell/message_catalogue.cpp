#include "shell/message_catalogue.h"

#include <cstdio>
#include <cstring>

#include "relay/serial_port.h"
#include "settings/config.h"
#include "settings/startup_entry.h"

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

}  // namespace

void showMessage(const BoxFunction& boxes, int code) {
    const CatalogueEntry* entry = entryOf(code);
    if (entry == nullptr) {
        // No caller passes such a code; an empty box would only puzzle the user, so the
        // mistake is noted for the developer instead.
        std::fprintf(stderr, "Vorlinex: message code %d is not in the catalogue\n", code);
        return;
    }
    showBox(boxes, entry->text, entry->icon, BoxOwner::MainWindow);
}

void reportPortOpen(const BoxFunction& boxes, int result, int64_t portNumber) {
    if (result == PortNotSerial) {
        showMessage(boxes, 7);
    } else if (result == PortOpenFailed) {
        // Codes 1..6 of the catalogue name their port. Any other number would index past the
        // catalogue's port entries (7 is already "EVMASK Error"), so it gets a box of the same form.
        if (portNumber >= 1 && portNumber <= 6) {
            showMessage(boxes, static_cast<int>(portNumber));
        } else {
            showBox(boxes, "Com" + std::to_string(portNumber) + " Open Error", BoxIcon::Error,
                    BoxOwner::MainWindow);
        }
    }
}

void reportConfigSave(const BoxFunction& boxes, const ConfigSaveResult& result) {
    if (result.saved) {
        showBox(boxes, "Configuration Data Saved", BoxIcon::Information, BoxOwner::MainWindow);
    } else {
        showBox(boxes, "Configuration Data Save Error: " + result.path + ": " + result.reason,
                BoxIcon::Error, BoxOwner::MainWindow);
    }
}

void reportDevicesSave(const BoxFunction& boxes, const ConfigSaveResult& result) {
    if (result.saved) return;
    showBox(boxes, "Devices Save Error: " + result.path + ": " + result.reason, BoxIcon::Error, BoxOwner::MainWindow);
}

void reportStartupEntry(const BoxFunction& boxes, const StartupEntryResult& result) {
    std::string text;
    switch (result.status) {
        case StartupEntryStatus::Saved:
            showBox(boxes, "スタートアップへ登録しました。", BoxIcon::Information, BoxOwner::MainWindow);
            return;
        case StartupEntryStatus::NoProgramPath:
            text = "The program's own file cannot be found (replaced by an upgrade?): start it again.";
            break;
        case StartupEntryStatus::NoEntryFolder:
            text = "No autostart folder: neither XDG_CONFIG_HOME nor HOME names an absolute folder.";
            break;
        case StartupEntryStatus::UnwritableTarget:
            text = result.path + ": an autostart entry cannot hold this path.";
            break;
        case StartupEntryStatus::SystemError:
            text = result.path + ": " + std::strerror(result.systemError);
            break;
    }
    showBox(boxes, "スタートアップへ登録できません。\n" + text, BoxIcon::Information, BoxOwner::MainWindow);
}

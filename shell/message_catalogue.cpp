#include "shell/message_catalogue.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "capture/capture_file.h"
#include "relay/port_reconnect.h"
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

namespace {

// The names of the three captures as their menu items call them.
const char* captureName(int which) {
    return which == 2 ? "LOG B" : which == 3 ? "LOG Com<->Com" : "LOG A";
}

std::string systemReason(int error) {
    char text[256];
    // The GNU form: returns the text, which may or may not live in the buffer.
    return strerror_r(error, text, sizeof text);
}

// Why the file took what it took no more, in one line.
std::string captureFailureReason(const CaptureFailure& failure) {
    const std::string notWritten = withThousandsSeparators(failure.bytesNotWritten) + " bytes not written";
    if (failure.kind == CaptureFailure::Kind::WriteRefused) return systemReason(failure.error);
    if (failure.stalledSeconds == 0) return "the file did not keep up; " + notWritten;
    return "the file accepted nothing for " + std::to_string(failure.stalledSeconds) + " s; " + notWritten;
}

}  // namespace

void reportCaptureOpen(const BoxFunction& boxes, const std::string& fullPath, const CaptureOpenFailure& failure) {
    std::string reason;
    if (failure.heldBy != 0) {
        reason = std::string("(already being captured by ") + captureName(failure.heldBy) + ")";
    } else {
        reason = systemReason(failure.error);
        struct stat info {};
        if (failure.error == ENXIO && ::stat(fullPath.c_str(), &info) == 0 && S_ISFIFO(info.st_mode))
            reason += " (no program is reading from this pipe)";
    }
    showBox(boxes, "File Open Error。\n" + fullPath + "\n" + reason, BoxIcon::Error, BoxOwner::MainWindow);
}

void reportCaptureFailure(const BoxFunction& boxes, const CaptureFailure& failure) {
    if (!failure) return;
    showBox(boxes, "File Write Error。\n" + failure.path + "\n" + captureFailureReason(failure) +
                       "\nThe capture has been closed.",
            BoxIcon::Error, BoxOwner::MainWindow);
}

std::string captureLostAtExitText(const CaptureFailure& failure) {
    if (!failure) return {};
    if (failure.kind == CaptureFailure::Kind::UnwrittenAtExit)
        return failure.path + ": " + captureFailureReason(failure) + " when the program ended";
    return failure.path + ": " + captureFailureReason(failure);
}

void reportInitialFontError(const BoxFunction& boxes, void* view) {
    showBox(boxes, "InitialFont Error", BoxIcon::None, BoxOwner::Widget, view);
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
            text = result.path + ": " + systemReason(result.systemError);
            break;
    }
    showBox(boxes, "スタートアップへ登録できません。\n" + text, BoxIcon::Information, BoxOwner::MainWindow);
}

#include "settings/qt/dialog_host.h"

namespace {
SettingsDialogHost& host() {
    static SettingsDialogHost h;
    return h;
}
}  // namespace

void setSettingsDialogHost(SettingsDialogHost h) { host() = std::move(h); }

const SettingsDialogHost& settingsDialogHost() { return host(); }

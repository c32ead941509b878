#include "shell/qt/window_hosts.h"

#include <QAction>
#include <QDialog>
#include <QEvent>
#include <QKeyEvent>
#include <QString>

#include "capture/qt/log_window.h"
#include "display/qt/display_window.h"
#include "relay/serial_port.h"
#include "settings/port_restart.h"
#include "settings/qt/dialog_host.h"
#include "settings/serial_devices.h"
#include "shell/message_catalogue.h"
#include "shell/qt/desktop.h"
#include "shell/qt/dialog_units.h"
#include "shell/qt/main_window.h"

namespace {

QRect dialogRect(const QFont& font, int left, int top, int width, int height) {
    return DialogUnits(font).rect(left, top, width, height);
}

// Dialog keyboard handling belongs to the main window only: in the other windows Esc and
// Enter reach no button and end nothing.
class DialogKeyEater : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            switch (static_cast<QKeyEvent*>(event)->key()) {
                case Qt::Key_Escape:
                case Qt::Key_Return:
                case Qt::Key_Enter:
                    event->accept();
                    return true;
                default:
                    break;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

void keepDialogKeys(QDialog& window) { window.installEventFilter(new DialogKeyEater(&window)); }

QFont defaultFixedFont() { return fixedGothicFont(); }

}  // namespace

void connectWindowHosts() {
    setDisplayWindowHost({
        .owner = publishedMainWindow,
        .dialogFont = dialogFont,
        .fixedFont = defaultFixedFont,
        .dialogRect = dialogRect,
        .keepDialogKeys = keepDialogKeys,
    });
    setCaptureWindowHost({
        .owner = publishedMainWindow,
        .enableMenuItem =
            [](int commandId, bool enabled) {
                if (QAction* item = mainMenuItem(commandId)) item->setEnabled(enabled);
            },
        .dialogFont = dialogFont,
        .dialogRect = dialogRect,
        .keepDialogKeys = keepDialogKeys,
    });
    setSettingsDialogHost({
        .dialogFont = dialogFont,
        .fixedFont = defaultFixedFont,
        .dialogRect = dialogRect,
        .openUrl = openDesktopUrl,
        .reportPortOpen = reportPortOpen,
        .portsRestarted =
            [] {
                showPortLabels();
                refreshMissingUartNotice();
            },
        .reportDevicesSave = reportDevicesSave,
    });
}

void showPortLabels() {
    setMainControlText(1055, QString::fromStdString(portLabelText(serialPort1)));
    setDisplayWindowTitle(1, QString::fromStdString(displayTitleText(1)));
    setMainControlText(1056, QString::fromStdString(portLabelText(serialPort2)));
    setDisplayWindowTitle(2, QString::fromStdString(displayTitleText(2)));
}

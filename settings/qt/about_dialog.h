// The modal dialog IDD_DIALOG_ABOUT: version, and the support mail and web links.
#pragma once

#include <QDialog>
#include <QString>
#include <QWidget>

class QMouseEvent;
class QPaintEvent;
struct SettingsDialogHost;

// A link that paints its address underlined in pure blue, shows the pointing hand and hands
// its target to the desktop when clicked. Its own window text is never drawn.
class LinkStatic : public QWidget {
public:
    LinkStatic(const SettingsDialogHost& host, const QString& address, const QString& target, QWidget* parent);
    const QString& address() const { return address_; }
    const QString& target() const { return target_; }
    // The face the address is drawn in: fixed-pitch Gothic, 12 px high, 6 px wide, underlined.
    QFont linkFont() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    const SettingsDialogHost& host_;
    QString address_;
    QString target_;
};

// The about dialog's controls, by id (each one's object name is its id).
enum AboutControl : int {
    kAboutOk = 1,
    kAboutVersion = 1074,
    kAboutMail = 5003,  // the links
    kAboutWeb = 5004,
};

class AboutDialog : public QDialog {
public:
    AboutDialog(const SettingsDialogHost& host, QWidget* owner);
};

// The maker's addresses shown in the links.
extern const char* const supportMailAddress;
extern const char* const supportWebAddress;

// Runs the dialog modally over `owner` (the main window).
void runAboutDialog(const SettingsDialogHost& host, QWidget* owner);

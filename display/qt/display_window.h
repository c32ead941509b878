// The display window of a channel (templates IDD_DIALOG_DISP1 / IDD_DIALOG_DISP2).
#pragma once

#include <QFont>
#include <QPointer>
#include <QRect>
#include <array>
#include <functional>
#include <memory>

class QDialog;
class QObject;
class QString;
class QWidget;
class TrafficView;
struct Relay;
struct TrafficDisplay;

// A display window's controls, by id (each one's object name is its id).
enum DisplayControl : int {
    kDisplayText = 1001,   // the view of the channel's text
    kDisplayClear = 1046,  // CLEAR
    kDisplayEnd = 1058,    // END
};

// What the display windows take from the application that hosts them; set once at start-up.
struct DisplayWindowHost {
    std::function<QWidget*()> owner;      // of new windows; null while there is none
    std::function<QFont()> dialogFont;
    std::function<QFont()> fixedFont;     // of the text, control 1001
    // A rectangle in dialog units of the font, in pixels.
    std::function<QRect(const QFont& font, int left, int top, int width, int height)> dialogRect;
    // Takes Esc and Enter from a window that must not act on them.
    std::function<void(QDialog& window)> keepDialogKeys;
    // Tells the user that the view refused the font (a box owned by the view).
    std::function<void(QWidget& view)> fontRefused;
};

// Both channels' display windows, made by the application that owns the relay and the displays
// (which outlive the windows).
class DisplayWindows {
public:
    DisplayWindows(DisplayWindowHost host, Relay& relay, TrafficDisplay& display1, TrafficDisplay& display2);
    ~DisplayWindows();
    DisplayWindows(const DisplayWindows&) = delete;
    DisplayWindows& operator=(const DisplayWindows&) = delete;

    // Disp button 117 (channel 1) / 118 (channel 2).
    void openDisplayWindow(int channel);
    // Sets the title of the channel's display window while it exists; no window, no effect.
    void setDisplayWindowTitle(int channel, const QString& title);

    // The channel's display window until END or the close box ends it (its widgets are then
    // destroyed; its text stays with the channel); null before the first and after the end.
    QWidget* displayWindowOf(int channel) const;
    // How many display windows the channel has had so far.
    int displayWindowCount(int channel) const;

private:
    void watchLeftButton();

    DisplayWindowHost host_;
    Relay& relay_;
    std::array<TrafficDisplay*, 2> displays_;
    // The channel's open window, if any, and how many windows it has had.
    std::array<QPointer<QDialog>, 2> current_;
    std::array<int, 2> made_{};
    std::unique_ptr<QObject> watcher_;
};

// Applies the character format of control 1001 (the fixed-pitch Gothic face). A font the view
// cannot use as fixed pitch is refused (`refused` tells the user), and the view keeps its font.
// 1 applied, 0 refused.
int setDisplayFont(TrafficView& view, const QFont& font, const std::function<void(QWidget& view)>& refused);

// The display window of a channel (templates IDD_DIALOG_DISP1 / IDD_DIALOG_DISP2).
#pragma once

#include <QFont>
#include <QRect>
#include <functional>

class QDialog;
class QString;
class QWidget;
class TrafficView;

// What the display windows take from the application that hosts them; set once at start-up.
struct DisplayWindowHost {
    std::function<QWidget*()> owner;      // of new windows; null while there is none
    std::function<QFont()> dialogFont;
    std::function<QFont()> fixedFont;     // of the text, control 1001
    // A rectangle in dialog units of the font, in pixels.
    std::function<QRect(const QFont& font, int left, int top, int width, int height)> dialogRect;
    // Takes Esc and Enter from a window that must not act on them.
    std::function<void(QDialog& window)> keepDialogKeys;
};
void setDisplayWindowHost(DisplayWindowHost host);

// Disp button 117 (channel 1) / 118 (channel 2).
void openDisplayWindow(int channel);
// Sets the title of the channel's display window while it exists; no window, no effect.
void setDisplayWindowTitle(int channel, const QString& title);

// The channel's display window until END or the close box ends it (its widgets are then
// destroyed; its text stays with the channel); null before the first and after the end.
QWidget* displayWindowOf(int channel);
// How many display windows the channel has had so far.
int displayWindowCount(int channel);

// Applies the character format of control 1001 (the fixed-pitch Gothic face). A font the view
// cannot use as fixed pitch is refused: "InitialFont Error", owned by the view, and the view
// keeps its font. 1 applied, 0 refused.
int setDisplayFont(TrafficView& view, const QFont& font);

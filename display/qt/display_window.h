// The display window of a channel (templates IDD_DIALOG_DISP1 / IDD_DIALOG_DISP2).
#pragma once

class QFont;
class QString;
class QWidget;
class TrafficView;

// Disp button 117 (channel 1) / 118 (channel 2).
void openDisplayWindow(int channel);
// Sets the title of the channel's stored display window, open or closed; no window, no effect.
void setDisplayWindowTitle(int channel, const QString& title);

// The channel's most recent display window (open or hidden), null before the first.
QWidget* displayWindowOf(int channel);
// Every display window made for the channel so far, oldest first; none is ever destroyed.
int displayWindowCount(int channel);

// Applies the character format of control 1001 (the fixed-pitch Gothic face). A font the view
// cannot use as fixed pitch is refused: "InitialFont Error", owned by the view, and the view
// keeps its font. 1 applied, 0 refused.
int setDisplayFont(TrafficView& view, const QFont& font);

// The display window of a channel (templates IDD_DIALOG_DISP1 / IDD_DIALOG_DISP2).
#pragma once

class QFont;
class QString;
class QWidget;
class TrafficView;

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

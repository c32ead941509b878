// The display window of a channel (templates IDD_DIALOG_DISP1 / IDD_DIALOG_DISP2).
#pragma once

class QString;

// Disp button 117 (channel 1) / 118 (channel 2).
void openDisplayWindow(int channel);
// Sets the title of the channel's stored display window, open or closed; no window, no effect.
void setDisplayWindowTitle(int channel, const QString& title);

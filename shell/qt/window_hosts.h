// Hands each subsystem's windows what they take from the application: the owner of their
// windows and boxes, the dialog font and its units, the main window's menu and labels, and the
// other windows to relabel. The program does this at start-up; window tests do it too.
#pragma once

void connectWindowHosts();

// The main window's COM labels and the display windows' titles, as the ports stand now.
void showPortLabels();

// Reopening both ports with new settings while the relay runs (OK of the serial settings
// dialog), without any window: the dialog hands over its list selections.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "relay/serial_port.h"

// The list positions chosen for one port, in the order of the choice tables; -1 where a list
// has no selection (a stored value that matched no entry and was not replaced).
struct PortChoice {
    int com = -1;
    int bps = -1;
    int bits = -1;
    int pari = -1;
    int stop = -1;
    int flow = -1;
};

struct Relay;

// The list positions that show stored settings; -1 for a value that matches no entry.
PortChoice choiceFromSettings(const PortSettings& settings);

// The COM index a choice stands for: the selection, or the stored one without a selection.
int chosenComIndex(const PortChoice& choice, const PortSettings& previous);

// The five settings after COM, taken from the selections; a field without a selection keeps
// its previous value, so a missing selection is never used as an index.
PortSettings settingsFromChoice(const PortChoice& choice, const PortSettings& previous);

// Both ports choose the same COM index: the restart must be refused.
// now1/now2: the ports' settings as they stand.
bool sameComChoice(const PortSettings& now1, const PortSettings& now2, const PortChoice& port1, const PortChoice& port2);

// Stops both workers; per port: keeps its device open when its chosen COM index leads to the
// device it holds, else closes it and opens the chosen one; stores the other settings and applies
// them without purging anything; then starts a fresh worker for every channel whose source is
// open. A port that does not open keeps its other settings; each open's result goes to
// reportOpen at once, with the port number the user chose and what the open found (so a box
// shows before the next step).
using PortOpenReport = std::function<void(int result, int64_t portNumber, const PortOpenFailure& failure)>;
void restartPorts(Relay& relay, const PortChoice& port1, const PortChoice& port2, const PortOpenReport& reportOpen);

// A new mapping of COM1..COM6 to device paths takes effect: comDevicePaths becomes `paths`, and
// both ports restart as above with their settings unchanged.
void restartPortsOnDevices(Relay& relay, const std::array<std::string, 6>& paths, const PortOpenReport& reportOpen);

// The main window's label of a port: its display name while open, "COM" otherwise.
std::string portLabelText(const SerialPort& port);
// A channel's display window title: "Com%d -> Com%d" from its source and destination COM
// indexes while its source port is open, "COM" otherwise.
std::string displayTitleText(Relay& relay, int channel);

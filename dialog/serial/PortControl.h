#pragma once
// Opening and closing the port, and the control states that follow them.

#include "core/TerminalState.h"

class CDialog;

namespace serial {

// Opens the port with the settings held in the state. A refused open changes nothing.
void openPort(CDialog& dlg, TerminalState& state);

// Closes the port, returns the controls to the closed state and stops both timers. On COM1 the
// slot box is unticked and slot routing is switched off with it.
void closePort(CDialog& dlg, TerminalState& state);

// Shows each port list entry's device as its tooltip (nothing when the library does not say).
void showPortDevices(CDialog& dlg);

// The closed state of the controls, as at start-up.
void showClosedState(CDialog& dlg);

} // namespace serial

#pragma once
// Routing COM1 to the module in an expansion slot.

#include "core/TerminalState.h"

class CDialog;

namespace slotrouting {

inline constexpr int kSlotCount = 7;

// The slot box was clicked: takes its new state, and switches when it is ticked.
void takeSlotSwitch(CDialog& dlg, TerminalState& state);
// The slot list's selection changed: takes the slot, and switches while routing is on.
void takeSlot(CDialog& dlg, TerminalState& state);

} // namespace slotrouting

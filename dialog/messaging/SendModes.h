#pragma once

#include "core/TerminalState.h"

class CDialog;

namespace messaging {

// A send-mode radio button was clicked: it has ticked itself; the mode is taken, and the
// radio buttons of the other group are unticked.
void selectSendMode(CDialog& dlg, TerminalState& state, SendMode mode);

} // namespace messaging

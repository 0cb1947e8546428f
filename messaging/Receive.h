#pragma once

#include "core/TerminalState.h"

class CDialog;

namespace messaging {

inline constexpr std::size_t kReceiveChunkSize = 1024;

// The dialog's one timer handler: polls the port on every tick, collects on a poll tick with
// data waiting, and sends on an automatic-send tick.
void timerDispatch(CDialog& dlg, TerminalState& state, int timerId);

// Collects what has arrived and appends it to the reply text; when the two would pass 2047
// bytes together, the earlier text is dropped first.
void receiveStep(CDialog& dlg, TerminalState& state);

} // namespace messaging

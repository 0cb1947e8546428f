#pragma once

#include "core/TerminalState.h"

class CDialog;

namespace messaging {

inline constexpr std::size_t kReceiveChunkSize = 1024;
// Chunks collected in one poll tick at most: 4 x 1023 bytes every 100 ms is 40 KB/s, three
// times what 115200 baud can bring.
inline constexpr int kMaxChunksPerTick = 4;

// The dialog's one timer handler: polls the port on every tick, collects on a poll tick with
// data waiting, and sends on an automatic-send tick.
void timerDispatch(CDialog& dlg, TerminalState& state, int timerId);

// Collects what has arrived, chunk by chunk while more is waiting (kMaxChunksPerTick at most),
// appends each to the reply text and shows it. When the held text and a chunk would pass 2047
// bytes together, the earlier text is dropped first.
void receiveStep(CDialog& dlg, TerminalState& state);

} // namespace messaging

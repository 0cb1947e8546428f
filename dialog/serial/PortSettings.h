#pragma once
// Handlers for the settings lists and the checksum box. They only record the choice in
// TerminalState; the port sees it at the next open.

#include "core/TerminalState.h"

#include <array>
#include <cstdint>

class CDialog;

namespace serial {

inline constexpr std::array<std::uint32_t, 7> kBaudRates{1200,  2400,  4800,  9600,
                                                         19200, 38400, 115200};
inline constexpr std::array<std::uint16_t, 4> kDataBits{5, 6, 7, 8};
inline constexpr int kPortCount = 20;
inline constexpr int kFastBaudIndex = 6; // COM1 is switched to 115200

void takePort(CDialog& dlg, TerminalState& state);
void takeBaudRate(CDialog& dlg, TerminalState& state);
void takeDataBits(CDialog& dlg, TerminalState& state);
void takeParity(CDialog& dlg, TerminalState& state);
void takeStopBits(CDialog& dlg, TerminalState& state);
void takeChecksum(CDialog& dlg, TerminalState& state);

} // namespace serial

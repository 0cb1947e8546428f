#pragma once

#include <cstdint>

class CDialog;

namespace messaging {

// "Set": takes the interval field through the dialog's data exchange.
void readInterval(CDialog& dlg);
// "Start": repeats the send every intervalMs (a period fixed until the next start).
void startAutoSend(CDialog& dlg, std::uint32_t intervalMs);
// "Stop".
void stopAutoSend(CDialog& dlg);

} // namespace messaging

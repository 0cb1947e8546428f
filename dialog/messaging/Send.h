#pragma once

#include "core/TerminalState.h"

#include <QString>

class CDialog;

namespace messaging {

// "Clear": empties the reply text and the receive field.
void clearReply(CDialog& dlg, TerminalState& state);

// "Send_Message" and every automatic tick. Clearing comes first: what the field shows afterwards
// answers this send alone. Commands go through the library's command call and show its
// reply or "Err_Code = n"; other modes send the framed bytes and leave the answer to polling.
// A frame too long for the buffer goes nowhere, and the receive field says why.
void sendMessage(CDialog& dlg, TerminalState& state);

// Shows the zero-terminated reply text in the receive field, newest line in view.
void showReplyText(CDialog& dlg, const TerminalState& state);

} // namespace messaging

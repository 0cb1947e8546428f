#pragma once

#include "core/TerminalState.h"

#include <QString>

class CDialog;

namespace messaging {

// "Clear": empties the reply text and the receive field.
void clearReply(CDialog& dlg, TerminalState& state);

// "Send_Message" and every automatic tick: clears the reply, frames the send field's text in
// the selected mode and hands it to the serial library. In command mode the reply, or
// "Err_Code = n", is shown. A frame that would not fit is refused: nothing goes out and the
// receive field says why.
void sendMessage(CDialog& dlg, TerminalState& state);

// Shows the zero-terminated reply text in the receive field, newest line in view.
void showReplyText(CDialog& dlg, const TerminalState& state);

} // namespace messaging

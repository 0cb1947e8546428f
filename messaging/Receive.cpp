#include "messaging/Receive.h"

#include "messaging/Send.h"
#include "ui/ControlIds.h"

#include <uartce.h>

#include <cstring>

namespace messaging {

// The program's buffers are the ones the library's contract is written for.
static_assert(kReceiveChunkSize == UARTCE_RECEIVE_BUFFER_SIZE);
static_assert(kReplyTextSize == UARTCE_REPLY_BUFFER_SIZE);

void timerDispatch(CDialog& dlg, TerminalState& state, int timerId) {
    const std::uint32_t waiting = DataSizeInCom(state.port);
    if (waiting != 0 && timerId == RECEIVE_POLL_TIMER)
        receiveStep(dlg, state);
    else if (timerId == AUTO_SEND_TIMER)
        sendMessage(dlg, state);
}

void receiveStep(CDialog& dlg, TerminalState& state) {
    char chunk[kReceiveChunkSize] = {};
    Receive_Cmd(static_cast<std::uint8_t>(state.port), chunk, state.timeout, state.checksum,
                &state.libraryOut);
    chunk[kReceiveChunkSize - 1] = '\0'; // a library that filled the chunk loses its last byte

    const std::size_t held = strnlen(state.replyText, kReplyTextSize - 1);
    const std::size_t added = std::strlen(chunk);
    std::size_t at = held;
    if (held + added > kReplyTextSize - 1) {
        std::memset(state.replyText, 0, sizeof state.replyText);
        at = 0;
    }
    std::memcpy(state.replyText + at, chunk, added + 1);
    showReplyText(dlg, state);
}

} // namespace messaging

#include "messaging/Receive.h"

#include "messaging/Send.h"
#include "messaging/TextCodec.h"
#include "ui/ControlIds.h"

#include <uartce.h>

#include <cstring>

namespace messaging {

// The program's buffers are the ones the library's contract is written for.
static_assert(kReceiveChunkSize == UARTCE_RECEIVE_BUFFER_SIZE);
static_assert(kReplyTextSize == UARTCE_REPLY_BUFFER_SIZE);

namespace {
// Takes one chunk from the library and appends it to the reply text; when the two would pass
// 2047 bytes together, the earlier text is dropped first.
void appendChunk(TerminalState& state) {
    char chunk[kReceiveChunkSize] = {};
    state.libraryOut = 0;
    Receive_Cmd(static_cast<std::uint8_t>(state.port), chunk, state.timeout, state.checksum,
                &state.libraryOut);
    chunk[kReceiveChunkSize - 1] = '\0'; // a library that filled the chunk loses its last byte
    const std::size_t added = deliveredLength(chunk, kReceiveChunkSize, state.libraryOut);

    std::size_t at = state.replyLength;
    if (at + added > kReplyTextSize - 1) {
        std::memset(state.replyText, 0, sizeof state.replyText);
        at = 0;
    }
    std::memcpy(state.replyText + at, chunk, added);
    state.replyText[at + added] = '\0';
    state.replyLength = at + added;
}
} // namespace

void timerDispatch(CDialog& dlg, TerminalState& state, int timerId) {
    const std::uint32_t waiting = DataSizeInCom(state.port);
    if (waiting != 0 && timerId == RECEIVE_POLL_TIMER)
        receiveStep(dlg, state);
    else if (timerId == AUTO_SEND_TIMER)
        sendMessage(dlg, state);
}

void receiveStep(CDialog& dlg, TerminalState& state) {
    // One chunk per tick drains 10 KB/s, less than 115200 baud brings; a few keep the kernel's
    // buffer from overrunning while one tick stays short.
    for (int i = 0; i < kMaxChunksPerTick; ++i) {
        appendChunk(state);
        if (i + 1 == kMaxChunksPerTick || DataSizeInCom(state.port) == 0)
            break;
    }
    showReplyText(dlg, state);
}

} // namespace messaging

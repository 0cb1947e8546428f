// What portula-cmd says of an exchange: replies as text or hex, statuses in words, the exit
// status a line status gives.

#include "cmd/Cli.h"

#include <uartce.h>

#include <cstdio>

namespace cmd {

int exitForStatus(unsigned status) {
    switch (status) {
    case UARTCE_OK:
        return kExitOk;
    case UARTCE_ERR_NO_REPLY:
        return kExitNoReply;
    case UARTCE_ERR_REPLY_CUT:
        return kExitReplyCut;
    case UARTCE_ERR_CHECKSUM:
        return kExitChecksum;
    case UARTCE_ERR_REPLY_TOO_LONG:
        return kExitReplyTooLong;
    case UARTCE_ERR_HANGUP:
        return kExitHangUp;
    default:
        return kExitLineError;
    }
}

std::string showBytes(std::string_view bytes, bool hex) {
    std::string text;
    char buffer[8];
    for (unsigned char c : bytes) {
        if (hex) {
            std::snprintf(buffer, sizeof buffer, text.empty() ? "%02X" : " %02X", c);
            text += buffer;
        } else if (c >= 0x20 && c < 0x7F && c != '\\') {
            text.push_back(static_cast<char>(c));
        } else {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
            text += buffer;
        }
    }
    return text;
}

std::string statusWords(unsigned status, unsigned timeoutMs) {
    switch (status) {
    case UARTCE_OK:
        return "answered";
    case UARTCE_ERR_NO_REPLY:
        return "no reply within " + std::to_string(timeoutMs) + " ms";
    case UARTCE_ERR_REPLY_CUT:
        return "reply cut off: its CR did not come within " + std::to_string(timeoutMs) + " ms";
    case UARTCE_ERR_CHECKSUM:
        return "bad checksum in the reply";
    case UARTCE_ERR_REPLY_TOO_LONG:
        return "reply too long";
    case UARTCE_ERR_HANGUP:
        return "the device hung up";
    case UARTCE_ERR_NOT_OPEN:
        return "the port is not open";
    case UARTCE_ERR_WRITE:
        return "line error: the write failed or stalled";
    case UARTCE_ERR_READ:
        return "line error: a read failed";
    case UARTCE_ERR_GARBLED_ECHO:
        return "line error: the echo of the command came back changed (two senders at once)";
    default:
        return "line error";
    }
}

} // namespace cmd

// What portula-cmd says of an exchange: replies as text or hex, statuses in words, the exit
// status a line status gives.

#include "cmd/Cli.h"
#include "rules/Status.h"

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
    case UARTCE_ERR_EXCEPTION:
        return kExitException;
    case UARTCE_ERR_ECHO_UNKNOWN:
        return kExitEchoUnknown;
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
    if (status == UARTCE_OK)
        return "answered";
    std::string words = portula::statusText(status);
    const std::size_t at = words.find(portula::kTimeoutWords);
    if (at != std::string::npos)
        words.replace(at, sizeof portula::kTimeoutWords - 1, std::to_string(timeoutMs) + " ms");
    return words;
}

} // namespace cmd

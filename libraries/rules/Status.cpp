#include "rules/Status.h"

#include <uartce.h>

namespace portula {

namespace {
struct StatusEntry {
    unsigned status;
    const char* text;
};
constexpr StatusEntry kStatusTexts[] = {
    {UARTCE_OK, "done"},
    {UARTCE_ERR_BAD_PORT, "the port number is 0"},
    {UARTCE_ERR_BAD_SETTINGS, "a line setting out of range, or one the driver did not keep"},
    {UARTCE_ERR_NO_DEVICE, "the device does not exist"},
    {UARTCE_ERR_ACCESS, "permission denied on the device"},
    {UARTCE_ERR_BUSY, "another program or port holds the device"},
    {UARTCE_ERR_OPEN_FAILED, "the device could not be opened or set up"},
    {UARTCE_ERR_ALREADY_OPEN, "the port is already open"},
    {UARTCE_ERR_NOT_OPEN, "the port is not open"},
    {UARTCE_ERR_WRITE, "line error: the write failed or stalled"},
    {UARTCE_ERR_NO_REPLY, "no reply within the time-out"},
    {UARTCE_ERR_REPLY_CUT, "reply cut off: its end did not come within the time-out"},
    {UARTCE_ERR_CHECKSUM, "bad checksum in the reply"},
    {UARTCE_ERR_REPLY_TOO_LONG, "reply too long"},
    {UARTCE_ERR_HANGUP, "the device hung up"},
    {UARTCE_ERR_READ, "line error: a read failed"},
    {UARTCE_ERR_BAD_ARGUMENT, "a null pointer where a buffer was needed"},
    {UARTCE_ERR_GARBLED_ECHO,
     "line error: the echo of the command came back changed (two senders at once)"},
    {UARTCE_ERR_EXCEPTION, "the slave answered with an exception"},
    {UARTCE_ERR_ECHO_UNKNOWN,
     "the write's repeat came back on a line whose echo is not known: its echo or the reply"},
};
} // namespace

const char* statusText(unsigned status) {
    for (const StatusEntry& e : kStatusTexts)
        if (e.status == status)
            return e.text;
    return "unknown status";
}

} // namespace portula

#pragma once
// Answers read back from what people see: the lines `portula-cmd term` appends to its --log
// file (and prints on its screen), and the text of the dialog's receive field. Pure: text in,
// results out, so that the reading can be tested without a port.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace campaign {

// One command term put on the line and what it reported for it.
struct TermAnswer {
    std::string frame;           // the bytes sent, CR (and checksum) included
    unsigned status = 0;         // 0 for a reply
    std::string reply;           // the reply's bytes, status 0 only (Modbus: any status)
    std::string failure;         // the failure line as logged ("Err_Code = 10 (...)")
    std::int64_t sentUs = 0;     // wall clock, microseconds since the epoch, UTC
    std::int64_t answeredUs = 0; // likewise, when the reply or failure was logged
};

struct TermLog {
    std::vector<TermAnswer> answers;   // in the order the commands were sent
    std::vector<std::string> problems; // lines that break the log's shape, with why
};

// A log line's time, "2026-12-09T18:30:33.961+0100": microseconds since the epoch, UTC.
std::optional<std::int64_t> logTimeUs(std::string_view stamp);
// A log line's bytes as escaped by term (\r \n \t \\ \xNN); nullopt for a broken escape.
std::optional<std::string> unescapeLogText(std::string_view text);

// Reads a --log file. A sent frame ('>') is followed at once by its reply ('<') or failure
// ('!'); whatever comes after that and before the next frame arrived between commands. With
// modbus, a reply is logged as hex bytes, and a failure right after it is its status (a
// slave's exception, a frame whose CRC or LRC failed).
TermLog parseTermLog(std::string_view text, bool modbus = false);

// The line term's screen shows for an answer: the reply with bytes outside printable ASCII
// (and the backslash) as \xNN, or the failure line.
std::string screenLine(const TermAnswer& answer);
// How many of `expected` cannot be found in `screen` in that order (other lines may come
// between them).
std::size_t missingInOrder(const std::vector<std::string>& screen,
                           const std::vector<std::string>& expected);

// The window an answer's log times give on the steady clock: wallMinusSteadyUs converts,
// slackUs covers the log's millisecond resolution and any drift between the clocks, and the
// process's own lifetime bounds it.
struct Window {
    std::int64_t startUs = 0, endUs = 0;
};
Window steadyWindow(const TermAnswer& answer, std::int64_t wallMinusSteadyUs, std::int64_t slackUs,
                    Window process);

// The dialog's receive field after a command sent in its CR mode, as Latin-1 bytes (its
// placeholder for a zero byte turned back into one): "Err_Code = N" alone is the failure N,
// anything else the reply.
struct FieldAnswer {
    unsigned status = 0;
    std::string reply;
};
FieldAnswer parseReceiveField(const std::string& field);

} // namespace campaign

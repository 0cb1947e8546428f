#pragma once
// A record of every call that touches the line, one JSON object a line, when PORTULA_TRACE
// names a file. Off, it costs the entry points one test of a flag.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace uartce::trace {

struct Record {
    std::int64_t unixMicros; // when the call began, UTC
    unsigned port;
    std::string_view call;
    std::string_view out; // bytes put on the line
    std::string_view in;  // bytes handed to the caller
    unsigned status;
    std::int64_t durationMicros;
    std::string_view reason = {}; // why bytes that came were dropped, for a "dropped" record
};

// One JSON line, newline included. Bytes show as printable ASCII, every other byte (and the
// backslash) as \xNN.
std::string formatRecord(const Record& record);

// -1 before the first call has read PORTULA_TRACE, then 0 off or 1 on.
extern int g_state;
void start();
bool inside();
inline bool active() {
    if (g_state < 0)
        start();
    return g_state > 0 && !inside();
}
// Notes bytes that went on the line during the traced call under way: its record's "out".
void wentOut(std::string_view bytes);

// Records bytes that came on the line but were no reply (reason: "echo", "late", ...), from
// inside the call that dropped them.
void dropped(unsigned port, std::string_view bytes, std::string_view reason);

// Stops tracing, or traces to path from now on (null or empty: off). False when path was
// refused; tracing is then off.
bool setFile(const char* path);

// What a traced call did: its status and the bytes it handed to the caller; record false for a
// call that is no event on the line (an idle poll).
struct Outcome {
    std::uint16_t status;
    std::string_view in = {};
    bool record = true;
};

// Runs an entry point's work with tracing off inside it, then writes its record: the call's
// name, the port, the bytes that went on the line meanwhile, and the outcome.
std::uint16_t call(std::string_view name, unsigned port, const std::function<Outcome()>& run);

} // namespace uartce::trace

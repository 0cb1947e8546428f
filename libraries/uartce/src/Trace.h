#pragma once
// A record of every call that touches the line, one JSON object a line, when PORTULA_TRACE
// names a file. Off, it costs the entry points one test of a flag.

#include "Platform.h"

#include <cstdint>
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

// The traced entry points: each runs the real one and writes its record.
using OpenFn = std::uint16_t (*)(std::uint8_t, std::uint32_t, std::uint8_t, std::uint8_t,
                                 std::int8_t);
using CloseFn = std::uint16_t (*)(std::uint8_t);
using SendFn = std::uint16_t (*)(std::uint8_t, const char*, std::uint32_t);
using CommandFn = std::uint16_t (*)(std::uint8_t, const char*, char*, std::uint16_t, std::uint16_t,
                                    std::uint32_t*);
using ReceiveFn = std::uint16_t (*)(std::uint8_t, char*, std::uint16_t, std::uint16_t,
                                    std::uint32_t*);

using CommandTimedFn = std::uint16_t (*)(std::uint8_t, const char*, char*, std::uint16_t,
                                         std::uint16_t, std::uint16_t, std::uint32_t*);
std::uint16_t commandTimed(CommandTimedFn fn, std::uint8_t port, const char* command, char* reply,
                           std::uint16_t firstByteMs, std::uint16_t timeoutMs,
                           std::uint16_t checksum, std::uint32_t* out);
using ReceiveUntilFn = std::uint16_t (*)(std::uint8_t, char*, std::uint32_t, std::uint16_t,
                                         std::int16_t, std::uint32_t*);
std::uint16_t receiveUntil(ReceiveUntilFn fn, std::uint8_t port, char* buffer,
                           std::uint32_t capacity, std::uint16_t timeoutMs, std::int16_t terminator,
                           std::uint32_t* out);

using OpenDeviceFn = std::uint16_t (*)(std::uint8_t, const std::string&,
                                       const platform::LineSettings&);
std::uint16_t openDevice(OpenDeviceFn fn, std::uint8_t port, const std::string& device,
                         const platform::LineSettings& settings);

std::uint16_t open(OpenFn fn, std::uint8_t port, std::uint32_t baud, std::uint8_t dataBits,
                   std::uint8_t parity, std::int8_t stopBits);
std::uint16_t close(CloseFn fn, std::uint8_t port);
std::uint16_t send(SendFn fn, std::uint8_t port, const char* data, std::uint32_t count);
std::uint16_t command(CommandFn fn, std::uint8_t port, const char* command, char* reply,
                      std::uint16_t timeoutMs, std::uint16_t checksum, std::uint32_t* out);
std::uint16_t receive(ReceiveFn fn, std::uint8_t port, char* buffer, std::uint16_t timeoutMs,
                      std::uint16_t checksum, std::uint32_t* out);

} // namespace uartce::trace

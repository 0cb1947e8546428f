#pragma once
// The device backend of the library: what the portable code needs of an operating system's
// serial ports. One implementation per system (posix/ here).

#include "Deadline.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace uartce::platform {

struct LineSettings {
    std::uint32_t baud;
    std::uint8_t dataBits; // 5 to 8
    std::uint8_t parity;   // 0 none, 1 odd, 2 even
    std::int8_t stopBits;  // 0 or 1: one stop bit; 2: two
};

bool validSettings(const LineSettings& settings);

using Handle = int;
inline constexpr Handle kNoHandle = -1;

enum class Io { Ok, WouldBlock, HungUp, Failed };

struct OpenResult {
    Handle handle;        // kNoHandle on failure
    std::uint16_t status; // a uartce_status
    std::string reason;   // for the message on standard error
};

// Opens the device exclusively with a raw line in the given settings.
OpenResult openDevice(const std::string& path, const LineSettings& settings);
// Releases the device and its lock; always succeeds in giving the handle back.
void closeDevice(Handle handle);

// Reads what is there without waiting; got is the number of bytes read (Ok only).
Io readAvailable(Handle handle, char* buffer, std::size_t capacity, std::size_t& got);
// Waits until input is readable: Ok, WouldBlock when the deadline passed, HungUp, Failed.
Io waitReadable(Handle handle, const Deadline& deadline);
// Writes every byte or fails: WouldBlock when the line took nothing for stallLimit.
Io writeAll(Handle handle, const char* data, std::size_t count,
            std::chrono::milliseconds stallLimit);
// Drops input the driver holds.
void discardInput(Handle handle);
// Bytes the driver holds for reading, without waiting; Failed when the device is gone.
Io bytesWaiting(Handle handle, std::uint32_t& count);

} // namespace uartce::platform

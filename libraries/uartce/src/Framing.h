#pragma once
// Command and reply framing: pure functions over bytes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace uartce {

inline constexpr char kCR = '\r';

// Sum of the bytes modulo 256.
std::uint8_t checksumOf(std::string_view bytes);

// Writes the command, then with checksum two uppercase hex digits of its sum, then CR, into
// out. Returns the frame's length, or 0 when out is too small.
std::size_t frameCommand(std::string_view command, bool checksum, std::span<char> out);

// Checks that a reply ends in the hex sum (either case) of the bytes before it. On success
// returns the length without the two digits.
bool verifyReplyChecksum(std::string_view reply, std::size_t& payloadLength);

} // namespace uartce

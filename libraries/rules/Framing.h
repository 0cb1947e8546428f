#pragma once
// How a command and its reply look on the line: checksums, framing, hex digits and line endings.
// Pure functions over bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace portula {

inline constexpr char kCR = '\r';

// Sum of the bytes modulo 256.
std::uint8_t checksumOf(std::string_view bytes);

// The two uppercase hex digits of a byte.
std::string hexPair(std::uint8_t value);

// Writes the command, then with checksum two uppercase hex digits of its sum, then CR, into
// out. Returns the frame's length, or 0 when out is too small.
std::size_t frameCommand(std::string_view command, bool checksum, std::span<char> out);
// The same frame as a string.
std::string framedCommand(std::string_view command, bool checksum);

// Checks that a reply ends in the hex sum (either case) of the bytes before it. On success
// returns the length without the two digits.
bool verifyReplyChecksum(std::string_view reply, std::size_t& payloadLength);

// The value of a hex digit (0-9, a-f, A-F), or -1 for any other byte.
int hexDigit(char c);
// Exactly two hex digits, either case.
std::optional<std::uint8_t> parseHexByte(std::string_view text);

// What ends a line written to the port: a framed command (CR, with the command's checksum where
// asked), nothing, or fixed bytes.
enum class Ending { CR, None, LF, LFCR, CRLF, Hex };

struct EndingName {
    Ending ending;
    const char* name;  // as an option or a setting spells it: "cr", "none", "lfcr"...
    const char* bytes; // what it appends (a framed command ends in CR); hex has bytes of its own
};
inline constexpr EndingName kEndingNames[] = {
    {Ending::CR, "cr", "\r"},       {Ending::None, "none", ""},     {Ending::LF, "lf", "\n"},
    {Ending::LFCR, "lfcr", "\n\r"}, {Ending::CRLF, "crlf", "\r\n"},
};

// The bytes an ending appends (none for Hex, whose bytes are its own).
std::string_view endingBytes(Ending ending);
// "cr", "none", "lf", "lfcr", "crlf", or "hex:" and the bytes' hex digits.
std::string endingName(Ending ending, std::string_view bytes);
// Parses those names; for hex:XX... (an even count of hex digits, at least one byte) bytes gets
// them. nullopt for anything else.
std::optional<Ending> parseEnding(std::string_view text, std::string& bytes);

} // namespace portula

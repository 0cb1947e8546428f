#pragma once
// What the serial library, the tools and the simulator share: the one spelling of bytes in a
// message line and in JSON, and the one parser of decimal numbers.

#include <cstdint>
#include <string>
#include <string_view>

namespace portula {

// Text for a message line: \n, \r, \t, \\ and \xNN for every other byte outside printable
// ASCII, so that a device name or a command stays on one line.
std::string escapeForLine(std::string_view text);

// A JSON string literal for bytes, each byte the Latin-1 code point of its value: printable
// ASCII as it is (" and \ escaped), every other byte as \u00NN. A JSON reader gets the bytes
// back as code points 0 to 255.
std::string jsonString(std::string_view bytes);
void appendJsonString(std::string& out, std::string_view bytes);

// Decimal digits only, at most max: no sign, no blanks, no trailing text. value is set only
// when the text is such a number.
bool parseUnsigned(std::string_view text, unsigned long max, unsigned long& value);

} // namespace portula

namespace portula {

// A command written with backslash escapes: \xNN (two hex digits, either case), \r, \n, \t
// and \\. bytes is what goes on the line; error, when not empty, is one line naming the first
// bad escape ("'\q' is not an escape: ...") and bytes is then empty.
struct Unescaped {
    std::string bytes;
    std::string error;
};
Unescaped unescapeCommand(std::string_view text);

} // namespace portula

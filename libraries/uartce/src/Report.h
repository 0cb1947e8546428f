#pragma once
// Where the library's messages go: to the caller's handler when it set one
// (UARTCE_SetMessageHandler), else one line on standard error, "UARTCE: " before the text.

#include <cstdint>
#include <string>

namespace uartce {

// port: the port the message is about, 0 for none; status: the refusal's status, 0 for a
// warning.
void report(unsigned port, std::uint16_t status, const std::string& text);

} // namespace uartce

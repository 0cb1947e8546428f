#pragma once
// --rs485[=LIST]: the kernel RS-485 mode the port is put in, as a comma list such as
// "rts-on-send=high,rts-after-send=low,delay-before=2,delay-after=2,rx-during-tx", or "off".

#include <uartce.h>

#include <optional>
#include <string>
#include <string_view>

namespace cmd {

// The mode a bare --rs485 asks for: RTS high while sending, low after, no delays.
uartce_rs485 defaultRs485();

// The mode LIST asks for (empty: the default), or nullopt with error saying why.
std::optional<uartce_rs485> parseRs485(std::string_view list, std::string& error);

// Whether a word begins as such a list does: the value of "--rs485 LIST" given as a separate
// word, which a command never is (a list with a mistake in it is then refused, not sent).
bool beginsAsRs485List(std::string_view word);

// The longest delay taken, in milliseconds; the driver may keep less.
inline constexpr unsigned kMaxRs485DelayMs = 10000;

} // namespace cmd

#pragma once
// The kernel RS-485 mode a port is put in, written as a comma list such as
// "rts-on-send=high,rts-after-send=low,delay-before=2,delay-after=2,rx-during-tx", or "off":
// portula-cmd's --rs485[=LIST] and a port map line's rs485[=LIST].

#include <uartce.h>

#include <optional>
#include <string>
#include <string_view>

namespace portula {

// The mode a bare --rs485 asks for: RTS high while sending, low after, no delays.
uartce_rs485 defaultRs485();

// The mode LIST asks for (empty: the default), or nullopt with error saying why.
std::optional<uartce_rs485> parseRs485(std::string_view list, std::string& error);

// Whether a word begins as such a list does (portula-cmd takes "--rs485 LIST" as two words only
// then: a command never begins so, and a list with a mistake in it is refused, not sent).
bool beginsAsRs485List(std::string_view word);

// The longest delay taken, in milliseconds; the driver may keep less.
inline constexpr unsigned kMaxRs485DelayMs = 10000;

} // namespace portula

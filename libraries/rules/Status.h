#pragma once
// The one text for each of the serial library's status codes (uartce.h), which every program
// shows; UARTCE_StatusText hands it out.

namespace portula {

// The code's text; "unknown status" for a number outside the set.
const char* statusText(unsigned status);

// Whether the text of a status speaks of the call's time-out: a program that knows the time-out
// says it in milliseconds in its place.
inline constexpr char kTimeoutWords[] = "the time-out";

} // namespace portula

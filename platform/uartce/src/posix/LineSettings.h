#pragma once
// The mapping from line settings to a raw termios: a pure function.

#include "Platform.h"

#include <termios.h>

namespace uartce::platform {

// speed_t constant for a baud rate, or false when the rate is not supported.
bool baudConstant(std::uint32_t baud, speed_t& speed);

// From the device's current termios, the raw 8-bit line in the given settings: no echo, no
// canonical input, no CR/NL translation, no output processing, no flow control, receiver on,
// modem lines ignored, one byte
// satisfying a read (the descriptor is non-blocking, so reads never wait). False when a setting is
// out of range.
bool makeRawTermios(const termios& current, const LineSettings& settings, termios& out);

} // namespace uartce::platform

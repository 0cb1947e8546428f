#pragma once
// The mapping from line settings to a raw termios: a pure function.

#include "Platform.h"

#include <string>
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

// A driver may keep a setting it cannot do and still report success (an FTDI chip has no 6
// data bits): the first setting of those asked that the termios read back from the device does
// not hold, in words ("6 data bits (it keeps 8)"); empty when it holds them all.
std::string unmetSetting(const LineSettings& asked, const termios& got);

// What a driver is known to take without saying so: ftdi_sio keeps 5 data bits in the termios
// it reports while the chip, which has 7 and 8 only, runs at 8. The setting in words, as
// unmetSetting gives it, or empty when the driver takes the settings.
std::string settingTheDriverFakes(const std::string& driver, const LineSettings& asked);

// The settings in words: "9600 baud, 7 data bits, even parity, 1 stop bit".
std::string describeSettings(const LineSettings& settings);

} // namespace uartce::platform

#pragma once
// The mapping from line settings to a raw termios, and the words for what a driver kept: pure
// functions.

#include "Platform.h"

#include <string>
#include <termios.h>

namespace uartce::platform {

// The speed_t constant of a standard rate (B50 to B4000000); false for any other rate, which is
// set as an arbitrary one (posix/ArbitraryRate.h).
bool baudConstant(std::uint32_t baud, speed_t& speed);
// The rate of a speed_t constant; 0 for none (BOTHER: the rate is the driver's c_ospeed).
std::uint32_t constantRate(speed_t speed);

// From the device's current termios, the raw 8-bit line in the given settings: no echo, no
// canonical input, no CR/NL translation, no output processing, the flow control asked (RTS/CTS:
// CRTSCTS; XON/XOFF: IXON and IXOFF with DC1 and DC3), receiver on, modem lines ignored, one
// byte satisfying a read (the descriptor is non-blocking, so reads never wait). A standard rate
// is set as its constant; for any other the speed is left as it was, for the caller to set as
// an arbitrary rate afterwards. False when a setting is out of range.
bool makeRawTermios(const termios& current, const LineSettings& settings, termios& out);

// The rate a line runs at, from the termios read back: its constant's rate where it holds one,
// else (an arbitrary rate) reported, the driver's own word for it (c_ospeed of termios2).
std::uint32_t rateReadBack(const termios& got, std::uint32_t reported);

// A driver may keep a setting it cannot do and still report success (an FTDI chip has no 6
// data bits): the first setting of those asked that the line read back does not hold, in words
// ("6 data bits (it keeps 8)", "230400 baud (it keeps 115200)", "mark parity (it keeps no
// parity)", "RTS/CTS flow control (it keeps none)"); empty when it holds them all. got is the
// termios read back and reportedRate the driver's c_ospeed (0 when unknown); a rate counts as
// held when it is close enough for a link (portula::rateClose).
std::string unmetSetting(const LineSettings& asked, const termios& got,
                         std::uint32_t reportedRate = 0);

// What a driver is known to take without saying so: ftdi_sio keeps 5 data bits in the termios
// it reports while the chip, which has 7 and 8 only, runs at 8. The setting in words, as
// unmetSetting gives it, or empty when the driver takes the settings.
std::string settingTheDriverFakes(const std::string& driver, const LineSettings& asked);

// The settings in words: "9600 baud, 7 data bits, even parity, 1 stop bit", and the flow
// control when there is one (", RTS/CTS flow control").
std::string describeSettings(const LineSettings& settings);

} // namespace uartce::platform

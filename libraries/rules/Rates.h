#pragma once
// The line's rates and framing words: the rates a port opens at, how far a driver's rate may
// stray from the one asked, the rates a scan tries unless told, and the names of the parity
// and flow-control settings.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace portula {

// A port opens at any whole rate in this range: the slowest rate Linux names, and the fastest.
inline constexpr std::uint32_t kMinRate = 50;
inline constexpr std::uint32_t kMaxRate = 4000000;
// The rates that have a constant of their own in termios (B50 to B4000000), in order; any other
// rate of the range is set as an arbitrary one.
inline constexpr std::uint32_t kStandardRates[] = {
    50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
// The rates modules are set to, which a scan tries unless given others.
inline constexpr std::uint32_t kModuleRates[] = {1200,  2400,  4800,  9600,
                                                 19200, 38400, 57600, 115200};

// A rate a port can be asked to open at: kMinRate to kMaxRate.
bool isLineRate(std::uint32_t baud);
bool isStandardRate(std::uint32_t baud);
// The rates taken, in words for a refusal: "any rate from 50 to 4000000 the device takes".
std::string ratesTaken();

// How far, in percent, the rate a driver runs at may stray from the one asked. Each end of
// an asynchronous link samples a bit in its middle, timed from the start bit's edge; by the
// last bit of a frame the two clocks have drifted apart by the frame's length times the sum
// of both ends' errors, and that drift must stay under half a bit. For a frame of 10 bits
// (8N1: the stop bit sampled 9.5 bits after the edge) that is 5.3 %, 4.8 % for 11 bits (8E1,
// 8N2) and 4.3 % for 12, less once the receiver's own sampling step (1/16 bit) is counted.
// Both ends share that budget, so each may use about half of it: 2 % leaves room for the
// module's own error, and takes what real chips do to standard rates (an FTDI chip runs 115200 at
// 115384, 0.16 % off; a 16550 on a 1.8432 MHz clock is exact).
inline constexpr unsigned kRateTolerancePercent = 2;
// Whether a line running at `got` baud talks to one at `asked`.
bool rateClose(std::uint32_t asked, std::uint32_t got);

// The bits one character takes on the wire: a start bit, the data bits, a parity bit unless
// parity is none (code 0), and one stop bit or two.
constexpr unsigned bitsPerCharacter(unsigned dataBits, unsigned parity, unsigned stopBits) {
    return 1 + dataBits + (parity != 0 ? 1 : 0) + (stopBits == 2 ? 2 : 1);
}

// The rates, separated: "1200 1800 ... 115200".
std::string rateList(std::span<const std::uint32_t> rates, const char* separator = " ");

// Parity codes, as Open_Com takes them: 0 none, 1 odd, 2 even, 3 mark, 4 space. Their words
// ("none", "odd", ...) as options and the port map spell them; null for a code outside.
inline constexpr std::uint8_t kMaxParity = 4;
const char* parityWord(unsigned code);
std::optional<std::uint8_t> parseParity(std::string_view word);

// Flow-control codes: 0 none, 1 RTS/CTS, 2 XON/XOFF; their words "none", "rts-cts",
// "xon-xoff".
inline constexpr std::uint8_t kMaxFlow = 2;
const char* flowWord(unsigned code);
std::optional<std::uint8_t> parseFlow(std::string_view word);

} // namespace portula

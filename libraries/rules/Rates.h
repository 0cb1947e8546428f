#pragma once
// The baud rates: those a port opens at, and those a scan tries unless told.

#include <cstdint>
#include <span>
#include <string>

namespace portula {

// The rates a port can be opened at, in order.
inline constexpr std::uint32_t kLineRates[] = {1200,  1800,  2400,  4800,  9600,
                                               19200, 38400, 57600, 115200};
// The rates modules are set to, which a scan tries unless given others.
inline constexpr std::uint32_t kModuleRates[] = {1200,  2400,  4800,  9600,
                                                 19200, 38400, 57600, 115200};

bool isLineRate(std::uint32_t baud);
// The rates, separated: "1200 1800 ... 115200".
std::string rateList(std::span<const std::uint32_t> rates, const char* separator = " ");

} // namespace portula

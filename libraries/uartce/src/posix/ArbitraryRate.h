#pragma once
// Rates that termios has no constant for, through termios2 (BOTHER, TCSETS2 and TCGETS2).

#include <cstdint>

namespace uartce::platform {

// Sets the line's rate, output and input, to baud as an arbitrary rate, leaving its other
// settings as they are. False, with errno set, when the driver refuses.
bool setArbitraryRate(int fd, std::uint32_t baud);

// The rate the line's output runs at, as the driver reports it (for a driver that rounds an
// arbitrary rate to what its clock can do, the rate it does); 0 when it cannot be read.
std::uint32_t reportedRate(int fd);

} // namespace uartce::platform

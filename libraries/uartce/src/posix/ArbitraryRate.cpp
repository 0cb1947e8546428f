// A translation unit of its own: <asm/termbits.h> declares the kernel's struct termios, which
// clashes with the C library's in <termios.h>.

#include "posix/ArbitraryRate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace uartce::platform {

bool setArbitraryRate(int fd, std::uint32_t baud) {
    termios2 line{};
    if (::ioctl(fd, TCGETS2, &line) != 0)
        return false;
    // CIBAUD 0: the input follows the output.
    line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
    line.c_cflag |= BOTHER;
    line.c_ospeed = baud;
    line.c_ispeed = baud;
    return ::ioctl(fd, TCSETS2, &line) == 0;
}

std::uint32_t reportedRate(int fd) {
    termios2 line{};
    return ::ioctl(fd, TCGETS2, &line) == 0 ? line.c_ospeed : 0;
}

} // namespace uartce::platform

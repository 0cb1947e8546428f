#include "posix/LineSettings.h"

namespace uartce::platform {

bool baudConstant(std::uint32_t baud, speed_t& speed) {
    struct Entry {
        std::uint32_t baud;
        speed_t speed;
    };
    static constexpr Entry kRates[] = {{1200, B1200},   {1800, B1800},   {2400, B2400},
                                       {4800, B4800},   {9600, B9600},   {19200, B19200},
                                       {38400, B38400}, {57600, B57600}, {115200, B115200}};
    for (const Entry& e : kRates) {
        if (e.baud == baud) {
            speed = e.speed;
            return true;
        }
    }
    return false;
}

bool validSettings(const LineSettings& s) {
    speed_t speed;
    return baudConstant(s.baud, speed) && s.dataBits >= 5 && s.dataBits <= 8 && s.parity <= 2 &&
           s.stopBits >= 0 && s.stopBits <= 2;
}

bool makeRawTermios(const termios& current, const LineSettings& s, termios& out) {
    speed_t speed;
    if (!validSettings(s) || !baudConstant(s.baud, speed))
        return false;
    out = current;
    out.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    out.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    out.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    out.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    out.c_cflag |= kSizes[s.dataBits - 5] | CREAD | CLOCAL;
    if (s.parity == 1)
        out.c_cflag |= PARENB | PARODD;
    else if (s.parity == 2)
        out.c_cflag |= PARENB;
    if (s.parity != 0)
        out.c_iflag |= INPCK;
    if (s.stopBits == 2)
        out.c_cflag |= CSTOPB;
    // With VMIN 0 a read of an empty line returns 0, which can't be told from a hang-up; with
    // VMIN 1 on a non-blocking descriptor it fails with EAGAIN instead.
    out.c_cc[VMIN] = 1;
    out.c_cc[VTIME] = 0;
    cfsetispeed(&out, speed);
    cfsetospeed(&out, speed);
    return true;
}

} // namespace uartce::platform

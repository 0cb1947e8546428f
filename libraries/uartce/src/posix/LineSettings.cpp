#include "posix/LineSettings.h"

#include "rules/Rates.h"

namespace uartce::platform {

bool baudConstant(std::uint32_t baud, speed_t& speed) {
    if (!portula::isLineRate(baud))
        return false;
    switch (baud) {
    case 1200:
        speed = B1200;
        return true;
    case 1800:
        speed = B1800;
        return true;
    case 2400:
        speed = B2400;
        return true;
    case 4800:
        speed = B4800;
        return true;
    case 9600:
        speed = B9600;
        return true;
    case 19200:
        speed = B19200;
        return true;
    case 38400:
        speed = B38400;
        return true;
    case 57600:
        speed = B57600;
        return true;
    case 115200:
        speed = B115200;
        return true;
    default:
        return false; // a rate of the table without a constant: caught by the tests
    }
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

namespace uartce::platform {

namespace {

std::uint32_t baudOf(speed_t speed) {
    for (const std::uint32_t baud : portula::kLineRates) {
        speed_t constant;
        if (baudConstant(baud, constant) && constant == speed)
            return baud;
    }
    return 0;
}

std::string baudText(speed_t speed) {
    const std::uint32_t baud = baudOf(speed);
    return baud ? std::to_string(baud) + " baud" : "another rate";
}

const char* parityText(unsigned parity) {
    return parity == 1 ? "odd parity" : parity == 2 ? "even parity" : "no parity";
}

} // namespace

std::string settingTheDriverFakes(const std::string& driver, const LineSettings& asked) {
    if (driver == "ftdi_sio" && asked.dataBits < 7)
        return std::to_string(asked.dataBits) + " data bits (FTDI chips have 7 and 8)";
    return "";
}

std::string describeSettings(const LineSettings& s) {
    return std::to_string(s.baud) + " baud, " + std::to_string(s.dataBits) + " data bits, " +
           parityText(s.parity) + ", " + (s.stopBits == 2 ? "2 stop bits" : "1 stop bit");
}

std::string unmetSetting(const LineSettings& asked, const termios& got) {
    speed_t speed;
    if (!baudConstant(asked.baud, speed))
        return "";
    const speed_t out = cfgetospeed(&got);
    const speed_t in = cfgetispeed(&got);
    if (out != speed || (in != speed && in != B0))
        return std::to_string(asked.baud) + " baud (it keeps " + baudText(out != speed ? out : in) +
               ")";
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    const tcflag_t size = got.c_cflag & CSIZE;
    if (size != kSizes[asked.dataBits - 5]) {
        unsigned kept = 8;
        for (unsigned bits = 5; bits <= 8; ++bits)
            if (kSizes[bits - 5] == size)
                kept = bits;
        return std::to_string(asked.dataBits) + " data bits (it keeps " + std::to_string(kept) +
               ")";
    }
    const unsigned parity = (got.c_cflag & PARENB) == 0 ? 0 : (got.c_cflag & PARODD) != 0 ? 1 : 2;
    if (parity != asked.parity || (got.c_cflag & CMSPAR) != 0)
        return std::string(parityText(asked.parity)) + " (it keeps " +
               ((got.c_cflag & CMSPAR) != 0 ? "mark or space parity" : parityText(parity)) + ")";
    const bool two = (got.c_cflag & CSTOPB) != 0;
    if (two != (asked.stopBits == 2))
        return std::string(asked.stopBits == 2 ? "2 stop bits" : "1 stop bit") + " (it keeps " +
               (two ? "2" : "1") + ")";
    return "";
}

} // namespace uartce::platform

#include "posix/LineSettings.h"

#include "rules/Rates.h"

#include <iterator>

namespace uartce::platform {

namespace {

struct Standard {
    std::uint32_t baud;
    speed_t speed;
};
constexpr Standard kConstants[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};
static_assert(std::size(kConstants) == std::size(portula::kStandardRates));

constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};

// Parity bits for each code: none, odd, even, mark (stick 1), space (stick 0).
constexpr tcflag_t kParityBits[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                    PARENB | CMSPAR};
constexpr tcflag_t kParityMask = PARENB | PARODD | CMSPAR;

const char* parityText(unsigned parity) {
    static constexpr const char* kWords[] = {"no parity", "odd parity", "even parity",
                                             "mark parity", "space parity"};
    return parity < std::size(kWords) ? kWords[parity] : "another parity";
}

// The parity a termios holds, as a code; 5 for a combination no code stands for.
unsigned parityOf(const termios& t) {
    if ((t.c_cflag & PARENB) == 0)
        return 0;
    for (unsigned code = 1; code < std::size(kParityBits); ++code)
        if ((t.c_cflag & kParityMask) == kParityBits[code])
            return code;
    return 5;
}

// The flow control a termios holds: 0 none, 1 RTS/CTS, 2 XON/XOFF both ways, 3 another mix.
unsigned flowOf(const termios& t) {
    const bool rtsCts = (t.c_cflag & CRTSCTS) != 0;
    const tcflag_t xon = t.c_iflag & (IXON | IXOFF);
    if (!rtsCts && xon == 0)
        return 0;
    if (rtsCts && xon == 0)
        return 1;
    if (!rtsCts && xon == (IXON | IXOFF))
        return 2;
    return 3;
}

const char* flowText(unsigned flow) {
    static constexpr const char* kWords[] = {"none", "RTS/CTS", "XON/XOFF", "a mix"};
    return kWords[flow < std::size(kWords) ? flow : 3];
}

} // namespace

bool baudConstant(std::uint32_t baud, speed_t& speed) {
    for (const Standard& s : kConstants)
        if (s.baud == baud) {
            speed = s.speed;
            return true;
        }
    return false;
}

std::uint32_t constantRate(speed_t speed) {
    for (const Standard& s : kConstants)
        if (s.speed == speed)
            return s.baud;
    return 0;
}

bool validSettings(const LineSettings& s) {
    return portula::isLineRate(s.baud) && s.dataBits >= 5 && s.dataBits <= 8 &&
           s.parity <= portula::kMaxParity && s.stopBits >= 0 && s.stopBits <= 2 &&
           s.flow <= portula::kMaxFlow;
}

bool makeRawTermios(const termios& current, const LineSettings& s, termios& out) {
    if (!validSettings(s))
        return false;
    out = current;
    out.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    out.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    out.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    out.c_cflag &= ~static_cast<tcflag_t>(CSIZE | kParityMask | CSTOPB | CRTSCTS | HUPCL);
    out.c_cflag |= kSizes[s.dataBits - 5] | kParityBits[s.parity] | CREAD | CLOCAL;
    if (s.parity != 0)
        out.c_iflag |= INPCK;
    if (s.stopBits == 2)
        out.c_cflag |= CSTOPB;
    if (s.flow == 1) {
        out.c_cflag |= CRTSCTS;
    } else if (s.flow == 2) {
        out.c_iflag |= IXON | IXOFF;
        out.c_cc[VSTART] = 0x11;
        out.c_cc[VSTOP] = 0x13;
    }
    // With VMIN 0 a read of an empty line returns 0, which can't be told from a hang-up; with
    // VMIN 1 on a non-blocking descriptor it fails with EAGAIN instead.
    out.c_cc[VMIN] = 1;
    out.c_cc[VTIME] = 0;
    if (speed_t speed; baudConstant(s.baud, speed)) {
        cfsetispeed(&out, speed);
        cfsetospeed(&out, speed);
    }
    return true;
}

std::uint32_t rateReadBack(const termios& got, std::uint32_t reported) {
    const std::uint32_t constant = constantRate(cfgetospeed(&got));
    return constant != 0 ? constant : reported;
}

std::string settingTheDriverFakes(const std::string& driver, const LineSettings& asked) {
    if (driver == "ftdi_sio" && asked.dataBits < 7)
        return std::to_string(asked.dataBits) + " data bits (FTDI chips have 7 and 8)";
    return "";
}

std::string describeSettings(const LineSettings& s) {
    std::string text = std::to_string(s.baud) + " baud, " + std::to_string(s.dataBits) +
                       " data bits, " + parityText(s.parity) + ", " +
                       (s.stopBits == 2 ? "2 stop bits" : "1 stop bit");
    if (s.flow != 0)
        text += std::string(", ") + flowText(s.flow) + " flow control";
    return text;
}

std::string unmetSetting(const LineSettings& asked, const termios& got,
                         std::uint32_t reportedRate) {
    if (!validSettings(asked))
        return "";
    // The input runs at the output's rate unless it holds a rate of its own.
    const std::uint32_t output = rateReadBack(got, reportedRate);
    const std::uint32_t input = constantRate(cfgetispeed(&got));
    const std::uint32_t kept =
        !portula::rateClose(asked.baud, output) || input == 0 ? output : input;
    if (!portula::rateClose(asked.baud, kept))
        return std::to_string(asked.baud) + " baud (it keeps " +
               (kept == 0 ? std::string("another rate") : std::to_string(kept)) + ")";
    const tcflag_t size = got.c_cflag & CSIZE;
    if (size != kSizes[asked.dataBits - 5]) {
        unsigned kept = 8;
        for (unsigned bits = 5; bits <= 8; ++bits)
            if (kSizes[bits - 5] == size)
                kept = bits;
        return std::to_string(asked.dataBits) + " data bits (it keeps " + std::to_string(kept) +
               ")";
    }
    if (const unsigned parity = parityOf(got); parity != asked.parity)
        return std::string(parityText(asked.parity)) + " (it keeps " + parityText(parity) + ")";
    const bool two = (got.c_cflag & CSTOPB) != 0;
    if (two != (asked.stopBits == 2))
        return std::string(asked.stopBits == 2 ? "2 stop bits" : "1 stop bit") + " (it keeps " +
               (two ? "2" : "1") + ")";
    if (const unsigned flow = flowOf(got); flow != asked.flow)
        return std::string(asked.flow == 0 ? "no" : flowText(asked.flow)) +
               " flow control (it keeps " + flowText(flow) + ")";
    return "";
}

} // namespace uartce::platform

// The serial library's pure parts: deadlines and the line settings mapping.

#include "Deadline.h"
#include "posix/LineSettings.h"
#include "rules/Rates.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using uartce::Clock;
using uartce::Deadline;

TEST(Deadline, RemainingTimeRoundsUpAndEndsAtZero) {
    const Clock::time_point t0{};
    const Deadline d = Deadline::after(200ms, t0);
    struct Case {
        Clock::duration elapsed;
        int remaining;
    };
    for (const Case& c : {Case{0ms, 200}, Case{199ms, 1}, Case{199500us, 1}, Case{200ms, 0},
                          Case{5s, 0}, Case{1us, 200}})
        EXPECT_EQ(d.remainingMs(t0 + c.elapsed), c.remaining)
            << std::chrono::duration_cast<std::chrono::microseconds>(c.elapsed).count();
    EXPECT_FALSE(d.expired(t0 + 199ms));
    EXPECT_TRUE(d.expired(t0 + 200ms));
    EXPECT_EQ(Deadline::after(0ms, t0).remainingMs(t0), 0);
}

TEST(LineSettings, MapsSettingsToARawTermios) {
    termios cooked{};
    cooked.c_iflag = ICRNL | IXON | ISTRIP;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    cooked.c_cflag = CS7 | PARENB | CRTSCTS | HUPCL;
    cfsetspeed(&cooked, B4800);
    using uartce::platform::LineSettings;
    struct Case {
        LineSettings settings;
        tcflag_t size;
        tcflag_t parity; // PARENB, PARODD and CMSPAR as set
        bool twoStops;
        speed_t speed;      // a rate without a constant keeps the speed it found
        tcflag_t cflow = 0; // CRTSCTS
        tcflag_t iflow = 0; // IXON and IXOFF
    };
    const Case cases[] = {
        {.settings = {9600, 8, 0, 0}, .size = CS8, .parity = 0, .twoStops = false, .speed = B9600},
        {.settings = {9600, 8, 0, 1}, .size = CS8, .parity = 0, .twoStops = false, .speed = B9600},
        {.settings = {115200, 7, 2, 2},
         .size = CS7,
         .parity = PARENB,
         .twoStops = true,
         .speed = B115200},
        {.settings = {1200, 5, 1, 1},
         .size = CS5,
         .parity = PARENB | PARODD,
         .twoStops = false,
         .speed = B1200},
        {.settings = {38400, 6, 0, 2}, .size = CS6, .parity = 0, .twoStops = true, .speed = B38400},
        {.settings = {50, 8, 3, 1},
         .size = CS8,
         .parity = PARENB | CMSPAR | PARODD,
         .twoStops = false,
         .speed = B50},
        {.settings = {4000000, 8, 4, 1},
         .size = CS8,
         .parity = PARENB | CMSPAR,
         .twoStops = false,
         .speed = B4000000},
        {.settings = {230400, 8, 0, 1, 1},
         .size = CS8,
         .parity = 0,
         .twoStops = false,
         .speed = B230400,
         .cflow = CRTSCTS},
        {.settings = {9600, 8, 2, 1, 2},
         .size = CS8,
         .parity = PARENB,
         .twoStops = false,
         .speed = B9600,
         .iflow = IXON | IXOFF},
        {.settings = {14400, 8, 0, 1}, .size = CS8, .parity = 0, .twoStops = false, .speed = B4800},
        {.settings = {250000, 7, 3, 2, 1},
         .size = CS7,
         .parity = PARENB | CMSPAR | PARODD,
         .twoStops = true,
         .speed = B4800,
         .cflow = CRTSCTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(uartce::platform::describeSettings(c.settings));
        termios raw{};
        ASSERT_TRUE(uartce::platform::makeRawTermios(cooked, c.settings, raw));
        EXPECT_EQ(raw.c_cflag & CSIZE, c.size);
        EXPECT_EQ(raw.c_cflag & (PARENB | PARODD | CMSPAR), c.parity);
        EXPECT_EQ((raw.c_cflag & CSTOPB) != 0, c.twoStops);
        EXPECT_EQ(cfgetispeed(&raw), c.speed);
        EXPECT_EQ(cfgetospeed(&raw), c.speed);
        EXPECT_EQ(raw.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
        EXPECT_EQ(raw.c_cflag & (CRTSCTS | HUPCL), c.cflow);
        EXPECT_EQ(raw.c_iflag & (IXON | IXOFF | IXANY), c.iflow);
        if (c.iflow != 0) {
            EXPECT_EQ(raw.c_cc[VSTART], 0x11);
            EXPECT_EQ(raw.c_cc[VSTOP], 0x13);
        }
        EXPECT_EQ(raw.c_iflag & (ICRNL | ISTRIP | INLCR | IGNCR), 0u);
        EXPECT_EQ((raw.c_iflag & INPCK) != 0, c.parity != 0);
        EXPECT_EQ(raw.c_oflag & OPOST, 0u);
        EXPECT_EQ(raw.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(raw.c_cc[VMIN], 1);
        EXPECT_EQ(raw.c_cc[VTIME], 0);
    }
}

TEST(LineSettings, RefusesSettingsOutOfRange) {
    const uartce::platform::LineSettings bad[] = {
        {49, 8, 0, 1},   {0, 8, 0, 1},    {4000001, 8, 0, 1}, {9600, 4, 0, 1},   {9600, 9, 0, 1},
        {9600, 8, 5, 1}, {9600, 8, 0, 3}, {9600, 8, 0, -1},   {9600, 8, 0, 1, 3}};
    for (const auto& s : bad) {
        termios out{};
        EXPECT_FALSE(uartce::platform::makeRawTermios(termios{}, s, out))
            << s.baud << " " << int(s.dataBits) << " " << int(s.parity) << " " << int(s.stopBits)
            << " " << int(s.flow);
    }
}

// Every standard rate has its constant, and the constant gives its rate back.
TEST(LineSettings, StandardRatesAndTheirConstants) {
    for (const std::uint32_t rate : portula::kStandardRates) {
        speed_t speed{};
        ASSERT_TRUE(uartce::platform::baudConstant(rate, speed)) << rate;
        EXPECT_EQ(uartce::platform::constantRate(speed), rate);
    }
    speed_t speed{};
    EXPECT_FALSE(uartce::platform::baudConstant(14400, speed));
    EXPECT_EQ(uartce::platform::constantRate(B0), 0u);
}

} // namespace

// What a driver kept instead of what was asked, read back from the termios it reports and, for
// an arbitrary rate, the rate it reports (c_ospeed).
TEST(LineSettings, NamesTheSettingADriverKept) {
    using uartce::platform::LineSettings;
    struct Case {
        LineSettings asked;
        void (*driver)(termios&); // what the driver did to the termios it was given
        const char* unmet;
        std::uint32_t reported = 0; // the driver's c_ospeed
    };
    const auto same = [](termios&) {};
    // BOTHER, the mark of an arbitrary rate, is CBAUDEX without rate bits.
    const auto arbitrary = [](termios& t) { t.c_cflag = (t.c_cflag & ~CBAUD) | CBAUDEX; };
    const Case cases[] = {
        {.asked = {9600, 8, 0, 1}, .driver = same, .unmet = ""},
        {.asked = {115200, 7, 2, 2}, .driver = same, .unmet = ""},
        {.asked = {9600, 5, 1, 1}, .driver = same, .unmet = ""},
        {.asked = {9600, 8, 3, 1, 1}, .driver = same, .unmet = ""},
        {.asked = {9600, 8, 4, 2, 2}, .driver = same, .unmet = ""},
        // An FTDI chip has 7 and 8 data bits only; its driver keeps the size it had.
        {.asked = {9600, 6, 0, 1},
         .driver = [](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS8; },
         .unmet = "6 data bits (it keeps 8)"},
        {.asked = {9600, 6, 0, 1},
         .driver = [](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS5; },
         .unmet = "6 data bits (it keeps 5)"},
        {.asked = {19200, 8, 0, 1},
         .driver = [](termios& t) { cfsetspeed(&t, B9600); },
         .unmet = "19200 baud (it keeps 9600)"},
        {.asked = {230400, 8, 0, 1},
         .driver = [](termios& t) { cfsetspeed(&t, B115200); },
         .unmet = "230400 baud (it keeps 115200)"},
        {.asked = {19200, 8, 0, 1}, .driver = [](termios& t) { cfsetispeed(&t, B0); }, .unmet = ""},
        // Arbitrary rates: the driver's own figure, within the tolerance of a link.
        {.asked = {14400, 8, 0, 1}, .driver = arbitrary, .unmet = "", .reported = 14400},
        {.asked = {250000, 8, 0, 1}, .driver = arbitrary, .unmet = "", .reported = 254901},
        {.asked = {250000, 8, 0, 1},
         .driver = arbitrary,
         .unmet = "250000 baud (it keeps 256000)",
         .reported = 256000},
        {.asked = {14400, 8, 0, 1},
         .driver = arbitrary,
         .unmet = "14400 baud (it keeps another rate)",
         .reported = 0},
        // A driver that put a standard constant for an arbitrary rate close to it.
        {.asked = {115000, 8, 0, 1},
         .driver = [](termios& t) { cfsetspeed(&t, B115200); },
         .unmet = ""},
        {.asked = {9600, 8, 1, 1},
         .driver = [](termios& t) { t.c_cflag &= ~PARODD; },
         .unmet = "odd parity (it keeps even parity)"},
        {.asked = {9600, 8, 2, 1},
         .driver = [](termios& t) { t.c_cflag &= ~(PARENB | PARODD); },
         .unmet = "even parity (it keeps no parity)"},
        {.asked = {9600, 8, 2, 1},
         .driver = [](termios& t) { t.c_cflag |= CMSPAR; },
         .unmet = "even parity (it keeps space parity)"},
        // A pseudo-terminal drops PARENB and leaves CMSPAR: no parity is what it does.
        {.asked = {9600, 8, 3, 1},
         .driver = [](termios& t) { t.c_cflag &= ~PARENB; },
         .unmet = "mark parity (it keeps no parity)"},
        {.asked = {9600, 8, 4, 1},
         .driver = [](termios& t) { t.c_cflag &= ~CMSPAR; },
         .unmet = "space parity (it keeps even parity)"},
        {.asked = {9600, 8, 0, 2},
         .driver = [](termios& t) { t.c_cflag &= ~CSTOPB; },
         .unmet = "2 stop bits (it keeps 1)"},
        {.asked = {9600, 8, 0, 1},
         .driver = [](termios& t) { t.c_cflag |= CSTOPB; },
         .unmet = "1 stop bit (it keeps 2)"},
        {.asked = {9600, 8, 0, 1, 1},
         .driver = [](termios& t) { t.c_cflag &= ~CRTSCTS; },
         .unmet = "RTS/CTS flow control (it keeps none)"},
        {.asked = {9600, 8, 0, 1, 2},
         .driver = [](termios& t) { t.c_iflag &= ~IXOFF; },
         .unmet = "XON/XOFF flow control (it keeps a mix)"},
        {.asked = {9600, 8, 0, 1, 0},
         .driver = [](termios& t) { t.c_cflag |= CRTSCTS; },
         .unmet = "no flow control (it keeps RTS/CTS)"},
    };
    for (const Case& c : cases) {
        termios asked{};
        ASSERT_TRUE(uartce::platform::makeRawTermios(termios{}, c.asked, asked));
        termios got = asked;
        c.driver(got);
        EXPECT_EQ(uartce::platform::unmetSetting(c.asked, got, c.reported), c.unmet)
            << uartce::platform::describeSettings(c.asked);
    }
}

// Drivers that report a setting as taken while the hardware does another.
TEST(LineSettings, SettingsADriverIsKnownToFake) {
    using uartce::platform::settingTheDriverFakes;
    struct Row {
        const char* driver;
        std::uint8_t dataBits;
        const char* faked;
    };
    const Row rows[] = {
        {.driver = "ftdi_sio", .dataBits = 5, .faked = "5 data bits (FTDI chips have 7 and 8)"},
        {.driver = "ftdi_sio", .dataBits = 6, .faked = "6 data bits (FTDI chips have 7 and 8)"},
        {.driver = "ftdi_sio", .dataBits = 7, .faked = ""},
        {.driver = "ftdi_sio", .dataBits = 8, .faked = ""},
        {.driver = "serial8250", .dataBits = 5, .faked = ""},
        {.driver = "", .dataBits = 5, .faked = ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(settingTheDriverFakes(r.driver, {9600, r.dataBits, 0, 1}), r.faked)
            << r.driver << " " << int(r.dataBits);
}

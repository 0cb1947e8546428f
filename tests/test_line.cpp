// The serial library's pure parts: deadlines and the line settings mapping.

#include "Deadline.h"
#include "posix/LineSettings.h"

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
    struct Case {
        uartce::platform::LineSettings settings;
        tcflag_t size;
        tcflag_t parity;
        bool twoStops;
        speed_t speed;
    };
    const Case cases[] = {
        {{9600, 8, 0, 0}, CS8, 0, false, B9600},
        {{9600, 8, 0, 1}, CS8, 0, false, B9600},
        {{115200, 7, 2, 2}, CS7, PARENB, true, B115200},
        {{1200, 5, 1, 1}, CS5, PARENB | PARODD, false, B1200},
        {{38400, 6, 0, 2}, CS6, 0, true, B38400},
    };
    for (const Case& c : cases) {
        termios raw{};
        ASSERT_TRUE(uartce::platform::makeRawTermios(cooked, c.settings, raw));
        EXPECT_EQ(raw.c_cflag & CSIZE, c.size);
        EXPECT_EQ(raw.c_cflag & (PARENB | PARODD), c.parity);
        EXPECT_EQ((raw.c_cflag & CSTOPB) != 0, c.twoStops);
        EXPECT_EQ(cfgetispeed(&raw), c.speed);
        EXPECT_EQ(cfgetospeed(&raw), c.speed);
        EXPECT_EQ(raw.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
        EXPECT_EQ(raw.c_cflag & (CRTSCTS | HUPCL), 0u);
        EXPECT_EQ(raw.c_iflag & (ICRNL | IXON | ISTRIP | INLCR | IGNCR), 0u);
        EXPECT_EQ((raw.c_iflag & INPCK) != 0, c.parity != 0);
        EXPECT_EQ(raw.c_oflag & OPOST, 0u);
        EXPECT_EQ(raw.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(raw.c_cc[VMIN], 1);
        EXPECT_EQ(raw.c_cc[VTIME], 0);
    }
}

TEST(LineSettings, RefusesSettingsOutOfRange) {
    const uartce::platform::LineSettings bad[] = {
        {9601, 8, 0, 1}, {0, 8, 0, 1},    {230400, 8, 0, 1}, {9600, 4, 0, 1},
        {9600, 9, 0, 1}, {9600, 8, 3, 1}, {9600, 8, 0, 3},   {9600, 8, 0, -1}};
    for (const auto& s : bad) {
        termios out{};
        EXPECT_FALSE(uartce::platform::makeRawTermios(termios{}, s, out))
            << s.baud << " " << int(s.dataBits) << " " << int(s.parity) << " " << int(s.stopBits);
    }
}

} // namespace

// What a driver kept instead of what was asked, read back from the termios it reports.
TEST(LineSettings, NamesTheSettingADriverKept) {
    using uartce::platform::LineSettings;
    struct Case {
        LineSettings asked;
        void (*driver)(termios&); // what the driver did to the termios it was given
        const char* unmet;
    };
    const Case cases[] = {
        {{9600, 8, 0, 1}, [](termios&) {}, ""},
        {{115200, 7, 2, 2}, [](termios&) {}, ""},
        {{9600, 5, 1, 1}, [](termios&) {}, ""},
        // An FTDI chip has 7 and 8 data bits only; its driver keeps the size it had.
        {{9600, 6, 0, 1},
         [](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS8; },
         "6 data bits (it keeps 8)"},
        {{9600, 6, 0, 1},
         [](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS5; },
         "6 data bits (it keeps 5)"},
        {{19200, 8, 0, 1},
         [](termios& t) { cfsetspeed(&t, B9600); },
         "19200 baud (it keeps 9600 baud)"},
        {{19200, 8, 0, 1}, [](termios& t) { cfsetispeed(&t, B0); }, ""}, // input as output
        {{9600, 8, 1, 1},
         [](termios& t) { t.c_cflag &= ~PARODD; },
         "odd parity (it keeps even parity)"},
        {{9600, 8, 2, 1},
         [](termios& t) { t.c_cflag &= ~(PARENB | PARODD); },
         "even parity (it keeps no parity)"},
        {{9600, 8, 2, 1},
         [](termios& t) { t.c_cflag |= CMSPAR; },
         "even parity (it keeps mark or space parity)"},
        {{9600, 8, 0, 2}, [](termios& t) { t.c_cflag &= ~CSTOPB; }, "2 stop bits (it keeps 1)"},
        {{9600, 8, 0, 1}, [](termios& t) { t.c_cflag |= CSTOPB; }, "1 stop bit (it keeps 2)"},
    };
    for (const Case& c : cases) {
        termios asked{};
        ASSERT_TRUE(uartce::platform::makeRawTermios(termios{}, c.asked, asked));
        termios got = asked;
        c.driver(got);
        EXPECT_EQ(uartce::platform::unmetSetting(c.asked, got), c.unmet)
            << c.asked.baud << " " << int(c.asked.dataBits) << " " << int(c.asked.parity) << " "
            << int(c.asked.stopBits);
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
        {"ftdi_sio", 5, "5 data bits (FTDI chips have 7 and 8)"},
        {"ftdi_sio", 6, "6 data bits (FTDI chips have 7 and 8)"},
        {"ftdi_sio", 7, ""},
        {"ftdi_sio", 8, ""},
        {"serial8250", 5, ""},
        {"", 5, ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(settingTheDriverFakes(r.driver, {9600, r.dataBits, 0, 1}), r.faked)
            << r.driver << " " << int(r.dataBits);
}

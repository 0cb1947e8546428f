// A driver that keeps a setting it cannot do, as FTDI adapters do with 6 data bits: on a
// pseudo-terminal, whose settings this test changes behind the library's back by standing in
// for tcgetattr (the library's call resolves to the program's definition first).

#include "support/PseudoTerminal.h"
#include "support/TempTree.h"

#include <uartce.h>

#include <cstdlib>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string>
#include <termios.h>

namespace {

// What the stand-in driver does to the settings it reports; null reports them as they are.
void (*g_driver)(termios&) = nullptr;

} // namespace

extern "C" int tcgetattr(int fd, struct termios* t) {
    using Fn = int (*)(int, struct termios*);
    static const Fn real = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, "tcgetattr"));
    const int rc = real(fd, t);
    if (rc == 0 && g_driver)
        g_driver(*t);
    return rc;
}

namespace {

constexpr std::uint8_t kPort = 9;

// Pseudo-terminals take 8 data bits without parity on every kernel, and keep the baud rate and
// stop bits they are given: the cases ask for those, and the stand-in keeps something else.
TEST(KeptSettings, AnOpenWhoseSettingTheDriverKeptIsRefusedWithTheSetting) {
    testsupport::TempTree tree;
    ::setenv("UARTCE_SYSCONF_DIR", tree.mkdir("etc").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", tree.mkdir("home").c_str(), 1);
    testsupport::PseudoTerminal pty;
    ::setenv("UARTCE_COM9", pty.path().c_str(), 1);
    struct Case {
        void (*driver)(termios&);
        std::uint32_t baud;
        std::int8_t stopBits;
        std::uint16_t status;
        const char* reason;
    };
    const Case cases[] = {
        {[](termios& t) { t.c_cflag = (t.c_cflag & ~CSIZE) | CS7; }, 9600, 1,
         UARTCE_ERR_BAD_SETTINGS, "does not support 8 data bits (it keeps 7)"},
        {[](termios& t) { cfsetspeed(&t, B9600); }, 19200, 1, UARTCE_ERR_BAD_SETTINGS,
         "does not support 19200 baud (it keeps 9600)"},
        {[](termios& t) { t.c_cflag &= ~CSTOPB; }, 9600, 2, UARTCE_ERR_BAD_SETTINGS,
         "does not support 2 stop bits (it keeps 1)"},
        {[](termios& t) { t.c_cflag |= PARENB; }, 9600, 1, UARTCE_ERR_BAD_SETTINGS,
         "does not support no parity (it keeps even parity)"},
        {nullptr, 19200, 2, UARTCE_OK, ""}, // a driver that takes what it is given
    };
    for (const Case& c : cases) {
        g_driver = c.driver;
        const std::uint16_t status = Open_Com(kPort, c.baud, 8, 0, c.stopBits);
        g_driver = nullptr;
        char error[512] = {};
        UARTCE_LastError(kPort, error, sizeof error);
        EXPECT_EQ(status, c.status) << c.reason;
        EXPECT_NE(std::string(error).find(c.reason), std::string::npos) << error;
        if (status == UARTCE_OK) {
            EXPECT_EQ(std::string(error), "");
            EXPECT_EQ(Close_Com(kPort), UARTCE_OK);
        } else {
            // The refusal names the device, and the port is not left open.
            EXPECT_NE(std::string(error).find(pty.path()), std::string::npos) << error;
            EXPECT_EQ(Close_Com(kPort), UARTCE_ERR_NOT_OPEN);
        }
    }
    ::unsetenv("UARTCE_COM9");
}

} // namespace

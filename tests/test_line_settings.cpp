// Line settings on a pseudo-terminal, read back from the test's own descriptor of it through
// termios2 (this file includes no <termios.h>): a pseudo-terminal keeps any rate exactly as it
// is given, and flow control, and drops parity.

#include "support/PseudoTerminal.h"
#include "support/TempTree.h"

#include <uartce.h>

#include <asm/termbits.h>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr std::uint8_t kPort = 6;

// What the line holds now, as the kernel has it.
struct Seen {
    std::uint32_t rate = 0;
    bool arbitrary = false; // BOTHER: a rate without a constant
    bool rtsCts = false;
    bool xonXoff = false;
};

Seen seen(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios2 t{};
    const bool read = fd >= 0 && ::ioctl(fd, TCGETS2, &t) == 0;
    if (fd >= 0)
        ::close(fd);
    EXPECT_TRUE(read) << path;
    return {t.c_ospeed, (t.c_cflag & CBAUD) == BOTHER, (t.c_cflag & CRTSCTS) != 0,
            (t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF)};
}

uartce_line line(std::uint32_t baud, std::uint8_t parity = 0, std::uint8_t flow = 0) {
    uartce_line l{};
    l.size = sizeof l;
    l.baud = baud;
    l.dataBits = 8;
    l.parity = parity;
    l.stopBits = 1;
    l.flow = flow;
    return l;
}

std::string lastError(std::uint8_t port) {
    char text[512] = {};
    UARTCE_LastError(port, text, sizeof text);
    return text;
}

class LineSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("UARTCE_SYSCONF_DIR", tree.mkdir("etc").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", tree.mkdir("home").c_str(), 1);
        ::setenv("UARTCE_COM6", pty.path().c_str(), 1);
    }
    void TearDown() override {
        Close_Com(kPort);
        ::unsetenv("UARTCE_COM6");
    }
    testsupport::TempTree tree;
    testsupport::PseudoTerminal pty;
};

TEST_F(LineSettingsTest, AnyRateFrom50To4000000IsSetAndReadBack) {
    struct Row {
        std::uint32_t baud;
        bool arbitrary;
    };
    const Row rows[] = {
        {.baud = 50, .arbitrary = false},     {.baud = 9600, .arbitrary = false},
        {.baud = 14400, .arbitrary = true},   {.baud = 76800, .arbitrary = true},
        {.baud = 250000, .arbitrary = true},  {.baud = 3000000, .arbitrary = false},
        {.baud = 1234567, .arbitrary = true}, {.baud = 4000000, .arbitrary = false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.baud);
        ASSERT_EQ(Open_Com(kPort, r.baud, 8, 0, 1), UARTCE_OK) << lastError(kPort);
        Seen s = seen(pty.path());
        EXPECT_EQ(s.rate, r.baud);
        EXPECT_EQ(s.arbitrary, r.arbitrary);
        EXPECT_EQ(Close_Com(kPort), UARTCE_OK);

        // By its name, with a line of settings.
        const uartce_line l = line(r.baud);
        std::uint8_t port = 0;
        ASSERT_EQ(UARTCE_OpenLine(pty.path().c_str(), &l, &port), UARTCE_OK) << lastError(port);
        s = seen(pty.path());
        EXPECT_EQ(s.rate, r.baud);
        EXPECT_EQ(s.arbitrary, r.arbitrary);
        EXPECT_EQ(Close_Com(port), UARTCE_OK);
    }
    for (const std::uint32_t out : {0u, 49u, 4000001u}) {
        EXPECT_EQ(Open_Com(kPort, out, 8, 0, 1), UARTCE_ERR_BAD_SETTINGS) << out;
        EXPECT_NE(lastError(kPort).find("baud " + std::to_string(out)), std::string::npos)
            << lastError(kPort);
    }
}

TEST_F(LineSettingsTest, FlowControlIsSetAndReadBack) {
    struct Row {
        std::uint8_t flow;
        bool rtsCts, xonXoff;
    };
    for (const Row& r : {Row{.flow = UARTCE_FLOW_RTS_CTS, .rtsCts = true, .xonXoff = false},
                         Row{.flow = UARTCE_FLOW_XON_XOFF, .rtsCts = false, .xonXoff = true},
                         Row{.flow = UARTCE_FLOW_NONE, .rtsCts = false, .xonXoff = false}}) {
        const uartce_line l = line(19200, 0, r.flow);
        std::uint8_t port = kPort;
        ASSERT_EQ(UARTCE_OpenLine(nullptr, &l, &port), UARTCE_OK) << lastError(kPort);
        EXPECT_EQ(port, kPort) << "without a device, the port asked";
        const Seen s = seen(pty.path());
        EXPECT_EQ(s.rtsCts, r.rtsCts) << int(r.flow);
        EXPECT_EQ(s.xonXoff, r.xonXoff) << int(r.flow);
        EXPECT_EQ(Close_Com(kPort), UARTCE_OK);
    }
}

// A pseudo-terminal clears PARENB whatever it is asked: mark and space parity are refused with
// the setting it kept, and the port is not left open.
TEST_F(LineSettingsTest, ParityTheDeviceDropsIsRefusedWithTheSetting) {
    for (const auto& [parity, words] : {std::pair{3, "mark parity (it keeps no parity)"},
                                        std::pair{4, "space parity (it keeps no parity)"},
                                        std::pair{2, "even parity (it keeps no parity)"}}) {
        EXPECT_EQ(Open_Com(kPort, 9600, 8, static_cast<std::uint8_t>(parity), 1),
                  UARTCE_ERR_BAD_SETTINGS);
        EXPECT_NE(lastError(kPort).find(words), std::string::npos) << lastError(kPort);
        EXPECT_EQ(Close_Com(kPort), UARTCE_ERR_NOT_OPEN);
    }
}

TEST_F(LineSettingsTest, SetLineChangesAnOpenPortInPlace) {
    const uartce_line slow = line(14400);
    EXPECT_EQ(UARTCE_SetLine(kPort, &slow), UARTCE_ERR_NOT_OPEN);
    ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK) << lastError(kPort);
    pty.write("abc");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (DataSizeInCom(kPort) < 3 && std::chrono::steady_clock::now() < deadline)
        ::usleep(1000);
    ASSERT_EQ(DataSizeInCom(kPort), 3u);

    ASSERT_EQ(UARTCE_SetLine(kPort, &slow), UARTCE_OK) << lastError(kPort);
    Seen s = seen(pty.path());
    EXPECT_EQ(s.rate, 14400u);
    EXPECT_TRUE(s.arbitrary);
    EXPECT_EQ(DataSizeInCom(kPort), 3u) << "the port stayed open: what waited is still there";

    // Refused: the line stays at its arbitrary rate, not at a rate the refusal left behind.
    const uartce_line mark = line(250000, 3);
    EXPECT_EQ(UARTCE_SetLine(kPort, &mark), UARTCE_ERR_BAD_SETTINGS);
    EXPECT_NE(lastError(kPort).find("mark parity (it keeps no parity)"), std::string::npos)
        << lastError(kPort);
    EXPECT_NE(lastError(kPort).find(pty.path()), std::string::npos) << lastError(kPort);
    s = seen(pty.path());
    EXPECT_EQ(s.rate, 14400u);
    EXPECT_TRUE(s.arbitrary);

    const uartce_line fast = line(230400, 0, UARTCE_FLOW_RTS_CTS);
    ASSERT_EQ(UARTCE_SetLine(kPort, &fast), UARTCE_OK) << lastError(kPort);
    EXPECT_EQ(lastError(kPort), "");
    s = seen(pty.path());
    EXPECT_EQ(s.rate, 230400u);
    EXPECT_FALSE(s.arbitrary);
    EXPECT_TRUE(s.rtsCts);
    // A standard rate is put back as it was, too.
    EXPECT_EQ(UARTCE_SetLine(kPort, &mark), UARTCE_ERR_BAD_SETTINGS);
    s = seen(pty.path());
    EXPECT_EQ(s.rate, 230400u);
    EXPECT_TRUE(s.rtsCts);

    char bytes[UARTCE_RECEIVE_BUFFER_SIZE];
    EXPECT_EQ(Receive_Cmd(kPort, bytes, 0, 0, nullptr), UARTCE_OK);
    EXPECT_STREQ(bytes, "abc");

    uartce_line bad = line(49);
    EXPECT_EQ(UARTCE_SetLine(kPort, &bad), UARTCE_ERR_BAD_SETTINGS);
    EXPECT_NE(lastError(kPort).find("baud 49"), std::string::npos) << lastError(kPort);
    bad = line(9600);
    bad.size = 11;
    EXPECT_EQ(UARTCE_SetLine(kPort, &bad), UARTCE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(UARTCE_SetLine(kPort, nullptr), UARTCE_ERR_BAD_ARGUMENT);
    EXPECT_EQ(seen(pty.path()).rate, 230400u);
}

// Settings on the port's map line replace the caller's when the port opens by its number;
// those the line does not name stay the caller's.
TEST_F(LineSettingsTest, AMapLinesSettingsOutrankTheCallers) {
    ::unsetenv("UARTCE_COM6");
    tree.write("home/portula/ports.conf", "COM6 = " + pty.path() + " baud=250000 flow=rts-cts\n");
    ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK) << lastError(kPort);
    Seen s = seen(pty.path());
    EXPECT_EQ(s.rate, 250000u);
    EXPECT_TRUE(s.rtsCts);
    EXPECT_EQ(Close_Com(kPort), UARTCE_OK);

    const uartce_line l = line(9600, 0, UARTCE_FLOW_XON_XOFF);
    std::uint8_t port = kPort;
    ASSERT_EQ(UARTCE_OpenLine("", &l, &port), UARTCE_OK) << lastError(kPort);
    s = seen(pty.path());
    EXPECT_EQ(s.rate, 250000u);
    EXPECT_TRUE(s.rtsCts);
    EXPECT_FALSE(s.xonXoff);
    // SetLine sets what it is given.
    ASSERT_EQ(UARTCE_SetLine(kPort, &l), UARTCE_OK) << lastError(kPort);
    EXPECT_EQ(seen(pty.path()).rate, 9600u);
    EXPECT_EQ(Close_Com(kPort), UARTCE_OK);

    tree.write("home/portula/ports.conf", "COM6 = " + pty.path() + " baud=9600\n");
    ASSERT_EQ(Open_Com(kPort, 57600, 8, 0, 1), UARTCE_OK) << lastError(kPort);
    EXPECT_EQ(seen(pty.path()).rate, 9600u);
}

// A map line's RS-485 mode is set as the port opens; a device without one refuses the open,
// naming the map line, and is left free: the port opens again once the line asks no mode.
TEST_F(LineSettingsTest, AMapLinesRs485ModeIsSetAtOpenOrRefusesIt) {
    ::unsetenv("UARTCE_COM6");
    for (const char* words : {" rs485", " rs485=rts-on-send=low,delay-after=5"}) {
        tree.write("home/portula/ports.conf", "COM6 = " + pty.path() + words + "\n");
        EXPECT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_ERR_BAD_SETTINGS) << words;
        EXPECT_EQ(lastError(kPort), "cannot open COM6 (" + pty.path() +
                                        "): its map line's RS-485 mode cannot be set: a "
                                        "pseudo-terminal has no RS-485 mode")
            << words;
        EXPECT_EQ(Close_Com(kPort), UARTCE_ERR_NOT_OPEN) << words << ": left open";
    }
    tree.write("home/portula/ports.conf", "COM6 = " + pty.path() + " baud=19200\n");
    ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 1), UARTCE_OK) << lastError(kPort);
    EXPECT_EQ(seen(pty.path()).rate, 19200u);
}

} // namespace

// The kernel RS-485 mode on a pseudo-terminal, which has none: the library and portula-cmd
// refuse it with the reason, and the port goes on as it was.

#include "rules/Rs485.h"
#include "support/Program.h"
#include "support/PseudoTerminal.h"
#include "support/RuntimeDir.h"
#include "support/TempTree.h"

#include <uartce.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::PrivateRuntimeDir;
using testsupport::PseudoTerminal;
using testsupport::TempTree;

struct Said {
    std::uint8_t port = 0;
    std::uint16_t status = 0;
    std::string text;
};

void keep(void* context, std::uint8_t port, std::uint16_t status, const char* text) {
    static_cast<std::vector<Said>*>(context)->push_back({port, status, text});
}

std::string changesOf(std::uint8_t port) {
    char text[512];
    UARTCE_Rs485Changes(port, text, sizeof text);
    return text;
}

// The files the library keeps for devices, by name.
std::vector<std::string> recordsIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    return names;
}

class Rs485OnAPty : public testing::Test {
  protected:
    void SetUp() override { UARTCE_SetMessageHandler(keep, &m_said); }
    void TearDown() override {
        UARTCE_SetMessageHandler(nullptr, nullptr);
        ::unsetenv("UARTCE_SYS_ROOT");
        if (m_port)
            Close_Com(m_port);
    }
    std::uint8_t open(const PseudoTerminal& pty) {
        EXPECT_EQ(UARTCE_OpenDevice(pty.path().c_str(), 9600, 8, 0, 1, &m_port), UARTCE_OK);
        return m_port;
    }

    PrivateRuntimeDir m_runtime;
    std::vector<Said> m_said;
    std::uint8_t m_port = 0;
};

TEST_F(Rs485OnAPty, IsRefusedWithItsReasonAndTheLineGoesOnAsItWas) {
    PseudoTerminal pty;
    const std::uint8_t port = open(pty);
    const uartce_rs485 asked = portula::defaultRs485();
    uartce_rs485 kept{};
    kept.size = sizeof kept;
    kept.delayAfterMs = 77;
    ASSERT_EQ(UARTCE_SetRs485(port, &asked, &kept), UARTCE_ERR_BAD_SETTINGS);
    EXPECT_EQ(kept.delayAfterMs, 77u) << "a refusal keeps nothing";
    EXPECT_EQ(changesOf(port), "a pseudo-terminal has no RS-485 mode");
    ASSERT_EQ(m_said.size(), 1u);
    EXPECT_EQ(m_said[0].port, port);
    EXPECT_EQ(m_said[0].status, UARTCE_ERR_BAD_SETTINGS);
    EXPECT_EQ(m_said[0].text, "cannot set the RS-485 mode of " + pty.path() +
                                  ": a pseudo-terminal has no RS-485 mode");
    // Nothing is left to give back to the next open.
    for (const std::string& name :
         recordsIn(std::string(std::getenv("XDG_RUNTIME_DIR")) + "/portula"))
        EXPECT_NE(name.rfind("rs485-", 0), 0u) << name;

    char reply[UARTCE_REPLY_BUFFER_SIZE];
    pty.write("!01OK\r");
    EXPECT_EQ(UARTCE_Receive(port, reply, sizeof reply, 1000, '\r', nullptr), UARTCE_OK);
    EXPECT_STREQ(reply, "!01OK");
    ASSERT_EQ(Close_Com(port), UARTCE_OK);
    m_port = 0;
    EXPECT_EQ(changesOf(port), "") << "a port not open has said nothing";
}

TEST_F(Rs485OnAPty, CallsThatCannotSetIt) {
    const uartce_rs485 asked = portula::defaultRs485();
    EXPECT_EQ(UARTCE_SetRs485(9, &asked, nullptr), UARTCE_ERR_NOT_OPEN);
    EXPECT_EQ(UARTCE_SetRs485(0, &asked, nullptr), UARTCE_ERR_NOT_OPEN);
    PseudoTerminal pty;
    const std::uint8_t port = open(pty);
    EXPECT_EQ(UARTCE_SetRs485(port, nullptr, nullptr), UARTCE_ERR_BAD_ARGUMENT);
    uartce_rs485 tooSmall = asked;
    tooSmall.size = 2;
    EXPECT_EQ(UARTCE_SetRs485(port, &tooSmall, nullptr), UARTCE_ERR_BAD_ARGUMENT);
    EXPECT_TRUE(m_said.empty());
}

// What sysfs says of the device behind the pty decides the words: a fake /sys puts the pty
// behind a USB interface or a UART driver, as a real adapter or UART is.
TEST_F(Rs485OnAPty, TheReasonComesFromWhatSysfsSaysOfTheDevice) {
    struct Case {
        const char* device; // under SYS/devices
        const char* driver;
        const char* reason;
    };
    const Case cases[] = {
        {.device = "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0",
         .driver = "ftdi_sio",
         .reason = "a USB adapter (ftdi_sio) has no kernel RS-485 mode: an RS-485 adapter "
                   "switches its transmitter by itself, so leave the RS-485 mode off"},
        {.device = "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.1",
         .driver = "cdc_acm",
         .reason = "a USB adapter (cdc_acm) has no kernel RS-485 mode: an RS-485 adapter "
                   "switches its transmitter by itself, so leave the RS-485 mode off"},
        {.device = "platform/serial8250",
         .driver = "serial8250",
         .reason = "the UART's driver (serial8250) has no RS-485 mode"},
    };
    for (const Case& c : cases) {
        TempTree sys;
        PseudoTerminal pty;
        const std::string name = pty.path().substr(pty.path().rfind('/') + 1);
        sys.mkdir(std::string("devices/") + c.device);
        sys.mkdir(std::string("bus/x/drivers/") + c.driver);
        sys.link(std::string("devices/") + c.device + "/driver",
                 sys.path(std::string("bus/x/drivers/") + c.driver));
        sys.mkdir("class/tty/" + name);
        sys.link("class/tty/" + name + "/device", sys.path(std::string("devices/") + c.device));
        ::setenv("UARTCE_SYS_ROOT", sys.root().c_str(), 1);
        const std::uint8_t port = open(pty);
        const uartce_rs485 asked = portula::defaultRs485();
        EXPECT_EQ(UARTCE_SetRs485(port, &asked, nullptr), UARTCE_ERR_BAD_SETTINGS) << c.driver;
        EXPECT_EQ(changesOf(port), c.reason);
        Close_Com(port);
        m_port = 0;
    }
}

// portula-cmd in any mode: the library's reason, the port-refused status, and not a byte on the
// line.
TEST(Rs485Tool, APortWithoutTheModeIsRefusedBeforeAnythingIsSent) {
    PrivateRuntimeDir runtime;
    PseudoTerminal pty;
    struct Case {
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {.args = {"--rs485", "$01M"}},
        {.args = {"--rs485=rts-on-send=low,delay-before=5", "$01M"}},
        {.args = {"scan", "--rs485", "--addresses", "01", "--bauds", "9600"}},
        {.args = {"soak", "--rs485", "--count", "1", "$01M"}},
        {.args = {"term", "--rs485"}},
    };
    for (const Case& c : cases) {
        std::string line = std::string(PORTULA_CMD_PATH) + " -p '" + pty.path() + "'";
        for (const std::string& a : c.args)
            line += " '" + a + "'";
        line += " 2>&1 </dev/null";
        const testsupport::Ran ran = testsupport::runShell(line);
        const std::string& said = ran.out;
        EXPECT_EQ(ran.exit, 6) << line;
        EXPECT_EQ(said, "portula-cmd: cannot set the RS-485 mode of " + pty.path() +
                            ": a pseudo-terminal has no RS-485 mode\n")
            << line;
        EXPECT_EQ(pty.drain(50ms), "") << line;
    }
}

} // namespace

// The kernel RS-485 mode where the driver has none: the 16550 (8250 driver) and the FTDI adapter
// are refused with what they are, by the library and by portula-cmd, and the line goes on as
// it was. (The mode itself is proven on the arm64 rig's PL011.)

#include "GuestRig.h"

#include <gtest/gtest.h>
#include <uartce.h>

namespace {

using namespace std::chrono_literals;

struct NoMode {
    const char* name;
    unsigned com;
    const char* node;   // its name under /sys/class/tty
    const char* reason; // for the adapter; the UART's names its driver
};

std::string nameOf(const testing::TestParamInfo<NoMode>& info) {
    return info.param.name;
}

class NoRs485Mode : public testing::TestWithParam<NoMode> {};

TEST_P(NoRs485Mode, IsRefusedWithWhatTheDeviceIs) {
    const NoMode& m = GetParam();
    const auto port = static_cast<std::uint8_t>(m.com);
    ASSERT_EQ(Open_Com(port, 9600, 8, 0, 1), UARTCE_OK);
    uartce_rs485 asked{};
    asked.size = sizeof asked;
    asked.enabled = 1;
    asked.rtsOnSend = 1;
    EXPECT_EQ(UARTCE_SetRs485(port, &asked, nullptr), UARTCE_ERR_BAD_SETTINGS);
    char text[512];
    UARTCE_Rs485Changes(port, text, sizeof text);
    // The UART is named by the driver sysfs gives it.
    const std::string driver =
        rig::linkTarget(std::string("/sys/class/tty/") + m.node + "/device/driver");
    const std::string reason =
        m.com == 2
            ? "the UART's driver (" + driver.substr(driver.rfind('/') + 1) + ") has no RS-485 mode"
            : m.reason;
    EXPECT_FALSE(driver.empty());
    EXPECT_EQ(std::string(text), reason);
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    EXPECT_EQ(Send_Receive_Cmd(port, "$01M", reply, 1000, 0, nullptr), UARTCE_OK);
    EXPECT_STREQ(reply, "!01PORTULA-SIM");
    ASSERT_EQ(Close_Com(port), UARTCE_OK);

    const rig::Finished cmd =
        rig::runToEnd({PORTULA_CMD_PATH, "-p", "COM" + std::to_string(m.com), "--rs485", "$01M"});
    EXPECT_EQ(cmd.status, 6) << cmd.err;
    EXPECT_EQ(cmd.out, "");
    EXPECT_NE(cmd.err.find(std::string("RS-485 mode of /dev/")), std::string::npos) << cmd.err;
    EXPECT_NE(cmd.err.find(reason), std::string::npos) << cmd.err;
}

INSTANTIATE_TEST_SUITE_P(
    BothDrivers, NoRs485Mode,
    testing::Values(NoMode{"uart", 2, "ttyS1", ""},
                    NoMode{"adapter", 3, "ttyUSB0",
                           "a USB adapter (ftdi_sio) has no kernel RS-485 mode: an RS-485 adapter "
                           "switches its transmitter by itself, so leave the RS-485 mode off"}),
    nameOf);

} // namespace

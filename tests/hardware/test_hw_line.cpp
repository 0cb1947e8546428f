// Every line setting, through the real 8250 and ftdi_sio drivers to the wire: what QEMU's model
// of each device was programmed with, and whether the simulated module (9600 baud, one stop
// bit, and silent on any other line) answers.

#include "GuestRig.h"
#include "RigDevices.h"

#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <uartce.h>
#include <unistd.h>

namespace {

struct Device {
    const char* name;
    unsigned com;
    const char* wire; // what the host is asked for
};
const Device kUart{"uart", 2, "uart"};
const Device kAdapter{"adapter", 3, "adapter"};

struct Setting {
    const Device* device;
    std::uint32_t baud;
    std::uint8_t dataBits;
    std::uint8_t parity; // as Open_Com takes it (0 none, 1 odd, 2 even)
    std::int8_t stopBits;
};

std::string nameOf(const testing::TestParamInfo<Setting>& info) {
    const Setting& s = info.param;
    return std::string(s.device->name) + "_" + std::to_string(s.baud) + "_" +
           std::to_string(s.dataBits) + "NOE"[s.parity] + std::to_string(s.stopBits);
}

class LineSetting : public testing::TestWithParam<Setting> {
  protected:
    void TearDown() override { Close_Com(static_cast<std::uint8_t>(GetParam().device->com)); }
};

TEST_P(LineSetting, ReachesTheWire) {
    const Setting& s = GetParam();
    const auto port = static_cast<std::uint8_t>(s.device->com);
    ASSERT_EQ(Open_Com(port, s.baud, s.dataBits, s.parity, s.stopBits), UARTCE_OK);
    const std::string said = rig::ask(std::string("wire ") + s.device->wire);
    const auto wire = rig::parseWire(said);
    ASSERT_TRUE(wire) << said;
    // An FTDI chip divides 48 MHz: 115200 comes out as 115384. Real UARTs accept 3 %.
    EXPECT_LE(std::abs(wire->baud - static_cast<long>(s.baud)), static_cast<long>(s.baud) * 3 / 100)
        << said;
    EXPECT_EQ(wire->dataBits, s.dataBits) << said;
    EXPECT_EQ(wire->parity, "NOE"[s.parity]) << said;
    EXPECT_EQ(wire->stopBits, s.stopBits == 2 ? 2 : 1) << said;

    // The module checks its line as it stands: only its own baud rate and stop bits get an answer.
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    const bool itsLine = s.baud == 9600 && s.stopBits != 2;
    const std::uint16_t status = Send_Receive_Cmd(port, "$01M", reply, 300, 0, nullptr);
    if (itsLine) {
        EXPECT_EQ(status, UARTCE_OK);
        EXPECT_STREQ(reply, "!01PORTULA-SIM");
    } else {
        EXPECT_EQ(status, UARTCE_ERR_NO_REPLY) << "the module heard a line that is not its own";
    }
}

std::vector<Setting> settings() {
    std::vector<Setting> all;
    for (const Device* d : {&kUart, &kAdapter}) {
        for (std::uint32_t baud : {1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u})
            all.push_back({d, baud, 8, 0, 1});
        all.push_back({d, 9600, 7, 2, 1});
        all.push_back({d, 9600, 7, 1, 1});
        all.push_back({d, 9600, 8, 2, 1});
        all.push_back({d, 9600, 8, 0, 2});
        all.push_back({d, 19200, 7, 1, 2});
    }
    // The 8250 takes every size; an FTDI chip only 7 and 8 (see below).
    all.push_back({&kUart, 9600, 5, 0, 1});
    all.push_back({&kUart, 9600, 6, 2, 1});
    return all;
}

INSTANTIATE_TEST_SUITE_P(BothDrivers, LineSetting, testing::ValuesIn(settings()), nameOf);

// ftdi_sio takes 6 data bits without an error and keeps the size it had: only reading the line
// back shows it. The open must be refused, with the reason, and leave the port usable.
TEST(RefusedSetting, TheAdapterRefusesFiveAndSixDataBits) {
    ASSERT_EQ(Open_Com(3, 9600, 8, 0, 1), UARTCE_OK);
    ASSERT_EQ(Close_Com(3), UARTCE_OK);
    // 6 the driver refuses; 5 it reports as taken while the chip runs at 8.
    for (std::uint8_t bits : {6, 5}) {
        EXPECT_EQ(Open_Com(3, 9600, bits, 0, 1), UARTCE_ERR_BAD_SETTINGS) << int(bits);
        char reason[512];
        UARTCE_LastError(3, reason, sizeof reason);
        EXPECT_NE(std::string(reason).find(std::to_string(bits) + " data bits"), std::string::npos)
            << reason;
        Close_Com(3);
    }
    ASSERT_EQ(Open_Com(3, 9600, 8, 0, 1), UARTCE_OK) << "a refused open leaves nothing behind";
    char reply[UARTCE_REPLY_BUFFER_SIZE];
    EXPECT_EQ(Send_Receive_Cmd(3, "$01M", reply, 300, 0, nullptr), UARTCE_OK);
    Close_Com(3);
}

} // namespace

namespace {

// The low-latency mode, read back from the driver through a descriptor of the test's own: set
// while the library has the port open, and given back as it was when the port closes.
bool lowLatency(const char* node) {
    const int fd = ::open(node, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    serial_struct serial{};
    const bool got = fd >= 0 && ::ioctl(fd, TIOCGSERIAL, &serial) == 0;
    if (fd >= 0)
        ::close(fd);
    EXPECT_TRUE(got) << node;
    return (serial.flags & ASYNC_LOW_LATENCY) != 0;
}

TEST(LowLatency, IsSetWhileOpenAndGivenBackAtClose) {
    struct Row {
        const Device* device;
        const char* node;
    };
    for (const Row& r : {Row{&kAdapter, rig::kAdapterNode}, Row{&kUart, rig::kUartNode}}) {
        const auto port = static_cast<std::uint8_t>(r.device->com);
        EXPECT_FALSE(lowLatency(r.node)) << r.node << " before";
        ASSERT_EQ(Open_Com(port, 9600, 8, 0, 1), UARTCE_OK) << r.node;
        EXPECT_TRUE(lowLatency(r.node)) << r.node << " while open";
        // 1 ms for the USB adapter in its low-latency mode; a built-in UART holds nothing.
        EXPECT_EQ(UARTCE_LineLatency(port), r.device == &kAdapter ? 1u : 0u) << r.node;
        char reply[UARTCE_REPLY_BUFFER_SIZE];
        EXPECT_EQ(Send_Receive_Cmd(port, "$01M", reply, 300, 0, nullptr), UARTCE_OK) << r.node;
        ASSERT_EQ(Close_Com(port), UARTCE_OK);
        EXPECT_FALSE(lowLatency(r.node)) << r.node << " after";
    }
}

} // namespace

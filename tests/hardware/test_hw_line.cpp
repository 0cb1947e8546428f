// Every line setting, through the real 8250 and ftdi_sio drivers to the wire: what QEMU's model
// of each device was programmed with, and whether the simulated module (9600 baud, one stop
// bit, and silent on any other line) answers.

#include "GuestRig.h"
#include "RigDevices.h"
#include "rules/Rates.h"

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
    const Device* device = nullptr;
    std::uint32_t baud = 9600;
    std::uint8_t dataBits = 8;
    std::uint8_t parity = 0; // as Open_Com takes it (0 none, 1 odd, 2 even)
    std::int8_t stopBits = 1;
};

// The rate a device runs at, as QEMU's model of it was programmed.
long wireBaud(const Device& device) {
    const std::string said = rig::ask(std::string("wire ") + device.wire);
    const auto wire = rig::parseWire(said);
    EXPECT_TRUE(wire) << said;
    return wire ? wire->baud : 0;
}

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
    // An FTDI chip divides 48 MHz: 115200 comes out as 115384, 921600 as 923076. The library
    // takes a rate within its tolerance, and so must the wire.
    EXPECT_TRUE(portula::rateClose(s.baud, static_cast<std::uint32_t>(wire->baud))) << said;
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
        for (std::uint32_t baud : portula::kModuleRates)
            all.push_back({.device = d, .baud = baud});
        const Setting framings[] = {
            {.baud = 9600, .dataBits = 7, .parity = 2},                 // 7E1
            {.baud = 9600, .dataBits = 7, .parity = 1},                 // 7O1
            {.baud = 9600, .parity = 2},                                // 8E1
            {.baud = 9600, .stopBits = 2},                              // 8N2
            {.baud = 9600, .parity = 1, .stopBits = 2},                 // 8O2
            {.baud = 19200, .dataBits = 7, .parity = 1, .stopBits = 2}, // 7O2
        };
        for (Setting s : framings) {
            s.device = d;
            all.push_back(s);
        }
    }
    // An FTDI chip's fast rates, up to its fastest (48 MHz / 16); the 16550 at QEMU's
    // 1.8432 MHz clock stops at 115200 (see RefusedRate).
    for (std::uint32_t baud : {230400u, 460800u, 921600u, 3000000u})
        all.push_back({.device = &kAdapter, .baud = baud});
    // The 8250 takes every size; an FTDI chip only 7 and 8 (see below).
    all.push_back({.device = &kUart, .baud = 9600, .dataBits = 5});
    all.push_back({.device = &kUart, .baud = 9600, .dataBits = 6, .parity = 2});
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

// A rate the device cannot make: the driver sets another, the library reads that back, refuses
// with the rate the driver kept, and puts the line back as it found it. Each driver keeps a rate
// of its own choosing: the 8250 the one the line had (the old termios' rate), ftdi_sio 9600
// whatever the line had (its fallback past an FTDI chip's 3000000).
struct Refusal {
    const Device* device = nullptr;
    bool inPlace = false;    // through UARTCE_SetLine on the open port, else Open_Com
    std::uint32_t from = 0;  // the rate the line had, and has again after the refusal
    std::uint32_t asked = 0; // a rate the device cannot make
    std::uint32_t kept = 0;  // the rate its driver keeps
};

TEST(RefusedRate, NamesTheRateTheDriverKept) {
    const Refusal refusals[] = {
        {.device = &kAdapter, .from = 19200, .asked = 4000000, .kept = 9600},
        {.device = &kUart, .from = 19200, .asked = 230400, .kept = 19200},
        {.device = &kUart, .from = 19200, .asked = 921600, .kept = 19200},
        // In place the line is left as it was: the module, at 9600, still answers.
        {.device = &kAdapter, .inPlace = true, .from = 9600, .asked = 4000000, .kept = 9600},
        {.device = &kUart, .inPlace = true, .from = 9600, .asked = 230400, .kept = 9600},
    };
    for (const Refusal& r : refusals) {
        const auto port = static_cast<std::uint8_t>(r.device->com);
        const std::string row = std::string(r.device->name) + (r.inPlace ? " in place " : " ") +
                                std::to_string(r.asked) + " after " + std::to_string(r.from);
        ASSERT_EQ(Open_Com(port, r.from, 8, 0, 1), UARTCE_OK) << row;
        if (r.inPlace) {
            const uartce_line line{.size = sizeof(uartce_line),
                                   .baud = r.asked,
                                   .dataBits = 8,
                                   .parity = 0,
                                   .stopBits = 1,
                                   .flow = UARTCE_FLOW_NONE};
            EXPECT_EQ(UARTCE_SetLine(port, &line), UARTCE_ERR_BAD_SETTINGS) << row;
        } else {
            ASSERT_EQ(Close_Com(port), UARTCE_OK) << row;
            EXPECT_EQ(Open_Com(port, r.asked, 8, 0, 1), UARTCE_ERR_BAD_SETTINGS) << row;
        }
        char reason[512] = {};
        UARTCE_LastError(port, reason, sizeof reason);
        const std::string words =
            std::to_string(r.asked) + " baud (it keeps " + std::to_string(r.kept) + ")";
        EXPECT_NE(std::string(reason).find(words), std::string::npos) << row << ": " << reason;
        const long onWire = wireBaud(*r.device);
        EXPECT_TRUE(portula::rateClose(r.from, static_cast<std::uint32_t>(onWire)))
            << row << ": the device was left at " << onWire;
        if (r.inPlace) {
            char reply[UARTCE_REPLY_BUFFER_SIZE];
            EXPECT_EQ(Send_Receive_Cmd(port, "$01M", reply, 300, 0, nullptr), UARTCE_OK) << row;
        }
        Close_Com(port);
    }
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

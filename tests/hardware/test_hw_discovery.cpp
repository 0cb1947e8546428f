// Which port is which on a machine with a built-in 16550, two placeholder UARTs and an FTDI
// adapter, found the way a desktop finds them: sysfs, and udev's /dev/serial/by-id.

#include "DialogHarness.h"
#include "GuestRig.h"
#include "RigDevices.h"

#include <gtest/gtest.h>
#include <sstream>
#include <uartce.h>

namespace {

using namespace std::chrono_literals;

std::string portDevice(unsigned com) {
    char out[512];
    UARTCE_PortDevice(static_cast<std::uint8_t>(com), out, sizeof out);
    return out;
}

std::string refusal(unsigned com) {
    char out[512];
    UARTCE_LastError(static_cast<std::uint8_t>(com), out, sizeof out);
    return out;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// The kernel's own word on each UART: 4 is a 16550A, 0 a placeholder with nothing behind it.
TEST(Discovery, SysfsTellsTheUartsApart) {
    struct Case {
        const char* tty;
        const char* type;
    };
    for (const Case& c : {Case{"ttyS1", "4"}, Case{"ttyS2", "0"}, Case{"ttyS3", "0"}})
        EXPECT_EQ(trimmed(rig::readText(std::string("/sys/class/tty/") + c.tty + "/type")), c.type)
            << c.tty;
}

TEST(Discovery, TheLibraryNamesTheUartAndTheAdapter) {
    struct Case {
        unsigned com;
        std::string device;
    };
    const Case cases[] = {
        {2, rig::kUartNode},    // the built-in UART with hardware
        {3, rig::kAdapterById}, // the adapter, by its stable name, not the placeholder ttyS2
        {4, "/dev/ttyS3"},      // a placeholder: only the default name
    };
    for (const Case& c : cases)
        EXPECT_EQ(portDevice(c.com), c.device) << "COM" << c.com;
    EXPECT_EQ(rig::linkTarget(rig::kAdapterById), rig::kAdapterNode);
}

// A placeholder has a node but no UART: it opens, yet the kernel has no line settings for it
// (tcgetattr fails with EIO), so it is no serial device and the library refuses it.
TEST(Discovery, APlaceholderIsRefusedWithItsReason) {
    EXPECT_EQ(Open_Com(4, 9600, 8, 0, 1), UARTCE_ERR_OPEN_FAILED);
    EXPECT_NE(refusal(4).find("(/dev/ttyS3): not a serial device"), std::string::npos)
        << refusal(4);
}

TEST(Discovery, PortulaPortsListsBothWithTheirSources) {
    const rig::Finished r = rig::runToEnd({PORTULA_PORTS_PATH});
    ASSERT_EQ(r.status, 0) << r.err;
    struct Row {
        const char* com;
        std::string device, byId, source, present;
    };
    const std::string byIdName =
        std::string(rig::kAdapterById).substr(sizeof "/dev/serial/by-id/" - 1);
    const Row rows[] = {
        {"COM2", rig::kUartNode, "-", "built-in", "yes"},
        {"COM3", rig::kAdapterNode, byIdName, "discovered", "yes"},
        {"COM4", "/dev/ttyS3", "-", "default", "yes"},
    };
    for (const Row& row : rows) {
        std::istringstream lines(r.out);
        std::string line, found;
        while (std::getline(lines, line))
            if (line.rfind(std::string(row.com) + " ", 0) == 0)
                found = line;
        std::istringstream words(found);
        std::string com, device, byId, source, present;
        words >> com >> device >> byId >> source >> present;
        EXPECT_EQ(device + " " + byId + " " + source + " " + present,
                  row.device + " " + row.byId + " " + row.source + " " + row.present)
            << found;
    }
}

class DialogDiscovery : public testsupport::DialogTest {};

// What the user sees: the port list's tooltips name the UART and the adapter.
TEST_F(DialogDiscovery, ThePortListShowsTheUartAndTheAdapter) {
    const auto tip = [&](int index) {
        return item<QComboBox>(IDC_PORT_LIST)
            ->itemData(index, Qt::ToolTipRole)
            .toString()
            .toStdString();
    };
    EXPECT_EQ(tip(1), rig::kUartNode);
    EXPECT_NE(tip(2).find("usb-QEMU_QEMU_USB_SERIAL_A10K5XYZ-if00-port0"), std::string::npos)
        << tip(2);
    EXPECT_EQ(tip(2).find("(absent)"), std::string::npos) << tip(2);
}

} // namespace

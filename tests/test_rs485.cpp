// The kernel RS-485 mode's pure side: what a driver changed, why a device has no such mode, and
// portula-cmd's --rs485 list.

#include "Rs485Settings.h"
#include "cmd/Cli.h"
#include "rules/Rs485.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A mode as the table rows spell it.
struct Mode {
    std::uint8_t enabled = 1, rtsOnSend = 1, rtsAfterSend = 0, rxDuringTx = 0, terminateBus = 0;
    std::uint32_t before = 0, after = 0;
    uartce_rs485 c() const {
        uartce_rs485 m{};
        m.size = sizeof m;
        m.enabled = enabled;
        m.rtsOnSend = rtsOnSend;
        m.rtsAfterSend = rtsAfterSend;
        m.rxDuringTx = rxDuringTx;
        m.terminateBus = terminateBus;
        m.delayBeforeMs = before;
        m.delayAfterMs = after;
        return m;
    }
};

// Rows are what the PL011 driver of Linux 6.1 does with each request.
TEST(Rs485Changes, EachChangeTheDriverMadeIsOneLine) {
    struct Case {
        const char* name;
        Mode asked, kept;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {.name = "taken as asked",
         .asked = {.before = 5, .after = 7},
         .kept = {.before = 5, .after = 7},
         .lines = {}},
        {.name = "both RTS levels high become high while sending only",
         .asked = {.rtsOnSend = 1, .rtsAfterSend = 1},
         .kept = {.rtsOnSend = 1, .rtsAfterSend = 0},
         .lines = {"RTS after sending: asked high, the driver keeps low"}},
        {.name = "both RTS levels low become high while sending",
         .asked = {.rtsOnSend = 0, .rtsAfterSend = 0},
         .kept = {.rtsOnSend = 1, .rtsAfterSend = 0},
         .lines = {"RTS while sending: asked low, the driver keeps high"}},
        {.name = "RTS low while sending, high after, kept",
         .asked = {.rtsOnSend = 0, .rtsAfterSend = 1},
         .kept = {.rtsOnSend = 0, .rtsAfterSend = 1},
         .lines = {}},
        {.name = "receiving while sending kept",
         .asked = {.rxDuringTx = 1},
         .kept = {.rxDuringTx = 1},
         .lines = {}},
        {.name = "delays clamped to 100 ms",
         .asked = {.before = 1000, .after = 1000},
         .kept = {.before = 100, .after = 100},
         .lines = {"delay before sending: asked 1000 ms, the driver keeps 100 ms",
                   "delay after sending: asked 1000 ms, the driver keeps 100 ms"}},
        {.name = "bus termination dropped",
         .asked = {.terminateBus = 1},
         .kept = {.terminateBus = 0},
         .lines = {"bus termination: asked on, the driver keeps off"}},
        {.name = "several at once, in the struct's order",
         .asked = {.rtsOnSend = 1, .rtsAfterSend = 1, .terminateBus = 1, .after = 250},
         .kept = {.rtsOnSend = 1, .rtsAfterSend = 0, .terminateBus = 0, .after = 100},
         .lines = {"RTS after sending: asked high, the driver keeps low",
                   "bus termination: asked on, the driver keeps off",
                   "delay after sending: asked 250 ms, the driver keeps 100 ms"}},
        {.name = "receiving while sending dropped",
         .asked = {.rxDuringTx = 1},
         .kept = {.rxDuringTx = 0},
         .lines = {"receiving while sending: asked on, the driver keeps off"}},
        // Turned off, the driver zeroes the whole struct: the rest was not asked for.
        {.name = "off with delays reads back all zero",
         .asked = {.enabled = 0, .rtsOnSend = 1, .before = 5, .after = 7},
         .kept = {.enabled = 0, .rtsOnSend = 0},
         .lines = {}},
        {.name = "asked on, kept off",
         .asked = {.before = 5},
         .kept = {.enabled = 0, .rtsOnSend = 0},
         .lines = {"RS-485 mode: asked on, the driver keeps off"}},
        {.name = "asked off, kept on",
         .asked = {.enabled = 0},
         .kept = {.before = 3},
         .lines = {"RS-485 mode: asked off, the driver keeps on"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(uartce::rs485Changes(c.asked.c(), c.kept.c()), c.lines) << c.name;
    EXPECT_EQ(uartce::joinLines({"a", "b"}), "a\nb");
    EXPECT_EQ(uartce::joinLines({}), "");
}

TEST(Rs485Refusal, TheReasonSaysWhatTheDeviceIs) {
    struct Case {
        uartce::Rs485Device device;
        bool usb;
        const char* reason;
    };
    const std::string usbReason = " has no kernel RS-485 mode: an RS-485 adapter switches its "
                                  "transmitter by itself, so leave the RS-485 mode off";
    const Case cases[] = {
        {.device = {.pseudoTerminal = true},
         .usb = false,
         .reason = "a pseudo-terminal has no RS-485 mode"},
        {.device = {.driver = "ftdi_sio"}, .usb = true, .reason = "a USB adapter (ftdi_sio)"},
        {.device = {.driver = "cdc_acm"}, .usb = true, .reason = "a USB adapter (cdc_acm)"},
        {.device = {.driver = "ch341"}, .usb = true, .reason = "a USB adapter (ch341)"},
        // A driver the list does not know, by its place under a USB interface.
        {.device = {.driver = "new_usb_uart",
                    .sysfsDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4/"
                                   "1-1.4:1.0/ttyUSB0"},
         .usb = true,
         .reason = "a USB adapter (new_usb_uart)"},
        {.device = {.sysfsDevice = "/sys/devices/pci0000:00/0000:00:1d.0/usb2/2-3/2-3:1.2"},
         .usb = true,
         .reason = "a USB adapter"},
        {.device = {.driver = "serial8250", .sysfsDevice = "/sys/devices/platform/serial8250"},
         .usb = false,
         .reason = "the UART's driver (serial8250) has no RS-485 mode"},
        // PCI and PNP names have colons too, but no USB interface's form.
        {.device = {.driver = "serial", .sysfsDevice = "/sys/devices/pnp0/00:04"},
         .usb = false,
         .reason = "the UART's driver (serial) has no RS-485 mode"},
        {.device = {.driver = "exar_serial", .sysfsDevice = "/sys/devices/pci0000:00/0000:00:1c.0"},
         .usb = false,
         .reason = "the UART's driver (exar_serial) has no RS-485 mode"},
        {.device = {}, .usb = false, .reason = "the device's driver has no RS-485 mode"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(uartce::isUsbSerial(c.device), c.usb) << c.reason;
        const std::string want = c.usb ? c.reason + usbReason : c.reason;
        EXPECT_EQ(uartce::noRs485Reason(c.device), want);
    }
}

TEST(Rs485Refusal, AModeFromAnOlderCallerIsReadNoFurtherThanItsSize) {
    uartce_rs485 asked{};
    asked.size = offsetof(uartce_rs485, delayBeforeMs);
    asked.enabled = 7;
    asked.rtsOnSend = 2;
    asked.delayBeforeMs = 55; // past the caller's size: not its field
    const uartce_rs485 mode = uartce::normalizedRs485(&asked);
    EXPECT_EQ(mode.size, sizeof(uartce_rs485));
    EXPECT_EQ(mode.enabled, 1);
    EXPECT_EQ(mode.rtsOnSend, 1);
    EXPECT_EQ(mode.delayBeforeMs, 0u);
}

TEST(Rs485Option, ListsAndTheirMistakes) {
    struct Case {
        const char* list;
        bool valid;
        Mode mode = {};
        const char* error = "";
    };
    const Case cases[] = {
        {.list = "", .valid = true, .mode = {}},
        {.list = "rts-on-send=low,rts-after-send=high",
         .valid = true,
         .mode = {.rtsOnSend = 0, .rtsAfterSend = 1}},
        {.list = "delay-before=2,delay-after=10000,rx-during-tx,terminate-bus",
         .valid = true,
         .mode = {.rxDuringTx = 1, .terminateBus = 1, .before = 2, .after = 10000}},
        {.list = "rx-during-tx", .valid = true, .mode = {.rxDuringTx = 1}},
        {.list = "off", .valid = true, .mode = {.enabled = 0, .rtsOnSend = 0}},
        {.list = "off,rx-during-tx", .valid = false, .error = "'off' stands alone"},
        {.list = "rts-on-send=on", .valid = false, .error = "the level is high or low"},
        {.list = "rts-on-send", .valid = false, .error = "the level is high or low"},
        {.list = "delay-before=10001", .valid = false, .error = "0 to 10000 milliseconds"},
        {.list = "delay-after=-1", .valid = false, .error = "0 to 10000 milliseconds"},
        {.list = "delay-after=", .valid = false, .error = "0 to 10000 milliseconds"},
        {.list = "rx-during-tx=1", .valid = false, .error = "'rx-during-tx=1' is none of"},
        {.list = "delay-before=1,delay-before=2", .valid = false, .error = "given twice"},
        {.list = "rts-on-send=high,,", .valid = false, .error = "'' is none of"},
        {.list = "rts=high", .valid = false, .error = "'rts=high' is none of"},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::optional<uartce_rs485> mode = portula::parseRs485(c.list, error);
        ASSERT_EQ(mode.has_value(), c.valid) << c.list << ": " << error;
        if (!c.valid) {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.list << ": " << error;
            continue;
        }
        const uartce_rs485 want = c.mode.c();
        EXPECT_EQ(mode->size, sizeof(uartce_rs485)) << c.list;
        EXPECT_TRUE(uartce::rs485Changes(want, *mode).empty()) << c.list;
        EXPECT_EQ(mode->enabled, want.enabled) << c.list;
        EXPECT_EQ(mode->rtsAfterSend, want.rtsAfterSend) << c.list;
    }
}

cmd::Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "portula-cmd");
    return cmd::parse(static_cast<int>(args.size()), const_cast<char**>(args.data()));
}

TEST(Rs485Option, OnTheCommandLineInEveryMode) {
    struct Case {
        std::vector<const char*> args;
        int exit;
        bool rs485 = false;
        std::uint32_t delayBefore = 0;
        std::vector<std::string> commands = {};
        cmd::Mode mode = cmd::Mode::Command;
    };
    const Case cases[] = {
        {.args = {"--rs485", "$01M"}, .exit = 0, .rs485 = true, .commands = {"$01M"}},
        // The list as the next word, when it begins as a list does.
        {.args = {"--rs485", "delay-before=3", "$01M"},
         .exit = 0,
         .rs485 = true,
         .delayBefore = 3,
         .commands = {"$01M"}},
        {.args = {"--rs485=delay-before=3", "$01M"},
         .exit = 0,
         .rs485 = true,
         .delayBefore = 3,
         .commands = {"$01M"}},
        {.args = {"--rs485", "delay-before=x", "$01M"}, .exit = cmd::kExitUsage},
        {.args = {"--rs485=", "$01M"}, .exit = cmd::kExitUsage},
        {.args = {"--rs485", "off", "scan"}, .exit = 0, .rs485 = true, .mode = cmd::Mode::Scan},
        {.args = {"soak", "--rs485", "--count", "2", "$01M"},
         .exit = 0,
         .rs485 = true,
         .commands = {"$01M"},
         .mode = cmd::Mode::Soak},
        {.args = {"term", "--rs485=rx-during-tx"},
         .exit = 0,
         .rs485 = true,
         .mode = cmd::Mode::Terminal},
        {.args = {"$01M"}, .exit = 0, .rs485 = false, .commands = {"$01M"}},
    };
    for (const Case& c : cases) {
        const cmd::Parsed p = parse(c.args);
        const std::string row = c.args.size() > 1 ? c.args[1] : c.args[0];
        ASSERT_EQ(p.exit, c.exit) << row << ": " << p.error;
        if (c.exit != 0) {
            EXPECT_NE(p.error.find("--rs485"), std::string::npos) << p.error;
            continue;
        }
        EXPECT_EQ(p.options.rs485.has_value(), c.rs485) << row;
        EXPECT_EQ(p.options.mode, c.mode) << row;
        EXPECT_EQ(p.options.commands, c.commands) << row;
        if (c.rs485) {
            EXPECT_EQ(p.options.rs485->delayBeforeMs, c.delayBefore) << row;
        }
    }
}

} // namespace

#pragma once
// The kernel's RS-485 mode, the pure side: what a driver changed of the mode it was asked for,
// and why a device has none, in the words the library reports.

#include <uartce.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace uartce {

// One line for each flag or delay the driver kept otherwise than asked, in the order of the
// struct: "RTS after sending: asked high, the driver keeps low". A mode asked off is compared
// by that alone: a driver that turns the mode off clears the rest.
std::vector<std::string> rs485Changes(const uartce_rs485& asked, const uartce_rs485& kept);

// The lines above as one text, LF between them.
std::string joinLines(const std::vector<std::string>& lines);

// What is known of a device whose driver refused the mode.
struct Rs485Device {
    std::string driver = {};      // its kernel driver, from sysfs; empty when unknown
    std::string sysfsDevice = {}; // the real path of its sysfs device folder; empty when none
    bool pseudoTerminal = false;  // a pty slave
};

// Whether the device sits behind a USB interface: a USB serial driver, or a sysfs device under
// an interface folder ("1-1.2:1.0").
bool isUsbSerial(const Rs485Device& device);

// Why the device has no kernel RS-485 mode, with what to do about it.
std::string noRs485Reason(const Rs485Device& device);

// What setting the mode came to: status UARTCE_OK with the mode the driver keeps and each
// change it made, or a refusal and its reason.
struct Rs485Outcome {
    std::uint16_t status = UARTCE_OK;
    uartce_rs485 kept{};
    std::vector<std::string> changes;
    std::string reason;
};

// The mode as given, with every flag 0 or 1; fields past the caller's size are 0.
uartce_rs485 normalizedRs485(const uartce_rs485* asked);

} // namespace uartce

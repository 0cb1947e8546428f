#include "Rs485Settings.h"

#include <algorithm>
#include <cstring>

namespace uartce {

namespace {

std::string level(std::uint8_t high) {
    return high ? "high" : "low";
}

std::string onOff(std::uint8_t on) {
    return on ? "on" : "off";
}

std::string ms(std::uint32_t value) {
    return std::to_string(value) + " ms";
}

std::string change(const char* what, const std::string& asked, const std::string& kept) {
    return std::string(what) + ": asked " + asked + ", the driver keeps " + kept;
}

// The kernel's USB serial drivers most adapters use; any other is known by its sysfs place.
constexpr std::string_view kUsbDrivers[] = {
    "ftdi_sio",
    "cp210x",
    "ch341",
    "pl2303",
    "cdc_acm",
    "usbserial_generic",
    "option",
    "qcserial",
    "ark3116",
    "mos7720",
    "mos7840",
    "io_edgeport",
    "io_ti",
    "keyspan",
    "oti6858",
    "spcp8x5",
    "f81232",
    "f81534",
    "mxuport",
    "xr_serial",
    "digi_acceleport",
    "ti_usb_3410_5052",
    "usb_serial_simple",
};

// "1-1:1.0", "2-1.4.2:1.3": bus-ports:configuration.interface.
bool isInterfaceFolder(std::string_view name) {
    const std::size_t colon = name.find(':');
    const std::size_t dash = name.find('-');
    if (colon == std::string_view::npos || dash == std::string_view::npos || dash == 0 ||
        dash > colon)
        return false;
    const auto digitsAndDots = [](std::string_view s) {
        return !s.empty() && s.front() != '.' && s.back() != '.' &&
               std::all_of(s.begin(), s.end(),
                           [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    };
    const std::string_view bus = name.substr(0, dash);
    const std::string_view ports = name.substr(dash + 1, colon - dash - 1);
    const std::string_view config = name.substr(colon + 1);
    return digitsAndDots(bus) && bus.find('.') == std::string_view::npos && digitsAndDots(ports) &&
           digitsAndDots(config) && std::count(config.begin(), config.end(), '.') == 1;
}

} // namespace

std::vector<std::string> rs485Changes(const uartce_rs485& asked, const uartce_rs485& kept) {
    std::vector<std::string> lines;
    if (!asked.enabled || !kept.enabled) {
        if (asked.enabled != kept.enabled)
            lines.push_back(change("RS-485 mode", onOff(asked.enabled), onOff(kept.enabled)));
        return lines;
    }
    if (asked.rtsOnSend != kept.rtsOnSend)
        lines.push_back(change("RTS while sending", level(asked.rtsOnSend), level(kept.rtsOnSend)));
    if (asked.rtsAfterSend != kept.rtsAfterSend)
        lines.push_back(
            change("RTS after sending", level(asked.rtsAfterSend), level(kept.rtsAfterSend)));
    if (asked.rxDuringTx != kept.rxDuringTx)
        lines.push_back(
            change("receiving while sending", onOff(asked.rxDuringTx), onOff(kept.rxDuringTx)));
    if (asked.terminateBus != kept.terminateBus)
        lines.push_back(
            change("bus termination", onOff(asked.terminateBus), onOff(kept.terminateBus)));
    if (asked.delayBeforeMs != kept.delayBeforeMs)
        lines.push_back(
            change("delay before sending", ms(asked.delayBeforeMs), ms(kept.delayBeforeMs)));
    if (asked.delayAfterMs != kept.delayAfterMs)
        lines.push_back(
            change("delay after sending", ms(asked.delayAfterMs), ms(kept.delayAfterMs)));
    return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : "\n") + line;
    return text;
}

bool isUsbSerial(const Rs485Device& device) {
    if (std::find(std::begin(kUsbDrivers), std::end(kUsbDrivers), device.driver) !=
        std::end(kUsbDrivers))
        return true;
    std::string_view path = device.sysfsDevice;
    while (!path.empty()) {
        const std::size_t slash = path.find('/');
        if (isInterfaceFolder(path.substr(0, slash)))
            return true;
        if (slash == std::string_view::npos)
            break;
        path.remove_prefix(slash + 1);
    }
    return false;
}

std::string noRs485Reason(const Rs485Device& device) {
    if (isUsbSerial(device))
        return "a USB adapter" + (device.driver.empty() ? "" : " (" + device.driver + ")") +
               " has no kernel RS-485 mode: an RS-485 adapter switches its transmitter by "
               "itself, so leave the RS-485 mode off";
    if (!device.driver.empty())
        return "the UART's driver (" + device.driver + ") has no RS-485 mode";
    if (device.pseudoTerminal)
        return "a pseudo-terminal has no RS-485 mode";
    return "the device's driver has no RS-485 mode";
}

uartce_rs485 normalizedRs485(const uartce_rs485* asked) {
    uartce_rs485 mode{};
    std::memcpy(static_cast<void*>(&mode), asked, std::min<std::size_t>(asked->size, sizeof mode));
    mode.size = sizeof mode;
    for (std::uint8_t* flag :
         {&mode.enabled, &mode.rtsOnSend, &mode.rtsAfterSend, &mode.rxDuringTx, &mode.terminateBus})
        *flag = *flag ? 1 : 0;
    return mode;
}

} // namespace uartce

#include "rules/Rs485.h"

#include "rules/Text.h"

#include <set>
#include <vector>

namespace portula {

namespace {
constexpr std::string_view kKeys[] = {"rts-on-send", "rts-after-send", "delay-before",
                                      "delay-after", "rx-during-tx",   "terminate-bus",
                                      "off"};
} // namespace

uartce_rs485 defaultRs485() {
    uartce_rs485 mode{};
    mode.size = sizeof mode;
    mode.enabled = 1;
    mode.rtsOnSend = 1;
    return mode;
}

std::optional<uartce_rs485> parseRs485(std::string_view list, std::string& error) {
    uartce_rs485 mode = defaultRs485();
    if (list.empty())
        return mode;
    if (list == "off") {
        mode = uartce_rs485{};
        mode.size = sizeof mode;
        return mode;
    }
    std::set<std::string, std::less<>> given;
    for (std::string_view rest = list;;) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        const std::size_t equals = item.find('=');
        const std::string_view key = item.substr(0, equals);
        const std::string_view value =
            equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
        const std::string quoted = "'" + std::string(item) + "'";
        if (!given.insert(std::string(key)).second) {
            error = "'" + std::string(key) + "' is given twice";
            return std::nullopt;
        }
        if (key == "rts-on-send" || key == "rts-after-send") {
            if (value != "high" && value != "low") {
                error = quoted + ": the level is high or low";
                return std::nullopt;
            }
            (key == "rts-on-send" ? mode.rtsOnSend : mode.rtsAfterSend) = value == "high";
        } else if (key == "delay-before" || key == "delay-after") {
            unsigned long ms = 0;
            if (!parseUnsigned(value, kMaxRs485DelayMs, ms)) {
                error = quoted + ": the delay is 0 to " + std::to_string(kMaxRs485DelayMs) +
                        " milliseconds";
                return std::nullopt;
            }
            (key == "delay-before" ? mode.delayBeforeMs : mode.delayAfterMs) =
                static_cast<std::uint32_t>(ms);
        } else if ((key == "rx-during-tx" || key == "terminate-bus") &&
                   equals == std::string_view::npos) {
            (key == "rx-during-tx" ? mode.rxDuringTx : mode.terminateBus) = 1;
        } else if (key == "off") {
            error = "'off' stands alone";
            return std::nullopt;
        } else {
            error = quoted + " is none of rts-on-send=high|low, rts-after-send=high|low, "
                             "delay-before=MS, delay-after=MS, rx-during-tx, terminate-bus, off";
            return std::nullopt;
        }
        if (comma == std::string_view::npos)
            return mode;
        rest.remove_prefix(comma + 1);
    }
}

bool beginsAsRs485List(std::string_view word) {
    const std::string_view key = word.substr(0, word.find_first_of(",="));
    for (std::string_view k : kKeys)
        if (key == k)
            return true;
    return false;
}

} // namespace portula

#pragma once
// Wording of the one-line messages on standard error: pure functions.

#include "rules/Text.h"
#include <cstdint>

#include <string>
#include <string_view>

namespace uartce {

// Control bytes, backslashes and bytes above 0x7E as C escapes, so that any device name stays
// on one line and reads back unambiguously.
using portula::escapeForLine;

// What the system says about a device the user may not open.
struct AccessFacts {
    std::string owner; // user name, or the number when it has no name
    std::string group;
    unsigned mode = 0;        // permission bits
    bool userInGroup = false; // the user belongs to the device's group
};

// The reason for a refused permission: joining the group helps only when the group may read
// and write the device and the user lacks it; otherwise ownership and mode are the facts.
std::string accessReason(const AccessFacts& facts);

} // namespace uartce

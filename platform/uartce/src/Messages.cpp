#include "Messages.h"

#include <cstdio>

namespace uartce {

std::string escapeForLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
        case '\n':
            out += "\\n";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\t':
            out += "\\t";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        default:
            break;
        }
        if (b < 0x20 || b > 0x7E) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string accessReason(const AccessFacts& f) {
    if ((f.mode & 060) == 060 && !f.userInGroup)
        return "permission denied; add the user to the " + f.group + " group (sudo adduser $USER " +
               f.group + ") and log in again";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", f.mode & 07777);
    return "permission denied: the device belongs to " + f.owner + ":" + f.group + " with mode " +
           mode;
}

} // namespace uartce

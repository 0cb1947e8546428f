#include "rules/Text.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace portula {

std::string escapeForLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
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

void appendJsonString(std::string& out, std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.push_back('"');
    for (const unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
            out.append(escaped, sizeof escaped);
        }
    }
    out.push_back('"');
}

std::string jsonString(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 2);
    appendJsonString(out, bytes);
    return out;
}

bool parseUnsigned(std::string_view text, unsigned long max, unsigned long& value) {
    if (text.empty())
        return false;
    unsigned long long sum = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        sum = sum * 10 + static_cast<unsigned>(c - '0');
        if (sum > max) // checked as it grows: no length of digits overflows
            return false;
    }
    value = static_cast<unsigned long>(sum);
    return true;
}

} // namespace portula

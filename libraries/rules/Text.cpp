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

namespace portula {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

Unescaped badEscape(std::string_view escape, const char* why) {
    // The backslash as it was typed; what follows it spelled to stay on one line.
    return {{}, "'\\" + escapeForLine(escape.substr(1)) + "' " + why};
}

} // namespace

Unescaped unescapeCommand(std::string_view text) {
    Unescaped out;
    out.bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.bytes.push_back(text[i]);
            continue;
        }
        if (i + 1 == text.size())
            return badEscape(text.substr(i), "ends the command: give \\\\ for a backslash");
        switch (text[++i]) {
        case 'r':
            out.bytes.push_back('\r');
            break;
        case 'n':
            out.bytes.push_back('\n');
            break;
        case 't':
            out.bytes.push_back('\t');
            break;
        case '\\':
            out.bytes.push_back('\\');
            break;
        case 'x': {
            const int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0)
                return badEscape(text.substr(i - 1, std::min<std::size_t>(4, text.size() - i + 1)),
                                 "needs two hex digits, as \\x0D");
            out.bytes.push_back(static_cast<char>(high * 16 + low));
            i += 2;
            break;
        }
        default:
            return badEscape(text.substr(i - 1, 2),
                             "is not an escape: \\xNN, \\r, \\n, \\t and \\\\ are");
        }
    }
    return out;
}

} // namespace portula

#include "Framing.h"

#include <cstring>

namespace uartce {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
} // namespace

std::uint8_t checksumOf(std::string_view bytes) {
    unsigned sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    return static_cast<std::uint8_t>(sum & 0xFF);
}

std::size_t frameCommand(std::string_view command, bool checksum, std::span<char> out) {
    const std::size_t length = command.size() + (checksum ? 2 : 0) + 1;
    if (length > out.size())
        return 0;
    std::memcpy(out.data(), command.data(), command.size());
    std::size_t at = command.size();
    if (checksum) {
        const std::uint8_t sum = checksumOf(command);
        out[at++] = kHexDigits[sum >> 4];
        out[at++] = kHexDigits[sum & 0x0F];
    }
    out[at++] = kCR;
    return at;
}

bool verifyReplyChecksum(std::string_view reply, std::size_t& payloadLength) {
    if (reply.size() < 2)
        return false;
    const std::size_t n = reply.size() - 2;
    const int hi = hexValue(reply[n]);
    const int lo = hexValue(reply[n + 1]);
    if (hi < 0 || lo < 0)
        return false;
    if (checksumOf(reply.substr(0, n)) != static_cast<std::uint8_t>(hi * 16 + lo))
        return false;
    payloadLength = n;
    return true;
}

} // namespace uartce

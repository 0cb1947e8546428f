#include "rules/Framing.h"

#include <cstring>

namespace portula {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
} // namespace

std::uint8_t checksumOf(std::string_view bytes) {
    unsigned sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    return static_cast<std::uint8_t>(sum & 0xFF);
}

std::string hexPair(std::uint8_t value) {
    return {kHexDigits[value >> 4], kHexDigits[value & 0x0F]};
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

std::string framedCommand(std::string_view command, bool checksum) {
    std::string frame(command.size() + 3, '\0');
    frame.resize(frameCommand(command, checksum, frame));
    return frame;
}

bool verifyReplyChecksum(std::string_view reply, std::size_t& payloadLength) {
    if (reply.size() < 2)
        return false;
    const std::size_t n = reply.size() - 2;
    const int hi = hexDigit(reply[n]);
    const int lo = hexDigit(reply[n + 1]);
    if (hi < 0 || lo < 0)
        return false;
    if (checksumOf(reply.substr(0, n)) != static_cast<std::uint8_t>(hi * 16 + lo))
        return false;
    payloadLength = n;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::uint8_t> parseHexByte(std::string_view text) {
    if (text.size() != 2 || hexDigit(text[0]) < 0 || hexDigit(text[1]) < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(hexDigit(text[0]) * 16 + hexDigit(text[1]));
}

std::string_view endingBytes(Ending ending) {
    for (const EndingName& e : kEndingNames)
        if (e.ending == ending)
            return e.bytes;
    return {};
}

std::string endingName(Ending ending, std::string_view bytes) {
    if (ending == Ending::Hex) {
        std::string name = "hex:";
        for (char c : bytes)
            name += hexPair(static_cast<std::uint8_t>(c));
        return name;
    }
    for (const EndingName& e : kEndingNames)
        if (e.ending == ending)
            return e.name;
    return "";
}

std::optional<Ending> parseEnding(std::string_view text, std::string& bytes) {
    for (const EndingName& e : kEndingNames)
        if (text == e.name) {
            bytes = e.bytes;
            return e.ending;
        }
    constexpr std::string_view kHex = "hex:";
    if (text.substr(0, kHex.size()) != kHex)
        return std::nullopt;
    const std::string_view digits = text.substr(kHex.size());
    if (digits.empty() || digits.size() % 2 != 0)
        return std::nullopt;
    std::string parsed;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const std::optional<std::uint8_t> byte = parseHexByte(digits.substr(i, 2));
        if (!byte)
            return std::nullopt;
        parsed.push_back(static_cast<char>(*byte));
    }
    bytes = std::move(parsed);
    return Ending::Hex;
}

} // namespace portula

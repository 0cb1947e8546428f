#include "rules/Modbus.h"

#include "rules/Framing.h"

#include <array>

namespace portula {

namespace {

// The CRC of every byte value, for a byte at a time.
constexpr std::array<std::uint16_t, 256> kCrcTable = [] {
    std::array<std::uint16_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        std::uint16_t crc = static_cast<std::uint16_t>(value);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<std::uint16_t>(crc >> 1);
        table[value] = crc;
    }
    return table;
}();

constexpr char kHexDigits[] = "0123456789ABCDEF";

struct ExceptionName {
    unsigned code;
    const char* name;
};
constexpr ExceptionName kExceptionNames[] = {
    {1, "illegal function"},
    {2, "illegal data address"},
    {3, "illegal data value"},
    {4, "server device failure"},
    {5, "acknowledge"},
    {6, "server device busy"},
    {8, "memory parity error"},
    {10, "gateway path unavailable"},
    {11, "gateway target device failed to respond"},
};

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

std::uint16_t modbusCrc(std::string_view bytes) {
    std::uint16_t crc = 0xFFFF;
    for (const char c : bytes)
        crc = static_cast<std::uint16_t>((crc >> 8) ^
                                         kCrcTable[(crc ^ static_cast<unsigned char>(c)) & 0xFF]);
    return crc;
}

std::uint8_t modbusLrc(std::string_view bytes) {
    unsigned sum = 0;
    for (const char c : bytes)
        sum += static_cast<unsigned char>(c);
    return static_cast<std::uint8_t>(-sum);
}

std::string rtuFrame(std::string_view request) {
    const std::uint16_t crc = modbusCrc(request);
    std::string frame(request);
    frame.push_back(static_cast<char>(crc & 0xFF));
    frame.push_back(static_cast<char>(crc >> 8));
    return frame;
}

std::string asciiFrame(std::string_view request) {
    std::string frame = ":";
    for (const char c : request)
        frame += hexPair(static_cast<std::uint8_t>(c));
    frame += hexPair(modbusLrc(request));
    frame += "\r\n";
    return frame;
}

std::string modbusFrame(ModbusMode mode, std::string_view request) {
    return mode == ModbusMode::Rtu ? rtuFrame(request) : asciiFrame(request);
}

std::optional<std::string> rtuPayload(std::string_view frame) {
    if (frame.size() < 4)
        return std::nullopt;
    const std::string_view payload = frame.substr(0, frame.size() - 2);
    const std::uint16_t crc = modbusCrc(payload);
    if (static_cast<unsigned char>(frame[frame.size() - 2]) != (crc & 0xFF) ||
        static_cast<unsigned char>(frame[frame.size() - 1]) != (crc >> 8))
        return std::nullopt;
    return std::string(payload);
}

std::optional<std::string> asciiPayload(std::string_view frame) {
    if (frame.size() < 5 || frame.front() != ':' || !frame.ends_with("\r\n"))
        return std::nullopt;
    const std::string_view hex = frame.substr(1, frame.size() - 3);
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const std::optional<std::uint8_t> b = parseHexByte(hex.substr(i, 2));
        if (!b)
            return std::nullopt;
        bytes.push_back(static_cast<char>(*b));
    }
    const std::uint8_t lrc = static_cast<std::uint8_t>(bytes.back());
    bytes.pop_back();
    if (modbusLrc(bytes) != lrc)
        return std::nullopt;
    return bytes;
}

std::optional<std::string> modbusPayload(ModbusMode mode, std::string_view frame) {
    return mode == ModbusMode::Rtu ? rtuPayload(frame) : asciiPayload(frame);
}

std::optional<std::size_t> rtuReplyLength(std::string_view begun) {
    if (begun.size() < 2)
        return std::nullopt;
    const auto function = static_cast<unsigned char>(begun[1]);
    if (function & 0x80)
        return 5;
    switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
        if (begun.size() < 3)
            return std::nullopt;
        return 5 + static_cast<std::size_t>(static_cast<unsigned char>(begun[2]));
    case 5:
    case 6:
    case 15:
    case 16:
        return 8;
    default:
        return std::nullopt;
    }
}

std::chrono::microseconds rtuSilence(std::uint32_t baud, unsigned bitsPerCharacter) {
    if (baud > 19200 || baud == 0)
        return std::chrono::microseconds(1750);
    // 3.5 characters, rounded up to the next microsecond.
    const std::uint64_t numerator = 3'500'000ull * bitsPerCharacter;
    return std::chrono::microseconds((numerator + baud - 1) / baud);
}

bool replyMayRepeatRequest(std::uint8_t function) {
    return function == 5 || function == 6 || function == 8;
}

bool replyFitsRequest(std::string_view request, std::string_view reply) {
    if (request.size() < 2 || reply.size() < 2)
        return false;
    const auto byte = [](std::string_view b, std::size_t i) {
        return static_cast<unsigned>(static_cast<unsigned char>(b[i]));
    };
    if (byte(reply, 1) & 0x80)
        return true;
    const unsigned function = byte(request, 1);
    if (function == 5 || function == 6)
        return reply == request;
    if (request.size() < 6)
        return true;
    const unsigned quantity = byte(request, 4) << 8 | byte(request, 5);
    switch (function) {
    case 1:
    case 2:
        return request.size() != 6 || (reply.size() >= 3 && byte(reply, 2) == (quantity + 7) / 8 &&
                                       reply.size() == 3 + byte(reply, 2));
    case 3:
    case 4:
        return request.size() != 6 || (reply.size() >= 3 && byte(reply, 2) == 2 * quantity &&
                                       reply.size() == 3 + byte(reply, 2));
    case 15:
    case 16:
        return reply == request.substr(0, 6);
    default:
        return true;
    }
}

const char* modbusExceptionName(unsigned code) {
    for (const ExceptionName& e : kExceptionNames)
        if (e.code == code)
            return e.name;
    return nullptr;
}

std::optional<ModbusMode> parseModbusMode(std::string_view name) {
    if (name == "rtu")
        return ModbusMode::Rtu;
    if (name == "ascii")
        return ModbusMode::Ascii;
    return std::nullopt;
}

std::string modbusExceptionText(unsigned code) {
    std::string text = "exception " + std::to_string(code);
    if (const char* name = modbusExceptionName(code))
        text += std::string(": ") + name;
    return text;
}

std::optional<std::string> parseHexBytes(std::string_view text) {
    std::string bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (isBlank(text[i])) {
            ++i;
            continue;
        }
        if (i + 1 >= text.size())
            return std::nullopt;
        const std::optional<std::uint8_t> b = parseHexByte(text.substr(i, 2));
        if (!b)
            return std::nullopt;
        bytes.push_back(static_cast<char>(*b));
        i += 2;
    }
    if (bytes.empty())
        return std::nullopt;
    return bytes;
}

std::string hexBytes(std::string_view bytes) {
    std::string text;
    for (const char c : bytes) {
        if (!text.empty())
            text.push_back(' ');
        const auto b = static_cast<unsigned char>(c);
        text.push_back(kHexDigits[b >> 4]);
        text.push_back(kHexDigits[b & 0x0F]);
    }
    return text;
}

} // namespace portula

// Modbus frames as the rules library composes and checks them, against frames published with
// the protocol's serial-line examples, and a CRC worked bit by bit here, apart from the
// library's table.

#include "rules/Modbus.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace {

using portula::ModbusMode;

std::string bytes(const char* hex) {
    return portula::parseHexBytes(hex).value();
}

// The CRC as the serial-line guide describes it, one bit at a time.
std::uint16_t bitwiseCrc(const std::string& data) {
    std::uint16_t crc = 0xFFFF;
    for (const char c : data) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = crc & 1;
            crc >>= 1;
            if (carry)
                crc ^= 0xA001;
        }
    }
    return crc;
}

TEST(Modbus, RtuFramesEndInTheirCrcLowByteFirst) {
    struct Case {
        const char* request;
        const char* frame; // as published
    };
    const Case cases[] = {
        {.request = "01 03 00 00 00 0A", .frame = "01 03 00 00 00 0A C5 CD"},
        {.request = "11 03 00 6B 00 03", .frame = "11 03 00 6B 00 03 76 87"},
        {.request = "11 01 00 13 00 25", .frame = "11 01 00 13 00 25 0E 84"},
        {.request = "01 04 00 00 00 01", .frame = "01 04 00 00 00 01 31 CA"},
        {.request = "01 83 02", .frame = "01 83 02 C0 F1"},
        {.request = "01 06 00 01 00 03", .frame = "01 06 00 01 00 03 98 0B"},
    };
    for (const Case& c : cases) {
        const std::string request = bytes(c.request);
        const std::string frame = portula::rtuFrame(request);
        EXPECT_EQ(portula::hexBytes(frame), c.frame) << c.request;
        const std::uint16_t crc = bitwiseCrc(request);
        EXPECT_EQ(portula::modbusCrc(request), crc) << c.request;
        EXPECT_EQ(static_cast<unsigned char>(frame[frame.size() - 2]), crc & 0xFF) << c.request;
        EXPECT_EQ(portula::rtuPayload(frame), request) << c.request;
    }
    // Every byte value through the table, against the bitwise CRC.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    EXPECT_EQ(portula::modbusCrc(all), bitwiseCrc(all));
    EXPECT_EQ(portula::modbusCrc(""), 0xFFFF);
}

TEST(Modbus, ReceivedFramesAreCheckedAndStripped) {
    struct Case {
        const char* name;
        ModbusMode mode;
        std::string frame;
        std::optional<std::string> payload;
    };
    const Case cases[] = {
        {.name = "rtu, published",
         .mode = ModbusMode::Rtu,
         .frame = bytes("11 03 06 AE 41 56 52 43 40 49 AD"),
         .payload = bytes("11 03 06 AE 41 56 52 43 40")},
        {.name = "rtu crc bytes swapped",
         .mode = ModbusMode::Rtu,
         .frame = bytes("01 03 00 00 00 0A CD C5"),
         .payload = std::nullopt},
        {.name = "rtu a data bit flipped",
         .mode = ModbusMode::Rtu,
         .frame = bytes("01 03 00 01 00 0A C5 CD"),
         .payload = std::nullopt},
        {.name = "rtu too short",
         .mode = ModbusMode::Rtu,
         .frame = bytes("01 83 02"),
         .payload = {}},
        {.name = "ascii, published",
         .mode = ModbusMode::Ascii,
         .frame = ":1103006B00037E\r\n",
         .payload = bytes("11 03 00 6B 00 03")},
        {.name = "ascii lower-case hex",
         .mode = ModbusMode::Ascii,
         .frame = ":1103006b00037e\r\n",
         .payload = bytes("11 03 00 6B 00 03")},
        {.name = "ascii wrong lrc",
         .mode = ModbusMode::Ascii,
         .frame = ":1103006B00037F\r\n",
         .payload = std::nullopt},
        {.name = "ascii without its LF",
         .mode = ModbusMode::Ascii,
         .frame = ":1103006B00037E\r",
         .payload = std::nullopt},
        {.name = "ascii odd digits",
         .mode = ModbusMode::Ascii,
         .frame = ":1103006B00037E0\r\n",
         .payload = std::nullopt},
        {.name = "ascii no hex",
         .mode = ModbusMode::Ascii,
         .frame = ":11G3006B00037E\r\n",
         .payload = std::nullopt},
        {.name = "ascii without its colon",
         .mode = ModbusMode::Ascii,
         .frame = "1103006B00037E\r\n",
         .payload = std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(portula::modbusPayload(c.mode, c.frame), c.payload) << c.name;
}

TEST(Modbus, AsciiFramesCarryTheLrcAndEndInCrLf) {
    struct Case {
        const char* request;
        const char* frame;
    };
    const Case cases[] = {
        {.request = "11 03 00 6B 00 03", .frame = ":1103006B00037E\r\n"},
        {.request = "01 03 00 00 00 01", .frame = ":010300000001FB\r\n"},
        {.request = "F7 03 13 89 00 0A", .frame = ":F7031389000A60\r\n"},
    };
    for (const Case& c : cases) {
        const std::string request = bytes(c.request);
        EXPECT_EQ(portula::asciiFrame(request), c.frame) << c.request;
        // The LRC makes the whole frame's bytes sum to zero.
        unsigned sum = portula::modbusLrc(request);
        for (const char b : request)
            sum += static_cast<unsigned char>(b);
        EXPECT_EQ(sum % 256, 0u) << c.request;
    }
}

TEST(Modbus, AnRtuReplysLengthIsKnownFromItsFunctionAndByteCount) {
    struct Case {
        const char* begun;
        std::optional<std::size_t> length;
    };
    const Case cases[] = {
        {.begun = "01", .length = std::nullopt},
        {.begun = "01 03", .length = std::nullopt},
        {.begun = "01 03 14", .length = 25},
        {.begun = "01 01 01", .length = 6},
        {.begun = "01 02 00", .length = 5},
        {.begun = "01 04 FF", .length = 260},
        {.begun = "01 05", .length = 8},
        {.begun = "01 06", .length = 8},
        {.begun = "01 0F", .length = 8},
        {.begun = "01 10", .length = 8},
        {.begun = "01 83", .length = 5},
        {.begun = "01 90 02", .length = 5},
        {.begun = "01 11 05", .length = std::nullopt},
        {.begun = "01 08 00", .length = std::nullopt},
        {.begun = "01 17 0A", .length = std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(portula::rtuReplyLength(bytes(c.begun)), c.length) << c.begun;
}

// A reply of the request's slave and function that another request of it would get (a late
// one) is told by what the function's reply must repeat or count.
TEST(Modbus, AReplyFitsItsRequestByCountOrRepeat) {
    struct Case {
        const char* request;
        const char* reply;
        bool fits;
    };
    const Case cases[] = {
        {.request = "01 03 00 00 00 02", .reply = "01 03 04 00 0A 00 0B", .fits = true},
        {.request = "01 03 00 10 00 03", .reply = "01 03 02 01 F4", .fits = false},
        {.request = "01 04 00 00 00 01", .reply = "01 04 02 27 74", .fits = true},
        {.request = "01 04 00 00 00 01", .reply = "01 04 02 27", .fits = false},
        {.request = "01 01 00 00 00 0A", .reply = "01 01 02 55 01", .fits = true},
        {.request = "01 01 00 00 00 08", .reply = "01 01 02 55 01", .fits = false},
        {.request = "01 02 01 EA 00 2C", .reply = "01 02 04 55 55 55 55", .fits = false},
        {.request = "01 02 01 EA 00 2C", .reply = "01 02 06 55 55 55 55 55 05", .fits = true},
        {.request = "01 05 00 01 FF 00", .reply = "01 05 00 01 FF 00", .fits = true},
        {.request = "01 06 00 01 00 03", .reply = "01 06 00 01 00 04", .fits = false},
        {.request = "01 06 00 01 00 03", .reply = "01 06 00 02 00 03", .fits = false},
        {.request = "01 10 00 01 00 02 04 00 0A 01 02", .reply = "01 10 00 01 00 02", .fits = true},
        {.request = "01 10 00 01 00 02 04 00 0A 01 02",
         .reply = "01 10 00 01 00 03",
         .fits = false},
        {.request = "01 0F 00 13 00 0A 02 CD 01", .reply = "01 0F 00 13 00 0A", .fits = true},
        {.request = "01 03 00 00 00 0A", .reply = "01 83 02", .fits = true},
        {.request = "01 06 00 01 00 03", .reply = "01 86 02", .fits = true},
        {.request = "01 03 00", .reply = "01 03 02 00 01", .fits = true},
        {.request = "01 11", .reply = "01 11 03 41 42 FF", .fits = true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(portula::replyFitsRequest(bytes(c.request), bytes(c.reply)), c.fits)
            << c.request << " / " << c.reply;
}

TEST(Modbus, TheSilenceBetweenFramesIsThreeAndAHalfCharacters) {
    struct Case {
        std::uint32_t baud;
        unsigned bits;
        long long micros;
    };
    const Case cases[] = {
        {.baud = 9600, .bits = 11, .micros = 4011}, // 38.5 bits, rounded up
        {.baud = 19200, .bits = 11, .micros = 2006},  {.baud = 19200, .bits = 10, .micros = 1823},
        {.baud = 1200, .bits = 10, .micros = 29167},  {.baud = 38400, .bits = 11, .micros = 1750},
        {.baud = 115200, .bits = 10, .micros = 1750},
    };
    for (const Case& c : cases)
        EXPECT_EQ(portula::rtuSilence(c.baud, c.bits).count(), c.micros) << c.baud;
}

TEST(Modbus, ExceptionCodesHaveTheirStandardNames) {
    struct Case {
        unsigned code;
        const char* text;
    };
    const Case cases[] = {
        {.code = 1, .text = "exception 1: illegal function"},
        {.code = 2, .text = "exception 2: illegal data address"},
        {.code = 3, .text = "exception 3: illegal data value"},
        {.code = 4, .text = "exception 4: server device failure"},
        {.code = 5, .text = "exception 5: acknowledge"},
        {.code = 6, .text = "exception 6: server device busy"},
        {.code = 7, .text = "exception 7"},
        {.code = 8, .text = "exception 8: memory parity error"},
        {.code = 9, .text = "exception 9"},
        {.code = 10, .text = "exception 10: gateway path unavailable"},
        {.code = 11, .text = "exception 11: gateway target device failed to respond"},
        {.code = 255, .text = "exception 255"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(portula::modbusExceptionText(c.code), c.text);
}

TEST(Modbus, HexBytesReadWithOrWithoutBlanks) {
    struct Case {
        const char* text;
        std::optional<std::string> bytes;
    };
    const Case cases[] = {
        {.text = "05 03 00 00 00 0A", .bytes = std::string("\x05\x03\x00\x00\x00\x0A", 6)},
        {.text = "0503000000 0a", .bytes = std::string("\x05\x03\x00\x00\x00\x0A", 6)},
        {.text = "  ff\t01 ", .bytes = std::string("\xFF\x01", 2)},
        {.text = "5 03", .bytes = std::nullopt},
        {.text = "050", .bytes = std::nullopt},
        {.text = "05 0x03", .bytes = std::nullopt},
        {.text = "   ", .bytes = std::nullopt},
        {.text = "", .bytes = std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(portula::parseHexBytes(c.text), c.bytes) << c.text;
    EXPECT_EQ(portula::hexBytes(std::string("\x05\x83\x00", 3)), "05 83 00");
    EXPECT_EQ(portula::hexBytes(""), "");
}

} // namespace

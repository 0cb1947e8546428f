// Frame composition, the hexadecimal suffix, text conversion and the interval parser.

#include "framework/DataExchange.h"
#include "messaging/FrameBuilder.h"
#include "messaging/TextCodec.h"

#include <array>
#include <gtest/gtest.h>

namespace {

using messaging::composeFrame;
using messaging::FrameStatus;

struct FrameCase {
    const char* name;
    std::string text;
    SendMode mode;
    std::string suffix;
    std::string bytes; // expected frame, without its zero byte
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.name;
}

class FrameTable : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTable, ComposesTheBytesAndCount) {
    const FrameCase& c = GetParam();
    std::array<char, 1024> buffer{};
    const auto result = composeFrame(c.text, c.mode, c.suffix, buffer);
    ASSERT_EQ(result.status, FrameStatus::Ok);
    EXPECT_EQ(std::string(buffer.data(), result.count), c.bytes);
    EXPECT_EQ(buffer[result.count], '\0') << "a zero byte follows the frame";
}

INSTANTIATE_TEST_SUITE_P(
    EveryMode, FrameTable,
    ::testing::Values(FrameCase{"none", "$01M", SEND_NONE, "1A", "$01M"},
                      FrameCase{"none_empty", "", SEND_NONE, "", ""},
                      FrameCase{"command", "$01M", SEND_CR, "1A", "$01M"},
                      FrameCase{"lf", "$01M", SEND_LF, "", "$01M\x0A"},
                      FrameCase{"lf_empty", "", SEND_LF, "", "\x0A"},
                      FrameCase{"lf_cr", "$01M", SEND_LF_CR, "", "$01M\x0A\x0D"},
                      FrameCase{"cr_lf", "$01M", SEND_CR_LF, "", "\x24\x30\x31\x4D\x0D\x0A"},
                      FrameCase{"def_default", "$01M", SEND_DEF, "1A", "$01M\x1A"},
                      FrameCase{"def_crlf", "x", SEND_DEF, "0D0A", "x\x0D\x0A"},
                      FrameCase{"def_empty", "x", SEND_DEF, "", "x"},
                      FrameCase{"def_lower", "", SEND_DEF, "ff", "\xFF"},
                      FrameCase{"def_not_hex", "", SEND_DEF, "G1", std::string(1, '\0')},
                      FrameCase{"def_digit_then_junk", "", SEND_DEF, "1G", "\x01"},
                      FrameCase{"def_sign", "", SEND_DEF, "-1", "\xFF"},
                      FrameCase{"def_plus", "", SEND_DEF, "+F", "\x0F"},
                      FrameCase{"def_space_separated", "", SEND_DEF, "0D 0A",
                                std::string("\x0D\x00\x0A", 3)},
                      FrameCase{"def_odd", "", SEND_DEF, "1A3", "\x1A\x03"},
                      FrameCase{"def_zero_byte_inside", "a", SEND_DEF, "00", std::string("a\0", 2)},
                      FrameCase{"def_ignored_in_lf", "a", SEND_LF, "zz", "a\x0A"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameLimits, RefusesFramesThatWouldNotFit) {
    struct Case {
        std::size_t textLength;
        SendMode mode;
        std::size_t suffixLength;
        FrameStatus status;
    };
    const Case cases[] = {
        {.textLength = 1023, .mode = SEND_NONE, .suffixLength = 0, .status = FrameStatus::Ok},
        {.textLength = 1024,
         .mode = SEND_NONE,
         .suffixLength = 0,
         .status = FrameStatus::TextTooLong},
        {.textLength = 1023, .mode = SEND_CR, .suffixLength = 0, .status = FrameStatus::Ok},
        {.textLength = 1024,
         .mode = SEND_CR,
         .suffixLength = 0,
         .status = FrameStatus::TextTooLong},
        {.textLength = 1022, .mode = SEND_LF, .suffixLength = 0, .status = FrameStatus::Ok},
        {.textLength = 1023,
         .mode = SEND_LF,
         .suffixLength = 0,
         .status = FrameStatus::TextTooLong},
        {.textLength = 1021, .mode = SEND_CR_LF, .suffixLength = 0, .status = FrameStatus::Ok},
        {.textLength = 1022,
         .mode = SEND_LF_CR,
         .suffixLength = 0,
         .status = FrameStatus::TextTooLong},
        {.textLength = 973, .mode = SEND_DEF, .suffixLength = 100, .status = FrameStatus::Ok},
        {.textLength = 974,
         .mode = SEND_DEF,
         .suffixLength = 100,
         .status = FrameStatus::TextTooLong},
        {.textLength = 0,
         .mode = SEND_DEF,
         .suffixLength = 101,
         .status = FrameStatus::SuffixTooLong},
        {.textLength = 0, .mode = SEND_NONE, .suffixLength = 101, .status = FrameStatus::Ok},
    };
    for (const Case& c : cases) {
        std::array<char, 1024> buffer{};
        const std::string text(c.textLength, 't');
        const std::string suffix(c.suffixLength, '5');
        const auto result = composeFrame(text, c.mode, suffix, buffer);
        EXPECT_EQ(result.status, c.status) << c.textLength << " mode " << int(c.mode);
        if (result.status != FrameStatus::Ok) {
            EXPECT_EQ(buffer[0], '\0') << "a refused frame writes nothing";
        }
    }
}

TEST(TextCodec, OneBytePerCharacterAndLineBreaks) {
    EXPECT_EQ(messaging::toWire(QString::fromUtf8("\u00e9\u00ff\u20ac")), QByteArray("\xE9\xFF?"));
    struct Case {
        std::string bytes;
        const char* shown;
    };
    for (const Case& c :
         {Case{"a\r\nb", "a\nb"}, Case{"a\rb", "a\nb"}, Case{"a\nb", "a\nb"},
          Case{"a\n\rb", "a\nb"}, Case{"a\r\rb", "a\n\nb"}, Case{"a\r\n\r\nb", "a\n\nb"},
          Case{"\xE9", "\u00e9"}, Case{std::string("ab\0cd", 5), "ab\u2400cd"},
          Case{std::string("\0\0", 2), "\u2400\u2400"},
          Case{std::string("\r\0\n", 3), "\n\u2400\n"}})
        EXPECT_EQ(messaging::toDisplay(c.bytes.data(), c.bytes.size()), QString::fromUtf8(c.shown))
            << c.bytes;
}

TEST(TextCodec, DeliveredLengthKeepsZeroBytesTheLibraryCounted) {
    struct Case {
        std::string filled; // what the library wrote over the zeroed buffer
        std::uint32_t reported;
        std::size_t length;
    };
    const Case cases[] = {
        {.filled = "", .reported = 0, .length = 0},
        {.filled = "abc", .reported = 3, .length = 3},
        {.filled = "abc", .reported = 0, .length = 3}, // a library that reports nothing
        {.filled = "abc", .reported = 2, .length = 3}, // or too little: no byte is hidden
        {.filled = std::string("ab\0cd", 5),
         .reported = 5,
         .length = 5}, // a zero inside, counted by the library
        {.filled = std::string("ab\0cd", 5),
         .reported = 0,
         .length = 2}, // not counted: read as a string
        {.filled = std::string("ab\0\0", 4), .reported = 4, .length = 4}, // zeros at the end
        {.filled = std::string("ab\0\0", 4),
         .reported = 16,
         .length = 2}, // a count that leaves no terminator is not believed
        {.filled = std::string(15, 'x'),
         .reported = 15,
         .length = 15}, // the last byte is the terminator's
    };
    for (const Case& c : cases) {
        std::array<char, 16> buffer{};
        std::copy(c.filled.begin(), c.filled.end(), buffer.begin());
        buffer.back() = '\0';
        EXPECT_EQ(messaging::deliveredLength(buffer.data(), buffer.size(), c.reported), c.length)
            << c.filled.size() << " bytes, reported " << c.reported;
    }
}

TEST(ParseUnsigned, AcceptsWholeNumbersOnly) {
    struct Case {
        const char* text;
        std::optional<std::uint32_t> value;
    };
    for (const Case& c :
         {Case{"0", 0u}, Case{"100000", 100000u}, Case{" 42 ", 42u},
          Case{"4294967295", 4294967295u}, Case{"4294967296", std::nullopt}, Case{"", std::nullopt},
          Case{"  ", std::nullopt}, Case{"-1", std::nullopt}, Case{"+5", std::nullopt},
          Case{"12ab", std::nullopt}, Case{"1 2", std::nullopt}, Case{"-", std::nullopt}})
        EXPECT_EQ(fw::parseUnsigned(c.text), c.value) << '"' << c.text << '"';
}

} // namespace

// The line's rules as every program uses them: framing and checksums, hex digits, endings,
// addresses and reply forms, rates, where a trace may go and the status codes' words.

#include "rules/FileSink.h"
#include "rules/Framing.h"
#include "rules/Rates.h"
#include "rules/Replies.h"
#include "rules/Status.h"
#include "rules/Text.h"

#include <uartce.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

TEST(Framing, CommandFrames) {
    struct Case {
        const char* command;
        bool checksum;
        const char* frame;
    };
    for (const Case& c :
         {Case{"$01M", false, "$01M\r"}, Case{"$01M", true, "$01MD2\r"}, Case{"", false, "\r"},
          Case{"", true, "00\r"}, Case{"#01", true, "#0184\r"}}) {
        std::array<char, 64> out{};
        const std::size_t n = portula::frameCommand(c.command, c.checksum, out);
        EXPECT_EQ(std::string(out.data(), n), c.frame) << c.command;
    }
    std::array<char, 4> tiny{};
    EXPECT_EQ(portula::frameCommand("$01M", false, tiny), 0u) << "refuses a buffer too small";
    std::array<char, 6> noRoomForTheCr{};
    EXPECT_EQ(portula::frameCommand("$01M", true, noRoomForTheCr), 0u) << "counts the checksum";
}

TEST(Framing, ReplyChecksums) {
    struct Case {
        const char* reply;
        bool ok;
        std::size_t payload;
    };
    // "!01" sums to 0x21+0x30+0x31 = 0x82.
    for (const Case& c : {Case{"!0182", true, 3}, Case{"!ABa4", true, 3}, Case{"!01", false, 0},
                          Case{"!0183", false, 0}, Case{"!01zz", false, 0}, Case{"00", true, 0},
                          Case{"0", false, 0}, Case{"", false, 0},
                          // "0O" sums to 0x7F: 8 and a bad last digit must not pass for it.
                          Case{"0O8z", false, 0}}) {
        std::size_t payload = 99;
        EXPECT_EQ(portula::verifyReplyChecksum(c.reply, payload), c.ok) << c.reply;
        if (c.ok) {
            EXPECT_EQ(payload, c.payload) << c.reply;
        }
    }
    std::size_t payload = 0;
    EXPECT_TRUE(portula::verifyReplyChecksum("?01a0", payload)) << "either case";
}

TEST(Framing, FramedCommandIsTheFrameAsAString) {
    EXPECT_EQ(portula::framedCommand("$01M", false), "$01M\r");
    EXPECT_EQ(portula::framedCommand("$01M", true), "$01MD2\r");
    EXPECT_EQ(portula::framedCommand("\xFF\xFF", true), "\xFF\xFF"
                                                        "FE\r");
}

TEST(HexDigits, PairsAndDigits) {
    struct Case {
        const char* text;
        std::optional<std::uint8_t> byte;
    };
    for (const Case& c : {Case{.text = "00", .byte = 0x00}, Case{.text = "fF", .byte = 0xFF},
                          Case{.text = "0a", .byte = 0x0A}, Case{.text = "A", .byte = {}},
                          Case{.text = "ABC", .byte = {}}, Case{.text = "0x", .byte = {}},
                          Case{.text = " 1", .byte = {}}, Case{.text = "+1", .byte = {}},
                          Case{.text = "", .byte = {}}})
        EXPECT_EQ(portula::parseHexByte(c.text), c.byte) << c.text;
    for (int v = 0; v < 256; ++v) {
        const std::string pair = portula::hexPair(static_cast<std::uint8_t>(v));
        EXPECT_EQ(portula::parseHexByte(pair), v) << pair;
        std::array<char, 3> printed{};
        std::snprintf(printed.data(), printed.size(), "%02X", v);
        EXPECT_EQ(pair, printed.data());
    }
    EXPECT_EQ(portula::hexDigit('g'), -1);
    EXPECT_EQ(portula::hexDigit('/'), -1);
    EXPECT_EQ(portula::hexDigit('9'), 9);
}

TEST(Endings, NamesAndBytesGoBothWays) {
    struct Case {
        const char* name;
        std::optional<portula::Ending> ending;
        const char* bytes;
    };
    using portula::Ending;
    const Case cases[] = {
        {.name = "cr", .ending = Ending::CR, .bytes = "\r"},
        {.name = "none", .ending = Ending::None, .bytes = ""},
        {.name = "lf", .ending = Ending::LF, .bytes = "\n"},
        {.name = "lfcr", .ending = Ending::LFCR, .bytes = "\n\r"},
        {.name = "crlf", .ending = Ending::CRLF, .bytes = "\r\n"},
        {.name = "hex:0D0a", .ending = Ending::Hex, .bytes = "\r\n"},
        {.name = "hex:00", .ending = Ending::Hex, .bytes = ""},
        {.name = "hex:", .ending = {}, .bytes = ""},
        {.name = "hex:0", .ending = {}, .bytes = ""},
        {.name = "hex:0G", .ending = {}, .bytes = ""},
        {.name = "CR", .ending = {}, .bytes = ""},
        {.name = "cr ", .ending = {}, .bytes = ""},
    };
    for (const Case& c : cases) {
        std::string bytes = "untouched";
        const std::optional<Ending> e = portula::parseEnding(c.name, bytes);
        EXPECT_EQ(e, c.ending) << c.name;
        if (!e) {
            EXPECT_EQ(bytes, "untouched") << c.name;
            continue;
        }
        if (std::strcmp(c.name, "hex:00") == 0) {
            EXPECT_EQ(bytes, std::string(1, '\0'));
        } else {
            EXPECT_EQ(bytes, c.bytes) << c.name;
        }
        if (*e != Ending::Hex) {
            EXPECT_EQ(portula::endingBytes(*e), c.bytes) << c.name;
        }
        // The name given back parses to the same ending and bytes.
        std::string again;
        EXPECT_EQ(portula::parseEnding(portula::endingName(*e, bytes), again), e) << c.name;
        EXPECT_EQ(again, bytes) << c.name;
    }
    EXPECT_EQ(portula::endingName(Ending::Hex, "\r\n"), "hex:0D0A");
}

TEST(Replies, AddressesAndForms) {
    struct Case {
        const char* command;
        bool namesModule;
        const char* line;
        bool replyForm;
    };
    const Case cases[] = {
        {.command = "$01M", .namesModule = true, .line = "!01Mod", .replyForm = true},
        {.command = "$01M", .namesModule = true, .line = "?01", .replyForm = true},
        {.command = "$01M", .namesModule = true, .line = ">+1.0", .replyForm = false},
        {.command = "%0102", .namesModule = true, .line = "!02", .replyForm = true},
        {.command = "~FF0", .namesModule = true, .line = "!ff", .replyForm = true},
        {.command = "#01", .namesModule = false, .line = ">+1.0", .replyForm = true},
        {.command = "#01", .namesModule = false, .line = "?01", .replyForm = true},
        {.command = "#01", .namesModule = false, .line = "!01", .replyForm = false},
        {.command = "@01", .namesModule = false, .line = ">0F", .replyForm = true},
        {.command = "AT", .namesModule = false, .line = ">", .replyForm = true},
        {.command = "AT", .namesModule = false, .line = "!01", .replyForm = true},
        {.command = "$01M", .namesModule = true, .line = "", .replyForm = false},
        {.command = "@01", .namesModule = false, .line = "!01", .replyForm = false},
        {.command = "%0102", .namesModule = true, .line = ">+1.0", .replyForm = false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(portula::replyNamesModule(c.command), c.namesModule) << c.command;
        EXPECT_EQ(portula::hasReplyForm(c.line, c.command[0]), c.replyForm)
            << c.command << " / " << c.line;
    }
    EXPECT_EQ(portula::replyAddress("!0aX"), "0a");
    EXPECT_EQ(portula::replyAddress("?A"), std::nullopt);
    EXPECT_EQ(portula::replyAddress(">01"), std::nullopt);
    EXPECT_TRUE(portula::sameAddress("0a", "0A"));
    EXPECT_FALSE(portula::sameAddress("01", "10"));
    EXPECT_FALSE(portula::sameAddress("0", "01"));
    EXPECT_EQ(portula::commandAddress("@01"), "01");
    EXPECT_TRUE(portula::isAddress("fF"));
    EXPECT_FALSE(portula::isAddress("1"));
    EXPECT_FALSE(portula::isAddress("1G"));
    EXPECT_FALSE(portula::isAddress("012"));
}

TEST(Rates, ScanRatesAreLineRatesInOrder) {
    for (const std::uint32_t r : portula::kModuleRates)
        EXPECT_TRUE(portula::isStandardRate(r)) << r;
    EXPECT_TRUE(
        std::is_sorted(std::begin(portula::kStandardRates), std::end(portula::kStandardRates)));
    EXPECT_EQ(portula::kStandardRates[0], portula::kMinRate);
    EXPECT_EQ(std::end(portula::kStandardRates)[-1], portula::kMaxRate);
    struct Row {
        std::uint32_t baud;
        bool line, standard;
    };
    for (const Row& r : {Row{.baud = 0, .line = false, .standard = false},
                         Row{.baud = 49, .line = false, .standard = false},
                         Row{.baud = 50, .line = true, .standard = true},
                         Row{.baud = 1000, .line = true, .standard = false},
                         Row{.baud = 14400, .line = true, .standard = false},
                         Row{.baud = 230400, .line = true, .standard = true},
                         Row{.baud = 4000000, .line = true, .standard = true},
                         Row{.baud = 4000001, .line = false, .standard = false}}) {
        EXPECT_EQ(portula::isLineRate(r.baud), r.line) << r.baud;
        EXPECT_EQ(portula::isStandardRate(r.baud), r.standard) << r.baud;
    }
    EXPECT_EQ(portula::ratesTaken(), "any rate from 50 to 4000000 the device takes");
    const std::uint32_t some[] = {1200, 9600};
    EXPECT_EQ(portula::rateList(some), "1200 9600");
    EXPECT_EQ(portula::rateList(some, ", "), "1200, 9600");
    EXPECT_EQ(portula::rateList({}), "");
}

// A driver's rate is taken when a link at it still works: 2 % either way.
TEST(Rates, ARateCloseEnoughForALinkIsTaken) {
    struct Row {
        std::uint32_t asked, got;
        bool close;
    };
    const Row rows[] = {
        {.asked = 9600, .got = 9600, .close = true},
        {.asked = 115200, .got = 115384, .close = true}, // an FTDI chip
        {.asked = 250000, .got = 245000, .close = true}, // exactly 2 % below
        {.asked = 250000, .got = 255000, .close = true}, // exactly 2 % above
        {.asked = 250000, .got = 244999, .close = false},
        {.asked = 250000, .got = 255001, .close = false},
        {.asked = 230400, .got = 115200, .close = false},
        {.asked = 14400, .got = 0, .close = false},
        {.asked = 4000000, .got = 4080000, .close = true}, // no overflow at the top
        {.asked = 4000000, .got = 0xFFFFFFFFu, .close = false},
        {.asked = 50, .got = 51, .close = true},
        {.asked = 50, .got = 52, .close = false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(portula::rateClose(r.asked, r.got), r.close) << r.asked << " / " << r.got;
}

TEST(Rates, ACharacterIsStartDataParityAndStopBits) {
    struct Row {
        const char* framing;
        unsigned dataBits, parity, stopBits, bits;
    };
    const Row rows[] = {
        {.framing = "8N1", .dataBits = 8, .parity = 0, .stopBits = 1, .bits = 10},
        {.framing = "8E1", .dataBits = 8, .parity = 2, .stopBits = 1, .bits = 11},
        {.framing = "8N2", .dataBits = 8, .parity = 0, .stopBits = 2, .bits = 11},
        {.framing = "8O2", .dataBits = 8, .parity = 1, .stopBits = 2, .bits = 12},
        {.framing = "7E1", .dataBits = 7, .parity = 2, .stopBits = 1, .bits = 10},
        {.framing = "5 bits, mark, 2", .dataBits = 5, .parity = 3, .stopBits = 2, .bits = 9},
    };
    for (const Row& r : rows)
        EXPECT_EQ(portula::bitsPerCharacter(r.dataBits, r.parity, r.stopBits), r.bits) << r.framing;
}

TEST(LineWords, ParityAndFlowWordsGoBothWays) {
    const char* parities[] = {"none", "odd", "even", "mark", "space"};
    for (unsigned code = 0; code <= portula::kMaxParity; ++code) {
        EXPECT_STREQ(portula::parityWord(code), parities[code]);
        EXPECT_EQ(portula::parseParity(parities[code]), code);
    }
    const char* flows[] = {"none", "rts-cts", "xon-xoff"};
    for (unsigned code = 0; code <= portula::kMaxFlow; ++code) {
        EXPECT_STREQ(portula::flowWord(code), flows[code]);
        EXPECT_EQ(portula::parseFlow(flows[code]), code);
    }
    EXPECT_EQ(portula::parityWord(5), nullptr);
    EXPECT_EQ(portula::flowWord(3), nullptr);
    for (const char* bad : {"", "Even", "N", "stick", "mark "})
        EXPECT_EQ(portula::parseParity(bad), std::nullopt) << bad;
    for (const char* bad : {"", "rtscts", "RTS-CTS", "hardware", "xon"})
        EXPECT_EQ(portula::parseFlow(bad), std::nullopt) << bad;
}

TEST(Escapes, CommandsWithBackslashEscapes) {
    struct Row {
        const char* text;
        std::string bytes;
        const char* error; // a part of the refusal; empty when taken
    };
    const Row rows[] = {
        {.text = "$01M", .bytes = "$01M", .error = ""},
        {.text = R"(A\x02B)",
         .bytes = "A\x02"
                  "B",
         .error = ""},
        {.text = R"(\x00\xff\xFF)", .bytes = std::string("\0\xFF\xFF", 3), .error = ""},
        {.text = R"(\r\n\t\\)", .bytes = "\r\n\t\\", .error = ""},
        {.text = R"(\\r)", .bytes = R"(\r)", .error = ""},
        {.text = R"(\\x02)", .bytes = R"(\x02)", .error = ""},
        {.text = "\t\xE9", .bytes = "\t\xE9", .error = ""},
        {.text = "", .bytes = "", .error = ""},
        {.text = R"(A\qB)", .bytes = "", .error = R"('\q' is not an escape)"},
        {.text = R"(A\x4)", .bytes = "", .error = R"('\x4' needs two hex digits)"},
        {.text = R"(\xG1)", .bytes = "", .error = R"('\xG1' needs two hex digits)"},
        {.text = R"(\x)", .bytes = "", .error = R"('\x' needs two hex digits)"},
        {.text = "\\x\n1", .bytes = "", .error = R"('\x\n1' needs two hex digits)"},
        {.text = R"(AB\)", .bytes = "", .error = R"('\' ends the command)"},
        {.text = R"(\\\)", .bytes = "", .error = R"('\' ends the command)"},
        {.text = R"(\\\\x\x2)", .bytes = "", .error = R"('\x2' needs)"},
    };
    for (const Row& r : rows) {
        const portula::Unescaped u = portula::unescapeCommand(r.text);
        EXPECT_EQ(u.bytes, r.bytes) << r.text;
        if (*r.error == '\0') {
            EXPECT_EQ(u.error, "") << r.text;
        } else {
            EXPECT_NE(u.error.find(r.error), std::string::npos) << r.text << ": " << u.error;
            EXPECT_EQ(u.error.find('\n'), std::string::npos) << "one line";
        }
    }
}

TEST(FileSinks, OnlyAFileOrACharacterDeviceTakesATrace) {
    char tmpl[] = "/tmp/portula-rules-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string fifo = dir + "/fifo", sock = dir + "/sock", file = dir + "/new.log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    struct Case {
        std::string path;
        bool taken;
        bool regular;
        std::string refusal;
    };
    const Case cases[] = {
        {.path = file, .taken = true, .regular = true, .refusal = ""},
        {.path = "/dev/null", .taken = true, .regular = false, .refusal = ""},
        {.path = fifo,
         .taken = false,
         .regular = false,
         .refusal = fifo + " is a FIFO, not a regular file or a character device"},
        {.path = sock,
         .taken = false,
         .regular = false,
         .refusal = sock + " is a socket, not a regular file or a character device"},
        {.path = dir,
         .taken = false,
         .regular = false,
         .refusal = dir + " is a folder, not a regular file or a character device"},
        {.path = dir + "/no/such",
         .taken = false,
         .regular = false,
         .refusal = "cannot open " + dir + "/no/such for appending: No such file or directory"},
        {.path = dir + "/a\nb", .taken = true, .regular = true, .refusal = ""},
    };
    for (const Case& c : cases) {
        const portula::FileSink sink = portula::openFileSink(c.path, 0600);
        EXPECT_EQ(sink.fd >= 0, c.taken) << c.path;
        EXPECT_EQ(sink.regular, c.regular) << c.path;
        EXPECT_EQ(sink.refusal, c.refusal) << c.path;
        if (sink.fd >= 0) {
            EXPECT_NE(::fcntl(sink.fd, F_GETFL) & O_APPEND, 0);
            EXPECT_NE(::fcntl(sink.fd, F_GETFD) & FD_CLOEXEC, 0);
            ::close(sink.fd);
        }
    }
    // A name that breaks a line is told on one line.
    const portula::FileSink odd = portula::openFileSink(dir + "/x\n/y");
    EXPECT_EQ(odd.refusal.find('\n'), std::string::npos) << odd.refusal;
    ::close(s);
    for (const char* name : {"/fifo", "/sock", "/new.log", "/a\nb"})
        ::unlink((dir + name).c_str());
    ::rmdir(dir.c_str());
}

TEST(StatusTexts, OneTextForEachCodeAndNoneShared) {
    std::set<std::string> texts;
    for (unsigned code = 0; code <= UARTCE_ERR_ECHO_UNKNOWN; ++code) {
        const std::string text = portula::statusText(code);
        EXPECT_NE(text, "unknown status") << code;
        EXPECT_TRUE(texts.insert(text).second) << code << ": " << text;
    }
    EXPECT_STREQ(portula::statusText(UARTCE_ERR_ECHO_UNKNOWN + 1), "unknown status");
    EXPECT_STREQ(portula::statusText(0xFFFF), "unknown status");
    EXPECT_NE(std::string(portula::statusText(UARTCE_ERR_NO_REPLY)).find(portula::kTimeoutWords),
              std::string::npos);
}

} // namespace

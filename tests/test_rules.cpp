// The line's rules as every program uses them: framing and checksums, hex digits, endings,
// addresses and reply forms, rates, where a trace may go and the status codes' words.

#include "rules/FileSink.h"
#include "rules/Framing.h"
#include "rules/Rates.h"
#include "rules/Replies.h"
#include "rules/Status.h"

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
        EXPECT_TRUE(portula::isLineRate(r)) << r;
    EXPECT_TRUE(std::is_sorted(std::begin(portula::kLineRates), std::end(portula::kLineRates)));
    EXPECT_FALSE(portula::isLineRate(1000));
    EXPECT_FALSE(portula::isLineRate(0));
    const std::uint32_t some[] = {1200, 9600};
    EXPECT_EQ(portula::rateList(some), "1200 9600");
    EXPECT_EQ(portula::rateList(some, ", "), "1200, 9600");
    EXPECT_EQ(portula::rateList({}), "");
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
    for (unsigned code = 0; code <= UARTCE_ERR_GARBLED_ECHO; ++code) {
        const std::string text = portula::statusText(code);
        EXPECT_NE(text, "unknown status") << code;
        EXPECT_TRUE(texts.insert(text).second) << code << ": " << text;
    }
    EXPECT_STREQ(portula::statusText(UARTCE_ERR_GARBLED_ECHO + 1), "unknown status");
    EXPECT_STREQ(portula::statusText(0xFFFF), "unknown status");
    EXPECT_NE(std::string(portula::statusText(UARTCE_ERR_NO_REPLY)).find(portula::kTimeoutWords),
              std::string::npos);
}

} // namespace

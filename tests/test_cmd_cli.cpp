// portula-cmd's command line, formats and figures.

#include "cmd/Cli.h"

#include <gtest/gtest.h>
#include <uartce.h>

#include <set>
#include <string>

namespace {

cmd::Parsed parse(std::vector<const char*> args) {
    args.insert(args.begin(), "portula-cmd");
    return cmd::parse(static_cast<int>(args.size()), const_cast<char**>(args.data()));
}

TEST(CmdOptions, BadInputGetsItsOwnExitStatus) {
    const std::string tooLong(cmd::kMaxText + 1, 'x');
    struct Case {
        std::vector<const char*> args;
        int exit;
        const char* names; // a part of the message
    };
    const Case cases[] = {
        {{"--bogus", "$01M"}, cmd::kExitUsage, "'--bogus'"},
        {{"-p"}, cmd::kExitUsage, "needs a value"},
        {{"-p", "COM0", "$01M"}, cmd::kExitUsage, "-p"},
        {{"-p", "ttyS0", "$01M"}, cmd::kExitUsage, "-p"},
        {{"--timeout", "0", "$01M"}, cmd::kExitUsage, "--timeout"},
        {{"--ending", "hex:1", "$01M"}, cmd::kExitUsage, "--ending"},
        {{"--ending", "hex:ZZ", "$01M"}, cmd::kExitUsage, "--ending"},
        {{"--ending", "lf", "--checksum", "$01M"}, cmd::kExitUsage, "--checksum"},
        {{"-b", "9600x", "$01M"}, cmd::kExitBadBaud, "-b"},
        {{"-b", "49", "$01M"}, cmd::kExitBadBaud, "-b"},
        {{"-b", "4000001", "$01M"}, cmd::kExitBadBaud, "any rate from 50 to 4000000"},
        {{"scan", "--bauds", "9600,40"}, cmd::kExitBadBaud, "'40'"},
        {{"scan", "--addresses", "00-FG"}, cmd::kExitBadAddresses, "--addresses"},
        {{"scan", "--addresses", "20-10"}, cmd::kExitBadAddresses, "--addresses"},
        {{"scan", "--addresses", "1"}, cmd::kExitBadAddresses, "--addresses"},
        {{"scan", "$01M"}, cmd::kExitUsage, "no command"},
        {{"scan", "-p", "socket://gw:4001", "--bauds", "9600,19200"},
         cmd::kExitUsage,
         "one rate is the server's"},
        {{"--late-window", "60001", "$01M"}, cmd::kExitUsage, "--late-window"},
        {{tooLong.c_str()}, cmd::kExitTooLong, "4097 bytes"},
        {{"soak", "--count", "0", "$01M"}, cmd::kExitUsage, "--count"},
        {{"soak", "--duration", "10x", "$01M"}, cmd::kExitUsage, "--duration"},
        {{"soak", "--count", "3", "--duration", "1m", "$01M"}, cmd::kExitUsage, "not both"},
        {{"soak", "$01M", "$02M"}, cmd::kExitUsage, "exactly one"},
        {{"-xy", "$01M"}, cmd::kExitUsage, "unknown option '-x'"},
        {{"-p", "COM3", "-bx", "$01M"}, cmd::kExitBadBaud, "'x'"},
        {{"--hex=1", "$01M"}, cmd::kExitUsage, "'--hex' takes no value"},
        {{"--checksum", "auto", "$01M"}, cmd::kExitUsage, "for scan only"},
        {{"soak", "--checksum=auto", "$01M"}, cmd::kExitUsage, "for scan only"},
        {{"--checksum=maybe", "$01M"}, cmd::kExitUsage, "'maybe' is not on, off or auto"},
        {{"--version=1"}, cmd::kExitUsage, "'--version' takes no value"},
        {{"--data-bits", "4", "$01M"}, cmd::kExitUsage, "--data-bits: '4' is not 5, 6, 7 or 8"},
        {{"--data-bits", "9", "$01M"}, cmd::kExitUsage, "--data-bits"},
        {{"--parity", "stick", "$01M"}, cmd::kExitUsage, "'stick' is not none, odd, even"},
        {{"--flow", "hardware", "$01M"}, cmd::kExitUsage, "'hardware' is not none, rts-cts"},
        {{"--escapes", R"(A\qB)"}, cmd::kExitUsage, R"(A\\qB: '\q' is not an escape)"},
        {{"--escapes", R"($01\x4)"}, cmd::kExitUsage, R"('\x4' needs two hex digits)"},
        {{"--escapes", R"(A\x00B)"}, cmd::kExitUsage, "a NUL byte cannot go in a command"},
        {{"soak", "--escapes", R"(A\)"}, cmd::kExitUsage, "ends the command"},
        {{"scan", "--escapes"}, cmd::kExitUsage, "'--escapes' does nothing in scan"},
    };
    for (const Case& c : cases) {
        const cmd::Parsed p = parse(c.args);
        EXPECT_EQ(p.exit, c.exit) << c.args.front() << ": " << p.error;
        EXPECT_NE(p.error.find(c.names), std::string::npos) << p.error;
    }
}

// An option that does nothing in the mode given is refused, naming the option and the mode,
// rather than left to look as if it had been applied.
TEST(CmdOptions, OptionsOfAnotherModeAreRefused) {
    struct Case {
        std::vector<const char*> args;
        const char* option; // as the user wrote it
        const char* mode;
    };
    const Case cases[] = {
        {{"--expect", "!01X", "$01M"}, "'--expect'", "command mode"},
        {{"--count", "3", "$01M"}, "'--count'", "command mode"},
        {{"--interval", "100", "$01M"}, "'--interval'", "command mode"},
        {{"--duration=1m", "$01M"}, "'--duration'", "command mode"},
        {{"--bauds", "9600", "$01M"}, "'--bauds'", "command mode"},
        {{"--addresses", "01", "$01M"}, "'--addresses'", "command mode"},
        {{"scan", "--count", "3"}, "'--count'", "scan"},
        {{"scan", "--expect", "!01X"}, "'--expect'", "scan"},
        {{"scan", "--interval", "10"}, "'--interval'", "scan"},
        {{"scan", "--duration", "5s"}, "'--duration'", "scan"},
        {{"scan", "-b", "19200"}, "'-b'", "scan"},
        {{"scan", "--baud", "19200"}, "'--baud'", "scan"},
        {{"scan", "-b19200"}, "'-b'", "scan"},
        {{"scan", "--hex"}, "'--hex'", "scan"},
        {{"scan", "--ending", "lf"}, "'--ending'", "scan"},
        {{"soak", "--bauds", "9600", "$01M"}, "'--bauds'", "soak"},
        {{"soak", "--addresses", "01", "$01M"}, "'--addresses'", "soak"},
        {{"soak", "--hex", "$01M"}, "'--hex'", "soak"},
    };
    for (const Case& c : cases) {
        const cmd::Parsed p = parse(c.args);
        EXPECT_EQ(p.exit, cmd::kExitUsage) << c.option << " in " << c.mode << ": " << p.error;
        EXPECT_NE(p.error.find(c.option), std::string::npos) << p.error;
        EXPECT_NE(p.error.find(std::string("in ") + c.mode), std::string::npos) << p.error;
    }
    // Each of them where it belongs.
    const std::vector<const char*> accepted[] = {
        {"--hex", "--ending", "lf", "-b", "19200", "$01M"},
        {"scan", "--bauds", "9600", "--addresses", "01", "--checksum", "auto"},
        {"soak", "-b", "19200", "--ending", "crlf", "--interval", "10", "--count", "3", "--expect",
         "!01X", "$01M"},
        {"soak", "--duration", "5s", "$01M"},
    };
    for (const auto& args : accepted)
        EXPECT_EQ(parse(args).exit, 0) << parse(args).error;
}

TEST(CmdOptions, GoodCommandLines) {
    auto p = parse({"-p", "com3", "-b", "115200", "--stop-bits", "2", "--checksum", "--timeout",
                    "50", "--json", "$01M", "$01F"});
    ASSERT_EQ(p.exit, 0) << p.error;
    EXPECT_EQ(p.options.mode, cmd::Mode::Command);
    EXPECT_EQ(p.options.baud, 115200u);
    EXPECT_EQ(p.options.stopBits, 2);
    EXPECT_TRUE(p.options.checksum);
    EXPECT_EQ(p.options.timeoutMs, 50u);
    EXPECT_EQ(p.options.commands, (std::vector<std::string>{"$01M", "$01F"}));

    p = parse({"--ending", "hex:1A0d", "$01M"});
    EXPECT_EQ(p.options.endingBytes, "\x1A\r");
    p = parse({"--ending", "lfcr", "$01M"});
    EXPECT_EQ(p.options.endingBytes, "\n\r");

    p = parse({"scan", "--bauds", "9600,115200", "--addresses", "1F,00-02,01", "--checksum=off"});
    ASSERT_EQ(p.exit, 0) << p.error;
    EXPECT_EQ(p.options.mode, cmd::Mode::Scan);
    EXPECT_EQ(p.options.bauds, (std::vector<std::uint32_t>{9600, 115200}));
    EXPECT_EQ(p.options.addresses, (std::vector<unsigned>{0, 1, 2, 0x1F}));
    EXPECT_EQ(p.options.scanChecksum, cmd::ScanChecksum::Off);
    EXPECT_EQ(parse({"scan"}).options.addresses.size(), 256u);
    EXPECT_EQ(parse({"scan", "--checksum", "on"}).options.scanChecksum, cmd::ScanChecksum::On);
    EXPECT_EQ(parse({"--checksum", "$01M"}).options.commands, std::vector<std::string>{"$01M"});

    p = parse({"-b", "250000", "--data-bits", "7", "--parity", "space", "--flow", "xon-xoff",
               R"(A\x02B)", R"(\r)"});
    ASSERT_EQ(p.exit, 0) << p.error;
    EXPECT_EQ(p.options.baud, 250000u);
    EXPECT_EQ(p.options.dataBits, 7);
    EXPECT_EQ(p.options.parity, 4);
    EXPECT_EQ(p.options.flow, 2);
    EXPECT_EQ(p.options.commands, (std::vector<std::string>{R"(A\x02B)", R"(\r)"}))
        << "without --escapes a backslash is a backslash";
    const uartce_line line = cmd::lineOf(p.options);
    EXPECT_EQ(line.size, sizeof line);
    EXPECT_EQ(line.baud, 250000u);
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_EQ(line.parity, 4);
    EXPECT_EQ(line.stopBits, 1);
    EXPECT_EQ(line.flow, UARTCE_FLOW_XON_XOFF);
    p = parse({"--escapes", R"(A\x02B)", R"(\\r\t)"});
    ASSERT_EQ(p.exit, 0) << p.error;
    EXPECT_EQ(p.options.commands, (std::vector<std::string>{"A\x02"
                                                            "B",
                                                            "\\r\t"}));
    p = parse({"--escapes", "--ending", "none", R"(\x00\x01)"});
    ASSERT_EQ(p.exit, 0) << p.error;
    EXPECT_EQ(p.options.commands, (std::vector<std::string>{std::string("\0\x01", 2)}));
    p = parse({"scan", "--bauds", "14400,50,4000000,250000"});
    ASSERT_EQ(p.exit, 0) << p.error;
    EXPECT_EQ(p.options.bauds, (std::vector<std::uint32_t>{14400, 50, 4000000, 250000}));

    p = parse({"soak", "--duration", "10m", "--interval", "100", "--expect", "!01X", "$01M"});
    ASSERT_EQ(p.exit, 0) << p.error;
    EXPECT_EQ(p.options.durationMs, 600000u);
    EXPECT_EQ(p.options.expect, "!01X");
}

// --version answers in every mode, before the checks that need a command or a port.
// The subcommand is the first word that is not an option or its value, wherever it stands; a
// command that is only a subcommand's name is refused, never sent.
TEST(CmdOptions, TheSubcommandStandsBeforeOrAfterTheOptions) {
    struct Case {
        std::vector<const char*> args;
        int exit;
        cmd::Mode mode;
        std::vector<std::string> commands;
    };
    using cmd::Mode;
    const Case cases[] = {
        {{"-p", "COM3", "scan"}, 0, Mode::Scan, {}},
        {{"-p", "COM3", "scan", "--bauds", "9600"}, 0, Mode::Scan, {}},
        {{"--checksum", "on", "--timeout", "100", "soak", "$01M"}, 0, Mode::Soak, {"$01M"}},
        {{"-pCOM3", "--timeout=100", "term"}, 0, Mode::Terminal, {}},
        {{"-b", "9600", "$01M", "$01F"}, 0, Mode::Command, {"$01M", "$01F"}},
        {{"-p", "COM3", "$01M", "scan"}, cmd::kExitUsage, Mode::Command, {}},
        {{"--", "term"}, cmd::kExitUsage, Mode::Command, {}},
    };
    for (const Case& c : cases) {
        const cmd::Parsed p = parse(c.args);
        EXPECT_EQ(p.exit, c.exit) << c.args.back() << ": " << p.error;
        if (p.exit != 0) {
            EXPECT_NE(p.error.find("is a subcommand"), std::string::npos) << p.error;
            continue;
        }
        EXPECT_EQ(p.options.mode, c.mode) << c.args.back();
        EXPECT_EQ(p.options.commands, c.commands) << c.args.back();
    }
}

// A raw TCP port is scanned once, at whatever rate the server has.
TEST(CmdOptions, ARawTcpPortIsScannedOnce) {
    for (const std::vector<const char*>& args :
         {std::vector<const char*>{"scan", "-p", "socket://gw:4001"},
          std::vector<const char*>{"scan", "-p", "socket://gw:4001", "--bauds", "19200"}}) {
        const cmd::Parsed p = parse(args);
        EXPECT_EQ(p.exit, 0) << p.error;
        EXPECT_EQ(p.options.bauds.size(), 1u);
        EXPECT_TRUE(p.options.serverRate);
    }
    EXPECT_FALSE(parse({"scan", "-p", "rfc2217://gw:4001"}).options.serverRate);
    EXPECT_EQ(parse({"scan", "-p", "rfc2217://gw:4001"}).options.bauds.size(), 8u);
}

// One rule for every line a scan hears, whenever it came.
TEST(CmdScan, EveryLineIsJudgedOneWay) {
    struct Case {
        const char* line;
        bool checksum;
        const char* address; // null: no module
        const char* name;
        bool unknownCommand;
    };
    const Case cases[] = {
        {"!01PORTULA-SIM", false, "01", "PORTULA-SIM", false},
        {"!0aX\r", false, "0A", "X", false},
        {"\n!02NAME\r\n", false, "02", "NAME", false},
        {"?03", false, "03", "", true},
        // With checksums the digits must be right, and are no part of the name.
        {"!01PORTULA-SIM-014D", true, "01", "PORTULA-SIM-01", false},
        {"!01PORTULA-SIM-014E", true, nullptr, "", false},
        {"?02A2", true, nullptr, "", false},
        {"?02a1", true, "02", "", true},
        {"$01M", false, nullptr, "", false},
        {"01M", false, nullptr, "", false},
        {">+01.000", false, nullptr, "", false},
        {"", false, nullptr, "", false},
    };
    for (const Case& c : cases) {
        const auto a = cmd::judgeScanReply(c.line, c.checksum);
        ASSERT_EQ(a.has_value(), c.address != nullptr) << c.line;
        if (!a)
            continue;
        EXPECT_EQ(a->address, c.address) << c.line;
        EXPECT_EQ(a->name, c.name) << c.line;
        EXPECT_EQ(a->unknownCommand, c.unknownCommand) << c.line;
    }
}

// --help says what every exit status means.
TEST(CmdOptions, HelpListsEveryExitStatus) {
    const std::string help = cmd::usageText();
    const std::string statuses = help.substr(help.find("Exit status:"));
    for (int exit :
         {cmd::kExitOk, cmd::kExitUsage, cmd::kExitBadAddresses, cmd::kExitBadBaud,
          cmd::kExitTooLong, cmd::kExitPortRefused, cmd::kExitNoReply, cmd::kExitReplyCut,
          cmd::kExitChecksum, cmd::kExitReplyTooLong, cmd::kExitHangUp, cmd::kExitLineError,
          cmd::kExitSoakFailures, cmd::kExitNothingFound, cmd::kExitOutput, cmd::kExitInterrupted})
        EXPECT_NE(statuses.find(" " + std::to_string(exit) + " "), std::string::npos) << exit;
}

TEST(CmdOptions, VersionInEveryMode) {
    const std::vector<std::vector<const char*>> cases = {
        {"--version"}, {"scan", "--version"}, {"soak", "--version"}, {"-p", "COM3", "--version"}};
    for (const auto& args : cases) {
        const cmd::Parsed p = parse(args);
        EXPECT_EQ(p.exit, 0) << args.front() << ": " << p.error;
        EXPECT_TRUE(p.options.version) << args.front();
        EXPECT_FALSE(p.options.help) << args.front();
    }
}

TEST(CmdPorts, NamesTheDialogAccepts) {
    struct Case {
        const char* name;
        std::optional<unsigned> number;
        const char* device;
    };
    const Case cases[] = {
        {"COM2", 2, ""},
        {"com20", 20, ""},
        {"7", 7, ""},
        {"/dev/ttyUSB0", 0, "/dev/ttyUSB0"},
        {"rfc2217://host:4001", 0, "rfc2217://host:4001"},
        {"socket://10.0.0.5:502", 0, "socket://10.0.0.5:502"},
        {"COM0", std::nullopt, ""},
        {"COM256", std::nullopt, ""},
        {"COM250", 250, ""}, // an ordinary port
        {"ttyUSB0", std::nullopt, ""},
        {"", std::nullopt, ""},
    };
    for (const Case& c : cases) {
        const auto choice = cmd::choosePort(c.name);
        ASSERT_EQ(choice.has_value(), c.number.has_value()) << c.name;
        if (choice) {
            EXPECT_EQ(choice->number, *c.number) << c.name;
            EXPECT_EQ(choice->device, c.device) << c.name;
        }
    }
}

TEST(CmdFormat, BytesShownAsTextHexAndJson) {
    const std::string bytes("!01\"\\\r\0\xFF", 8);
    EXPECT_EQ(cmd::showBytes(bytes, false), "!01\"\\x5C\\x0D\\x00\\xFF");
    EXPECT_EQ(cmd::showBytes(bytes, true), "21 30 31 22 5C 0D 00 FF");
    EXPECT_EQ(cmd::jsonString(bytes), "\"!01\\\"\\\\\\u000D\\u0000\\u00FF\"");
    EXPECT_EQ(cmd::jsonString(" ~\x7F\x1F"), "\" ~\\u007F\\u001F\"");
}

TEST(CmdFormat, MessageLinesStayOnOneLine) {
    struct Case {
        std::string text;
        const char* line;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {"back\\slash", "back\\\\slash"},
        {std::string("\0\x1B\x7F\xC3\xA9", 5), "\\x00\\x1B\\x7F\\xC3\\xA9"},
        {"", ""},
        {"a b~\x1F", "a b~\\x1F"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cmd::escapeForLine(c.text), c.line);
}

TEST(CmdFormat, EveryFailureHasItsWords) {
    // Each failure is told apart from every other and from an answer; those that waited say for
    // how long, in the time-out the command was given.
    const unsigned failures[] = {UARTCE_ERR_NOT_OPEN,     UARTCE_ERR_WRITE,
                                 UARTCE_ERR_NO_REPLY,     UARTCE_ERR_REPLY_CUT,
                                 UARTCE_ERR_CHECKSUM,     UARTCE_ERR_REPLY_TOO_LONG,
                                 UARTCE_ERR_HANGUP,       UARTCE_ERR_READ,
                                 UARTCE_ERR_BAD_ARGUMENT, UARTCE_ERR_GARBLED_ECHO};
    std::set<std::string> seen{cmd::statusWords(UARTCE_OK, 150)};
    for (const unsigned status : failures) {
        const std::string words = cmd::statusWords(status, 150);
        EXPECT_TRUE(seen.insert(words).second) << status << ": " << words;
        const bool waited = status == UARTCE_ERR_NO_REPLY || status == UARTCE_ERR_REPLY_CUT;
        EXPECT_EQ(words.find("150 ms") != std::string::npos, waited) << words;
        EXPECT_EQ(cmd::statusWords(status, 150) == cmd::statusWords(status, 900), !waited);
        EXPECT_EQ(words.find("unknown"), std::string::npos) << words;
    }
}

TEST(CmdScan, TimeOutFollowsTheWireTimeOfACommandAndItsReply) {
    struct Case {
        std::uint32_t baud;
        bool checksum;
        unsigned frameBits;
        unsigned ms;
    };
    // (5 or 7 command bytes + 33 reply bytes) x 10, 11 or 12 bits, rounded up, + 20 ms
    const Case cases[] = {
        {115200, false, 10, 4 + 20}, {9600, false, 10, 40 + 20},  {9600, true, 10, 42 + 20},
        {9600, true, 11, 46 + 20},   {1200, false, 10, 317 + 20}, {9600, false, 12, 48 + 20},
        {14400, false, 10, 27 + 20},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cmd::scanTimeoutMs(c.baud, c.checksum, c.frameBits), c.ms) << c.baud;
    struct Framing {
        std::vector<const char*> args;
        unsigned bits;
    };
    for (const Framing& f : {Framing{{"scan"}, 10}, Framing{{"scan", "--stop-bits", "2"}, 11},
                             Framing{{"scan", "--data-bits", "7", "--parity", "even"}, 10},
                             Framing{{"scan", "--parity", "mark", "--stop-bits", "2"}, 12},
                             Framing{{"scan", "--data-bits", "5"}, 7}})
        EXPECT_EQ(cmd::frameBits(parse(f.args).options), f.bits) << f.args.back();

    cmd::Options o = parse({"scan"}).options;
    o.bauds = {9600, 115200};
    o.scanChecksum = cmd::ScanChecksum::Auto;
    EXPECT_EQ(cmd::scanWorstCaseMs(o), 256u * (60 + 62 + 24 + 24));
    o.scanChecksum = cmd::ScanChecksum::Off;
    o.timeoutMs = 100;
    o.addresses = {1, 2, 3};
    EXPECT_EQ(cmd::scanWorstCaseMs(o), 2u * 3 * 100);
}

TEST(CmdSoak, CountsEachKindOfFailureAndTheLongestRun) {
    cmd::SoakStats stats;
    const cmd::Outcome sequence[] = {
        {UARTCE_OK, true, 300},          {UARTCE_ERR_NO_REPLY, false, 0},
        {UARTCE_ERR_CHECKSUM, false, 0}, {UARTCE_OK, false, 0}, // a reply it did not expect
        {UARTCE_OK, true, 100},          {UARTCE_ERR_HANGUP, false, 0},
        {UARTCE_OK, true, 200},          {UARTCE_OK, true, 900},
    };
    for (const cmd::Outcome& o : sequence)
        stats.add(o);
    EXPECT_EQ(stats.sent(), 8u);
    EXPECT_EQ(stats.answered(), 4u);
    EXPECT_EQ(stats.timeouts(), 1u);
    EXPECT_EQ(stats.checksumErrors(), 1u);
    EXPECT_EQ(stats.unexpected(), 1u);
    EXPECT_EQ(stats.otherErrors(), 1u);
    EXPECT_EQ(stats.longestFailureRun(), 3u);
    EXPECT_EQ(stats.roundTripUs(0), 100);
    EXPECT_EQ(stats.roundTripUs(0.5), 200);
    EXPECT_EQ(stats.roundTripUs(0.99), 900);
    EXPECT_EQ(stats.roundTripUs(1), 900);
    EXPECT_EQ(cmd::SoakStats{}.roundTripUs(0.5), 0);
}

} // namespace

// portula-cmd's command line, formats and figures.

#include "cmd/Cli.h"
#include "cmd/Inventory.h"

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
        {.args = {"--bogus", "$01M"}, .exit = cmd::kExitUsage, .names = "'--bogus'"},
        {.args = {"-p"}, .exit = cmd::kExitUsage, .names = "needs a value"},
        {.args = {"-p", "COM0", "$01M"}, .exit = cmd::kExitUsage, .names = "-p"},
        {.args = {"-p", "ttyS0", "$01M"}, .exit = cmd::kExitUsage, .names = "-p"},
        {.args = {"--timeout", "0", "$01M"}, .exit = cmd::kExitUsage, .names = "--timeout"},
        {.args = {"--ending", "hex:1", "$01M"}, .exit = cmd::kExitUsage, .names = "--ending"},
        {.args = {"--ending", "hex:ZZ", "$01M"}, .exit = cmd::kExitUsage, .names = "--ending"},
        {.args = {"--ending", "lf", "--checksum", "$01M"},
         .exit = cmd::kExitUsage,
         .names = "--checksum"},
        {.args = {"-b", "9600x", "$01M"}, .exit = cmd::kExitBadBaud, .names = "-b"},
        {.args = {"-b", "49", "$01M"}, .exit = cmd::kExitBadBaud, .names = "-b"},
        {.args = {"-b", "4000001", "$01M"},
         .exit = cmd::kExitBadBaud,
         .names = "any rate from 50 to 4000000"},
        {.args = {"scan", "--bauds", "9600,40"}, .exit = cmd::kExitBadBaud, .names = "'40'"},
        {.args = {"scan", "--addresses", "00-FG"},
         .exit = cmd::kExitBadAddresses,
         .names = "--addresses"},
        {.args = {"scan", "--addresses", "20-10"},
         .exit = cmd::kExitBadAddresses,
         .names = "--addresses"},
        {.args = {"scan", "--addresses", "1"},
         .exit = cmd::kExitBadAddresses,
         .names = "--addresses"},
        {.args = {"scan", "$01M"}, .exit = cmd::kExitUsage, .names = "no command"},
        {.args = {"scan", "-p", "socket://gw:4001", "--bauds", "9600,19200"},
         .exit = cmd::kExitUsage,
         .names = "one rate is the server's"},
        {.args = {"--late-window", "60001", "$01M"},
         .exit = cmd::kExitUsage,
         .names = "--late-window"},
        {.args = {tooLong.c_str()}, .exit = cmd::kExitTooLong, .names = "4097 bytes"},
        {.args = {"soak", "--count", "0", "$01M"}, .exit = cmd::kExitUsage, .names = "--count"},
        {.args = {"soak", "--duration", "10x", "$01M"},
         .exit = cmd::kExitUsage,
         .names = "--duration"},
        {.args = {"soak", "--count", "3", "--duration", "1m", "$01M"},
         .exit = cmd::kExitUsage,
         .names = "not both"},
        {.args = {"soak", "$01M", "$02M"}, .exit = cmd::kExitUsage, .names = "exactly one"},
        {.args = {"-xy", "$01M"}, .exit = cmd::kExitUsage, .names = "unknown option '-x'"},
        {.args = {"-p", "COM3", "-bx", "$01M"}, .exit = cmd::kExitBadBaud, .names = "'x'"},
        {.args = {"--hex=1", "$01M"}, .exit = cmd::kExitUsage, .names = "'--hex' takes no value"},
        {.args = {"--checksum", "auto", "$01M"}, .exit = cmd::kExitUsage, .names = "for scan only"},
        {.args = {"soak", "--checksum=auto", "$01M"},
         .exit = cmd::kExitUsage,
         .names = "for scan only"},
        {.args = {"--checksum=maybe", "$01M"},
         .exit = cmd::kExitUsage,
         .names = "'maybe' is not on, off or auto"},
        {.args = {"--version=1"}, .exit = cmd::kExitUsage, .names = "'--version' takes no value"},
        {.args = {"--data-bits", "4", "$01M"},
         .exit = cmd::kExitUsage,
         .names = "--data-bits: '4' is not 5, 6, 7 or 8"},
        {.args = {"--data-bits", "9", "$01M"}, .exit = cmd::kExitUsage, .names = "--data-bits"},
        {.args = {"--parity", "stick", "$01M"},
         .exit = cmd::kExitUsage,
         .names = "'stick' is not none, odd, even"},
        {.args = {"--flow", "hardware", "$01M"},
         .exit = cmd::kExitUsage,
         .names = "'hardware' is not none, rts-cts"},
        {.args = {"--escapes", R"(A\qB)"},
         .exit = cmd::kExitUsage,
         .names = R"(A\\qB: '\q' is not an escape)"},
        {.args = {"--escapes", R"($01\x4)"},
         .exit = cmd::kExitUsage,
         .names = R"('\x4' needs two hex digits)"},
        {.args = {"--escapes", R"(A\x00B)"},
         .exit = cmd::kExitUsage,
         .names = "a NUL byte cannot go in a command"},
        {.args = {"soak", "--escapes", R"(A\)"},
         .exit = cmd::kExitUsage,
         .names = "ends the command"},
        {.args = {"scan", "--escapes"},
         .exit = cmd::kExitUsage,
         .names = "'--escapes' does nothing in scan"},
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
        {.args = {"--expect", "!01X", "$01M"}, .option = "'--expect'", .mode = "command mode"},
        {.args = {"--count", "3", "$01M"}, .option = "'--count'", .mode = "command mode"},
        {.args = {"--interval", "100", "$01M"}, .option = "'--interval'", .mode = "command mode"},
        {.args = {"--duration=1m", "$01M"}, .option = "'--duration'", .mode = "command mode"},
        {.args = {"--bauds", "9600", "$01M"}, .option = "'--bauds'", .mode = "command mode"},
        {.args = {"--addresses", "01", "$01M"}, .option = "'--addresses'", .mode = "command mode"},
        {.args = {"scan", "--count", "3"}, .option = "'--count'", .mode = "scan"},
        {.args = {"scan", "--expect", "!01X"}, .option = "'--expect'", .mode = "scan"},
        {.args = {"scan", "--interval", "10"}, .option = "'--interval'", .mode = "scan"},
        {.args = {"scan", "--duration", "5s"}, .option = "'--duration'", .mode = "scan"},
        {.args = {"scan", "-b", "19200"}, .option = "'-b'", .mode = "scan"},
        {.args = {"scan", "--baud", "19200"}, .option = "'--baud'", .mode = "scan"},
        {.args = {"scan", "-b19200"}, .option = "'-b'", .mode = "scan"},
        {.args = {"scan", "--hex"}, .option = "'--hex'", .mode = "scan"},
        {.args = {"scan", "--ending", "lf"}, .option = "'--ending'", .mode = "scan"},
        {.args = {"soak", "--bauds", "9600", "$01M"}, .option = "'--bauds'", .mode = "soak"},
        {.args = {"soak", "--addresses", "01", "$01M"}, .option = "'--addresses'", .mode = "soak"},
        {.args = {"soak", "--hex", "$01M"}, .option = "'--hex'", .mode = "soak"},
        {.args = {"--save", "plant.json", "$01M"}, .option = "'--save'", .mode = "command mode"},
        {.args = {"soak", "--compare", "plant.json", "$01M"},
         .option = "'--compare'",
         .mode = "soak"},
        {.args = {"term", "--map-ports"}, .option = "'--map-ports'", .mode = "term"},
        {.args = {"--csv", "$01M"}, .option = "'--csv'", .mode = "command mode"},
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
        {"scan", "-p", "COM3", "-p", "rfc2217://gw:4001", "--csv", "--save", "plant.json"},
        {"scan", "--map-ports", "--compare", "plant.json", "--json"},
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
        {.args = {"-p", "COM3", "scan"}, .exit = 0, .mode = Mode::Scan, .commands = {}},
        {.args = {"-p", "COM3", "scan", "--bauds", "9600"},
         .exit = 0,
         .mode = Mode::Scan,
         .commands = {}},
        {.args = {"--checksum", "on", "--timeout", "100", "soak", "$01M"},
         .exit = 0,
         .mode = Mode::Soak,
         .commands = {"$01M"}},
        {.args = {"-pCOM3", "--timeout=100", "term"},
         .exit = 0,
         .mode = Mode::Terminal,
         .commands = {}},
        {.args = {"-b", "9600", "$01M", "$01F"},
         .exit = 0,
         .mode = Mode::Command,
         .commands = {"$01M", "$01F"}},
        {.args = {"-p", "COM3", "$01M", "scan"},
         .exit = cmd::kExitUsage,
         .mode = Mode::Command,
         .commands = {}},
        {.args = {"--", "term"}, .exit = cmd::kExitUsage, .mode = Mode::Command, .commands = {}},
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
        {.line = "!01PORTULA-SIM",
         .checksum = false,
         .address = "01",
         .name = "PORTULA-SIM",
         .unknownCommand = false},
        {.line = "!0aX\r",
         .checksum = false,
         .address = "0A",
         .name = "X",
         .unknownCommand = false},
        {.line = "\n!02NAME\r\n",
         .checksum = false,
         .address = "02",
         .name = "NAME",
         .unknownCommand = false},
        {.line = "?03", .checksum = false, .address = "03", .name = "", .unknownCommand = true},
        // With checksums the digits must be right, and are no part of the name.
        {.line = "!01PORTULA-SIM-014D",
         .checksum = true,
         .address = "01",
         .name = "PORTULA-SIM-01",
         .unknownCommand = false},
        {.line = "!01PORTULA-SIM-014E",
         .checksum = true,
         .address = nullptr,
         .name = "",
         .unknownCommand = false},
        {.line = "?02A2",
         .checksum = true,
         .address = nullptr,
         .name = "",
         .unknownCommand = false},
        {.line = "?02a1", .checksum = true, .address = "02", .name = "", .unknownCommand = true},
        {.line = "$01M",
         .checksum = false,
         .address = nullptr,
         .name = "",
         .unknownCommand = false},
        {.line = "01M", .checksum = false, .address = nullptr, .name = "", .unknownCommand = false},
        {.line = ">+01.000",
         .checksum = false,
         .address = nullptr,
         .name = "",
         .unknownCommand = false},
        {.line = "", .checksum = false, .address = nullptr, .name = "", .unknownCommand = false},
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
    for (int exit : {cmd::kExitOk,           cmd::kExitUsage,        cmd::kExitBadAddresses,
                     cmd::kExitBadBaud,      cmd::kExitTooLong,      cmd::kExitPortRefused,
                     cmd::kExitNoReply,      cmd::kExitReplyCut,     cmd::kExitChecksum,
                     cmd::kExitReplyTooLong, cmd::kExitHangUp,       cmd::kExitLineError,
                     cmd::kExitSoakFailures, cmd::kExitNothingFound, cmd::kExitOutput,
                     cmd::kExitPlantDiffers, cmd::kExitBusFailed,    cmd::kExitException,
                     cmd::kExitEchoUnknown,  cmd::kExitInterrupted})
        EXPECT_NE(statuses.find(" " + std::to_string(exit) + " "), std::string::npos) << exit;
}

// Modbus requests are hex bytes, framed by the library: the options that frame or spell text
// commands do nothing with them and are refused, as is a request no frame can carry.
TEST(CmdOptions, ModbusRequestsAreHexBytes) {
    const std::string longest = "0103" + std::string(2 * cmd::kMaxModbusRequest - 4, 'a');
    const std::string tooLong = longest + "01";
    struct Case {
        std::vector<const char*> args;
        int exit;
        const char* names = "";
        std::vector<std::string> requests = {};
    };
    const Case cases[] = {
        {.args = {"--modbus", "rtu", "05 03 00 00 00 0A", "0506000100 0f"},
         .exit = cmd::kExitOk,
         .requests = {std::string("\x05\x03\x00\x00\x00\x0A", 6),
                      std::string("\x05\x06\x00\x01\x00\x0F", 6)}},
        {.args = {"--modbus=ascii", "--json", "--timeout", "500", "00 06 00 01 00 03"},
         .exit = cmd::kExitOk,
         .requests = {std::string("\x00\x06\x00\x01\x00\x03", 6)}},
        {.args = {"--modbus", "ascii", longest.c_str()},
         .exit = cmd::kExitOk,
         .requests = {"\x01\x03" + std::string(cmd::kMaxModbusRequest - 2, '\xAA')}},
        {.args = {"--modbus", "tcp", "05 03"},
         .exit = cmd::kExitUsage,
         .names = "--modbus: 'tcp' is neither rtu nor ascii"},
        {.args = {"--modbus", "rtu", "05 3"},
         .exit = cmd::kExitUsage,
         .names = "05 3: not a request"},
        {.args = {"--modbus", "rtu", "$01M"}, .exit = cmd::kExitUsage, .names = "in hex bytes"},
        {.args = {"--modbus", "rtu", "05"}, .exit = cmd::kExitUsage, .names = "at least a slave"},
        {.args = {"--modbus", "rtu", "05 83 00 00 00 01"},
         .exit = cmd::kExitUsage,
         .names = "function 83: a request's function is 01 to 7F"},
        {.args = {"--modbus", "rtu", "05 00"}, .exit = cmd::kExitUsage, .names = "function 00"},
        {.args = {"--modbus", "rtu", "--line-echo", "2", "05 06 00 01 00 03"},
         .exit = cmd::kExitOk,
         .requests = {std::string("\x05\x06\x00\x01\x00\x03", 6)}},
        {.args = {"--modbus", "rtu", "--line-echo", "3", "05 03"},
         .exit = cmd::kExitUsage,
         .names = "--line-echo: '3' is not 0, 1 or 2"},
        {.args = {"--line-echo", "1", "$01M"},
         .exit = cmd::kExitUsage,
         .names = "'--line-echo' does nothing without --modbus"},
        {.args = {"scan", "--modbus", "rtu", "--line-echo", "1"},
         .exit = cmd::kExitUsage,
         .names = "--line-echo"},
        {.args = {"--modbus", "rtu", tooLong.c_str()},
         .exit = cmd::kExitTooLong,
         .names = "254 bytes; the longest is 253"},
        {.args = {"--modbus", "rtu", "--checksum", "05 03"},
         .exit = cmd::kExitUsage,
         .names = "'--checksum' does nothing with --modbus"},
        {.args = {"--modbus", "rtu", "--ending", "lf", "05 03"},
         .exit = cmd::kExitUsage,
         .names = "'--ending' does nothing with --modbus"},
        {.args = {"--escapes", "--modbus", "rtu", "05 03"},
         .exit = cmd::kExitUsage,
         .names = "'--escapes' does nothing with --modbus"},
        {.args = {"soak", "--modbus", "rtu", "--expect", "05 03 02 00 01", "05 03 00 00 00 01"},
         .exit = cmd::kExitOk,
         .requests = {std::string("\x05\x03\x00\x00\x00\x01", 6)}},
        {.args = {"soak", "--modbus", "rtu", "--expect", "0z", "05 03 00 00 00 01"},
         .exit = cmd::kExitUsage,
         .names = "--expect: '0z' is not a reply in hex bytes"},
        {.args = {"scan", "--modbus", "rtu", "05 03"},
         .exit = cmd::kExitUsage,
         .names = "scan takes no command"},
        {.args = {"term", "--modbus", "ascii"}, .exit = cmd::kExitOk},
    };
    for (const Case& c : cases) {
        const cmd::Parsed p = parse(c.args);
        EXPECT_EQ(p.exit, c.exit) << c.args[1] << ": " << p.error;
        EXPECT_NE(p.error.find(c.names), std::string::npos) << p.error;
        if (c.exit == cmd::kExitOk) {
            EXPECT_TRUE(p.options.modbus.has_value());
            EXPECT_EQ(p.options.commands, c.requests);
        }
        // soak --modbus compares the reply's bytes with those --expect gives in hex.
        if (c.exit == cmd::kExitOk && p.options.expect) {
            EXPECT_EQ(*p.options.expect, std::string("\x05\x03\x02\x00\x01", 5));
        }
    }
    EXPECT_EQ(cmd::exitForStatus(UARTCE_ERR_EXCEPTION), cmd::kExitException);
}

// scan --modbus: decimal slave ids (1 to 247), the parities in order, and the options that
// would do nothing there refused.
TEST(CmdOptions, ModbusScanTakesSlaveIdsAndParities) {
    struct Case {
        std::vector<const char*> args;
        int exit = cmd::kExitOk;
        const char* names = "";
        std::vector<unsigned> ids = {};
        std::vector<std::uint8_t> parities = {};
    };
    std::vector<unsigned> all;
    for (unsigned id = 1; id <= 247; ++id)
        all.push_back(id);
    const Case cases[] = {
        {.args = {"scan", "--modbus", "rtu"}, .ids = all, .parities = {2, 0}},
        {.args = {"scan", "--addresses", "10-12,1,11", "--modbus", "ascii", "--parities",
                  "none,odd,none"},
         .ids = {1, 10, 11, 12},
         .parities = {0, 1}},
        {.args = {"scan", "--modbus", "rtu", "--addresses", "247"},
         .ids = {247},
         .parities = {2, 0}},
        {.args = {"scan", "--modbus", "rtu", "--addresses", "0-5"},
         .exit = cmd::kExitBadAddresses,
         .names = "decimal slave ids (1 to 247)"},
        {.args = {"scan", "--modbus", "rtu", "--addresses", "248"},
         .exit = cmd::kExitBadAddresses,
         .names = "'248'"},
        {.args = {"scan", "--modbus", "rtu", "--addresses", "0A"}, .exit = cmd::kExitBadAddresses},
        {.args = {"scan", "--modbus", "rtu", "--addresses", "9-3"}, .exit = cmd::kExitBadAddresses},
        // Without --modbus the addresses stay hex.
        {.args = {"scan", "--addresses", "0A-0B"}, .ids = {10, 11}, .parities = {2, 0}},
        {.args = {"scan", "--modbus", "rtu", "--parities", "mark"},
         .exit = cmd::kExitUsage,
         .names = "--parities: 'mark' is not none, odd or even"},
        {.args = {"scan", "--parities", "none"},
         .exit = cmd::kExitUsage,
         .names = "'--parities' does nothing in a scan without --modbus"},
        {.args = {"--parities", "none", "01 03"},
         .exit = cmd::kExitUsage,
         .names = "'--parities' does nothing in command mode"},
        {.args = {"scan", "--modbus", "rtu", "--parity", "even"},
         .exit = cmd::kExitUsage,
         .names = "'--parity' does nothing in scan --modbus"},
        {.args = {"scan", "--modbus", "rtu", "-p", "COM1", "-p", "COM2"},
         .exit = cmd::kExitUsage,
         .names = "scan --modbus scans one port"},
        {.args = {"scan", "--modbus", "rtu", "--checksum", "on"},
         .exit = cmd::kExitUsage,
         .names = "'--checksum' does nothing with --modbus"},
    };
    for (const Case& c : cases) {
        const cmd::Parsed p = parse(c.args);
        EXPECT_EQ(p.exit, c.exit) << c.args.back() << ": " << p.error;
        EXPECT_NE(p.error.find(c.names), std::string::npos) << p.error;
        if (c.exit != cmd::kExitOk)
            continue;
        EXPECT_EQ(p.options.addresses, c.ids) << c.args.back();
        EXPECT_EQ(p.options.parities, c.parities) << c.args.back();
        // The port opens at the first parity asked.
        EXPECT_EQ(p.options.parity, p.options.modbus ? c.parities.front() : 0) << c.args.back();
    }
}

// A Modbus scan's time-out for an id: the request's and longest reply's wire time, the RTU
// silence, the turnaround and the latency.
TEST(CmdFigures, ModbusScanTimeOuts) {
    using portula::ModbusMode;
    struct Case {
        std::uint32_t baud;
        ModbusMode mode;
        unsigned frameBits, latencyMs, ms;
    };
    const Case cases[] = {
        // 15 bytes of 11 bits: 17.2 ms; 3.5 characters: 4.01 ms.
        {.baud = 9600, .mode = ModbusMode::Rtu, .frameBits = 11, .latencyMs = 0, .ms = 18 + 5 + 20},
        {.baud = 9600,
         .mode = ModbusMode::Rtu,
         .frameBits = 10,
         .latencyMs = 1,
         .ms = 16 + 4 + 20 + 1},
        // Above 19200 the silence is 1.75 ms.
        {.baud = 115200,
         .mode = ModbusMode::Rtu,
         .frameBits = 10,
         .latencyMs = 0,
         .ms = 2 + 2 + 20},
        // 17 characters out (':', 7 hex pairs, CR LF), 15 back.
        {.baud = 9600, .mode = ModbusMode::Ascii, .frameBits = 10, .latencyMs = 0, .ms = 34 + 20},
        {.baud = 1200,
         .mode = ModbusMode::Ascii,
         .frameBits = 11,
         .latencyMs = 16,
         .ms = 294 + 20 + 16},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cmd::modbusScanTimeoutMs(c.baud, c.mode, c.frameBits, c.latencyMs), c.ms)
            << c.baud << " " << c.frameBits;
    // The estimate: every id silent at every framing.
    const cmd::Parsed p =
        parse({"scan", "--modbus", "rtu", "--bauds", "9600", "--addresses", "1-10"});
    ASSERT_EQ(p.exit, 0) << p.error;
    EXPECT_EQ(cmd::scanSilentMs(p.options), 10u * (43 + 40));
    EXPECT_EQ(cmd::scanWorstCaseMs(p.options), cmd::scanSilentMs(p.options));
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
        {.name = "COM2", .number = 2, .device = ""},
        {.name = "com20", .number = 20, .device = ""},
        {.name = "7", .number = 7, .device = ""},
        {.name = "/dev/ttyUSB0", .number = 0, .device = "/dev/ttyUSB0"},
        {.name = "rfc2217://host:4001", .number = 0, .device = "rfc2217://host:4001"},
        {.name = "socket://10.0.0.5:502", .number = 0, .device = "socket://10.0.0.5:502"},
        {.name = "COM0", .number = std::nullopt, .device = ""},
        {.name = "COM256", .number = std::nullopt, .device = ""},
        {.name = "COM250", .number = 250, .device = ""}, // an ordinary port
        {.name = "ttyUSB0", .number = std::nullopt, .device = ""},
        {.name = "", .number = std::nullopt, .device = ""},
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
        {.text = "/dev/ttyUSB0", .line = "/dev/ttyUSB0"},
        {.text = "a\nb\rc\td", .line = "a\\nb\\rc\\td"},
        {.text = "back\\slash", .line = "back\\\\slash"},
        {.text = std::string("\0\x1B\x7F\xC3\xA9", 5), .line = "\\x00\\x1B\\x7F\\xC3\\xA9"},
        {.text = "", .line = ""},
        {.text = "a b~\x1F", .line = "a b~\\x1F"},
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
        {.baud = 115200, .checksum = false, .frameBits = 10, .ms = 4 + 20},
        {.baud = 9600, .checksum = false, .frameBits = 10, .ms = 40 + 20},
        {.baud = 9600, .checksum = true, .frameBits = 10, .ms = 42 + 20},
        {.baud = 9600, .checksum = true, .frameBits = 11, .ms = 46 + 20},
        {.baud = 1200, .checksum = false, .frameBits = 10, .ms = 317 + 20},
        {.baud = 9600, .checksum = false, .frameBits = 12, .ms = 48 + 20},
        {.baud = 14400, .checksum = false, .frameBits = 10, .ms = 27 + 20},
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

// Many ports: every -p is kept in order for scan, refused elsewhere; the map's ports or -p, and
// --json or --csv, not both.
TEST(CmdOptions, ManyPortsAreForScan) {
    const cmd::Parsed many = parse({"scan", "-p", "COM3", "-p", "/dev/ttyUSB0", "-p", "COM3"});
    ASSERT_EQ(many.exit, 0) << many.error;
    EXPECT_EQ(many.options.ports, (std::vector<std::string>{"COM3", "/dev/ttyUSB0", "COM3"}));
    struct Case {
        std::vector<const char*> args;
        const char* names;
    };
    const Case cases[] = {
        {.args = {"-p", "COM3", "-p", "COM4", "$01M"}, .names = "only scan takes more than one -p"},
        {.args = {"term", "-p", "COM3", "-p", "COM4"}, .names = "only scan"},
        {.args = {"scan", "--map-ports", "-p", "COM3"}, .names = "-p or --map-ports"},
        {.args = {"scan", "--json", "--csv"}, .names = "--json or --csv"},
        {.args = {"scan", "--save"}, .names = "needs a value"},
    };
    for (const Case& c : cases) {
        const cmd::Parsed p = parse(c.args);
        EXPECT_EQ(p.exit, cmd::kExitUsage) << c.names;
        EXPECT_NE(p.error.find(c.names), std::string::npos) << p.error;
    }
}

// An inventory written is read back as it was, bytes a module sent included; a file that is not
// one is refused saying why; keys a later version adds are ignored.
TEST(Inventory, WrittenAndReadBack) {
    const std::vector<cmd::Module> plant = {
        {.port = "/dev/ttyUSB0",
         .address = "01",
         .baud = 9600,
         .checksum = false,
         .name = "ADAM-4017",
         .firmware = "A1.07"},
        {.port = "socket://10.0.0.5:4001",
         .address = "A3",
         .baud = 0,
         .checksum = true,
         .name = std::string("ODD\"NAME\\\x01\xE9", 12),
         .firmware = std::nullopt},
    };
    std::string error;
    const auto back = cmd::parseInventory(cmd::inventoryJson(plant), error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(*back, plant);
    EXPECT_EQ(cmd::parseModule(cmd::moduleJson(plant[1])), plant[1]);
    EXPECT_EQ(cmd::parseModule(R"({"later":[1,{"x":null}],"port":"COM3","address":"07",)"
                               R"("baud":19200,"checksum":true,"name":"\u0041B"})"),
              (cmd::Module{
                  .port = "COM3", .address = "07", .baud = 19200, .checksum = true, .name = "AB"}));
    struct Bad {
        const char* text;
        const char* names; // a part of the refusal
    };
    const Bad bad[] = {
        {.text = "", .names = "not JSON"},
        {.text = "{\"format\":\"portula-inventory\",\"version\":1,\"modules\":[",
         .names = "not JSON"},
        {.text = "{\"format\":\"other\",\"version\":1,\"modules\":[]}",
         .names = "not an inventory"},
        {.text = "{\"format\":\"portula-inventory\",\"version\":2,\"modules\":[]}",
         .names = "version 1"},
        {.text = "{\"format\":\"portula-inventory\",\"version\":1}", .names = "\"modules\""},
        {.text = "{\"format\":\"portula-inventory\",\"version\":1,\"modules\":[{\"port\":\"COM3\","
                 "\"address\":\"01\",\"baud\":\"fast\",\"checksum\":false,\"name\":\"X\"}]}",
         .names = "\"baud\""},
        {.text = "{\"format\":\"portula-inventory\",\"version\":1,\"modules\":[]} trailing",
         .names = "more after the end"},
    };
    for (const Bad& b : bad) {
        error.clear();
        EXPECT_FALSE(cmd::parseInventory(b.text, error)) << b.text;
        EXPECT_NE(error.find(b.names), std::string::npos) << error;
    }
}

// A module is its port and address: one found where none was is added, one not found is
// missing, and one found again with another rate, checksum setting, name or firmware changed.
TEST(Inventory, ComparedModuleByModule) {
    const cmd::Module a{
        .port = "COM3", .address = "01", .baud = 9600, .name = "A", .firmware = "1"};
    const cmd::Module b{.port = "COM3", .address = "02", .baud = 9600, .name = "B"};
    const cmd::Module c{.port = "COM4", .address = "01", .baud = 9600, .name = "C"};
    cmd::Module a2 = a;
    a2.baud = 19200;
    a2.firmware = "2";
    const cmd::Differences same = cmd::compareInventories({a, b, c}, {c, b, a});
    EXPECT_TRUE(same.empty());
    const cmd::Differences d = cmd::compareInventories({a, b}, {a2, c});
    ASSERT_EQ(d.added, std::vector<cmd::Module>{c});
    ASSERT_EQ(d.missing, std::vector<cmd::Module>{b});
    ASSERT_EQ(d.changed.size(), 1u);
    EXPECT_EQ(d.changed[0].before, a);
    EXPECT_EQ(d.changed[0].now, a2);
    EXPECT_EQ(cmd::describeDifferences(d),
              "added   COM4 01 9600 checksum off C -\n"
              "missing COM3 02 9600 checksum off B -\n"
              "changed COM3 01: baud 9600 -> 19200, firmware 1 -> 2\n");
}

} // namespace

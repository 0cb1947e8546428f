#include "cmd/Cli.h"

#include "rules/Rs485.h"

#include "portula_version.h"

#include <uartce.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <getopt.h>

namespace cmd {

namespace {

enum Option {
    kPort = 'p',
    kBaud = 'b',
    kStopBits = 1000,
    kChecksum,
    kTimeout,
    kLateWindow,
    kEnding,
    kHex,
    kJson,
    kTrace,
    kBauds,
    kAddresses,
    kInterval,
    kCount,
    kDuration,
    kExpect,
    kTimestamps,
    kLog,
    kDataBits,
    kParity,
    kFlow,
    kEscapes,
    kRs485,
    kMapPorts,
    kSave,
    kCompare,
    kCsv,
    kModbus,
    kParities,
    kLineEcho,
    kHelp,
    kVersion,
};

const option kLongOptions[] = {
    {"port", required_argument, nullptr, kPort},
    {"baud", required_argument, nullptr, kBaud},
    {"stop-bits", required_argument, nullptr, kStopBits},
    {"checksum", optional_argument, nullptr, kChecksum},
    {"timeout", required_argument, nullptr, kTimeout},
    {"late-window", required_argument, nullptr, kLateWindow},
    {"ending", required_argument, nullptr, kEnding},
    {"hex", no_argument, nullptr, kHex},
    {"json", no_argument, nullptr, kJson},
    {"csv", no_argument, nullptr, kCsv},
    {"map-ports", no_argument, nullptr, kMapPorts},
    {"save", required_argument, nullptr, kSave},
    {"compare", required_argument, nullptr, kCompare},
    {"trace", required_argument, nullptr, kTrace},
    {"bauds", required_argument, nullptr, kBauds},
    {"addresses", required_argument, nullptr, kAddresses},
    {"interval", required_argument, nullptr, kInterval},
    {"count", required_argument, nullptr, kCount},
    {"duration", required_argument, nullptr, kDuration},
    {"expect", required_argument, nullptr, kExpect},
    {"timestamps", no_argument, nullptr, kTimestamps},
    {"log", required_argument, nullptr, kLog},
    {"data-bits", required_argument, nullptr, kDataBits},
    {"parity", required_argument, nullptr, kParity},
    {"flow", required_argument, nullptr, kFlow},
    {"escapes", no_argument, nullptr, kEscapes},
    {"rs485", optional_argument, nullptr, kRs485},
    {"modbus", required_argument, nullptr, kModbus},
    {"parities", required_argument, nullptr, kParities},
    {"line-echo", required_argument, nullptr, kLineEcho},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// Options that mean something in some modes only. Given in another mode they would do nothing
// (scan takes its rates from --bauds, and always frames $AAM with CR itself), so they are
// refused rather than left to look as if they had been applied.
struct ModeBound {
    int option;
    bool command, scan, soak;
    const char* where; // the modes it is for, in words
    bool term = false;
};
constexpr ModeBound kModeBound[] = {
    {kBaud, true, false, true, "commands, soak and term; scan takes --bauds", true},
    {kEnding, true, false, true, "commands, soak and term; scan sends $AAM with CR", true},
    {kHex, true, false, false, "commands and term", true},
    {kEscapes, true, false, true, "commands, soak and term; scan sends $AAM itself", true},
    {kJson, true, true, true, "commands, scan and soak"},
    {kBauds, false, true, false, "scan only"},
    {kAddresses, false, true, false, "scan only"},
    {kCsv, false, true, false, "scan only"},
    {kMapPorts, false, true, false, "scan only"},
    {kSave, false, true, false, "scan only"},
    {kCompare, false, true, false, "scan only"},
    {kInterval, false, false, true, "soak only"},
    {kCount, false, false, true, "soak only"},
    {kDuration, false, false, true, "soak only"},
    {kExpect, false, false, true, "soak only"},
    {kTimestamps, false, false, false, "term only", true},
    {kLog, false, false, false, "term only", true},
    {kModbus, true, true, true, "commands, scan, soak and term", true},
    {kParities, false, true, false, "scan --modbus only"},
    {kLineEcho, true, false, true, "commands, soak and term with --modbus", true},
};

const char* modeName(Mode mode) {
    switch (mode) {
    case Mode::Command:
        return "command mode";
    case Mode::Scan:
        return "scan";
    case Mode::Soak:
        return "soak";
    case Mode::Terminal:
        return "term";
    }
    return "";
}

// Why the option cannot be given in the mode; empty when it can.
std::string outOfMode(int option, const char* word, Mode mode) {
    for (const ModeBound& b : kModeBound) {
        if (b.option != option)
            continue;
        const bool applies = mode == Mode::Command    ? b.command
                             : mode == Mode::Scan     ? b.scan
                             : mode == Mode::Terminal ? b.term
                                                      : b.soak;
        if (applies)
            return "";
        return "'" + std::string(word) + "' does nothing in " + modeName(mode) + ": it is for " +
               b.where;
    }
    return "";
}

bool parseBaud(std::string_view text, std::uint32_t& baud) {
    unsigned long value = 0;
    if (!parseUnsigned(text, 4000000, value))
        return false;
    baud = static_cast<std::uint32_t>(value);
    // Whether the device takes it is the driver's to say, when the port opens.
    return portula::isLineRate(baud);
}

bool parseHexByte(std::string_view text, unsigned& value) {
    const std::optional<std::uint8_t> byte = portula::parseHexByte(text);
    if (byte)
        value = *byte;
    return byte.has_value();
}

std::vector<std::string_view> split(std::string_view text, char at) {
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t next = text.find(at);
        parts.push_back(text.substr(0, next));
        if (next == std::string_view::npos)
            return parts;
        text.remove_prefix(next + 1);
    }
}

// Numbers and ranges of them, comma-separated ("01,05,10-1F", "1,5,10-20"), each number read
// by readOne (false for one it does not take) and at most `most`: every number once, in
// increasing order. False for anything else, a range that runs backwards included.
template <class ReadOne>
bool parseRangeList(std::string_view text, unsigned most, ReadOne readOne,
                    std::vector<unsigned>& numbers) {
    std::vector<bool> chosen(most + 1, false);
    for (std::string_view part : split(text, ',')) {
        const std::size_t dash = part.find('-');
        unsigned from = 0, to = 0;
        if (!readOne(part.substr(0, dash), from))
            return false;
        to = from;
        if (dash != std::string_view::npos && !readOne(part.substr(dash + 1), to))
            return false;
        if (to < from || to > most)
            return false;
        for (unsigned n = from; n <= to; ++n)
            chosen[n] = true;
    }
    numbers.clear();
    for (unsigned n = 0; n <= most; ++n)
        if (chosen[n])
            numbers.push_back(n);
    return true;
}

} // namespace

bool parseModbusIds(std::string_view text, std::vector<unsigned>& ids) {
    return parseRangeList(
        text, 247,
        [](std::string_view number, unsigned& id) {
            unsigned long value = 0;
            if (!parseUnsigned(number, 247, value) || value == 0)
                return false;
            id = static_cast<unsigned>(value);
            return true;
        },
        ids);
}

namespace {

// "00-FF", "01", "01,05,10-1F": every address once, in increasing order.
bool parseAddresses(std::string_view text, std::vector<unsigned>& addresses) {
    return parseRangeList(text, 0xFF, parseHexByte, addresses);
}

bool parseEnding(std::string_view text, Options& o) {
    std::string bytes;
    const std::optional<Ending> ending = portula::parseEnding(text, bytes);
    if (!ending)
        return false;
    o.ending = *ending;
    o.endingBytes = std::move(bytes);
    return true;
}

Parsed fail(Parsed parsed, int exit, std::string error) {
    parsed.exit = exit;
    parsed.error = std::move(error);
    return parsed;
}

bool isSubcommand(std::string_view word) {
    return word == "scan" || word == "soak" || word == "term";
}

// Whether an option word takes the next word as its value.
bool takesNextWord(std::string_view word, std::string_view next) {
    if (word == "-p" || word == "-b")
        return true;
    if (word.size() > 2 && word[0] == '-' && word[1] != '-')
        return (word[1] == 'p' || word[1] == 'b') && word.size() == 2;
    if (word.substr(0, 2) != "--" || word.find('=') != std::string_view::npos)
        return false;
    for (const option& o : kLongOptions)
        if (o.name && word.substr(2) == o.name) {
            if (o.has_arg == required_argument)
                return true;
            // --checksum's value is optional, and may be the next word.
            if (o.val == kRs485)
                return portula::beginsAsRs485List(next);
            return o.has_arg == optional_argument &&
                   (next == "on" || next == "off" || next == "auto");
        }
    return false;
}

// Where the subcommand stands in argv; 0 for none (command mode). Only the first word that is
// not an option counts: the commands come after it.
int subcommandAt(int argc, char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--")
            return 0;
        if (word.size() > 1 && word[0] == '-') {
            if (takesNextWord(word, i + 1 < argc ? std::string_view(argv[i + 1]) : ""))
                ++i;
            continue;
        }
        return isSubcommand(word) ? i : 0;
    }
    return 0;
}

} // namespace

Parsed parse(int argc, char* const* argv) {
    Parsed parsed;
    Options& o = parsed.options;
    o.endingBytes = "\r";
    for (unsigned a = 0; a < 256; ++a)
        o.addresses.push_back(a);
    // The subcommand is the first word that is neither an option nor an option's value, before
    // or after the options: "portula-cmd -p COM3 scan" scans.
    std::vector<char*> args(argv, argv + argc);
    if (const int at = subcommandAt(argc, argv); at > 0) {
        const std::string_view word = argv[at];
        o.mode = word == "scan" ? Mode::Scan : word == "soak" ? Mode::Soak : Mode::Terminal;
        args.erase(args.begin() + at);
    }
    args.push_back(nullptr);
    const int count = static_cast<int>(args.size()) - 1;
    std::optional<std::string> addresses;
    bool parityGiven = false;
    optind = 0;
    opterr = 0;
    for (;;) {
        int longIndex = -1;
        const int c = getopt_long(count, args.data(), ":p:b:", kLongOptions, &longIndex);
        if (c == -1)
            break;
        const std::string word = longIndex >= 0 ? std::string("--") + kLongOptions[longIndex].name
                                                : std::string("-") + static_cast<char>(c);
        if (const std::string refused = outOfMode(c, word.c_str(), o.mode); !refused.empty())
            return fail(parsed, kExitUsage, refused);
        // "--checksum off" as well as "--checksum=off": the value is optional, so getopt
        // would leave a separate word to the commands.
        if (c == kChecksum && !optarg && optind < count) {
            const std::string_view next = args[static_cast<std::size_t>(optind)];
            if (next == "on" || next == "off" || next == "auto")
                optarg = args[static_cast<std::size_t>(optind++)];
        }
        if (c == kRs485 && !optarg && optind < count &&
            portula::beginsAsRs485List(args[static_cast<std::size_t>(optind)]))
            optarg = args[static_cast<std::size_t>(optind++)];
        const std::string_view value = optarg ? optarg : "";
        const std::string quoted = "'" + std::string(value) + "'";
        unsigned long number = 0;
        switch (c) {
        case kPort:
            if (!choosePort(std::string(value)))
                return fail(parsed, kExitUsage, "-p: " + quoted + " is not a port name");
            o.port = value;
            o.ports.emplace_back(value);
            break;
        case kBaud:
            if (!parseBaud(value, o.baud))
                return fail(parsed, kExitBadBaud,
                            "-b: " + quoted + " is not a baud rate taken: " + baudsTaken());
            break;
        case kStopBits:
            if (value != "1" && value != "2")
                return fail(parsed, kExitUsage, "--stop-bits: " + quoted + " is neither 1 nor 2");
            o.stopBits = value == "2" ? 2 : 1;
            break;
        case kDataBits:
            if (!parseUnsigned(value, 8, number) || number < 5)
                return fail(parsed, kExitUsage, "--data-bits: " + quoted + " is not 5, 6, 7 or 8");
            o.dataBits = static_cast<int>(number);
            break;
        case kParity: {
            parityGiven = true;
            const std::optional<std::uint8_t> parity = portula::parseParity(value);
            if (!parity)
                return fail(parsed, kExitUsage,
                            "--parity: " + quoted + " is not none, odd, even, mark or space");
            o.parity = *parity;
            break;
        }
        case kFlow: {
            const std::optional<std::uint8_t> flow = portula::parseFlow(value);
            if (!flow)
                return fail(parsed, kExitUsage,
                            "--flow: " + quoted + " is not none, rts-cts or xon-xoff");
            o.flow = *flow;
            break;
        }
        case kEscapes:
            o.escapes = true;
            break;
        case kModbus:
            if (!(o.modbus = portula::parseModbusMode(value)))
                return fail(parsed, kExitUsage,
                            "--modbus: " + quoted + " is neither rtu nor ascii");
            break;
        case kChecksum:
            if (!optarg || value == "on")
                o.checksum = true, o.scanChecksum = ScanChecksum::On;
            else if (value == "off")
                o.checksum = false, o.scanChecksum = ScanChecksum::Off;
            else if (value == "auto" && o.mode == Mode::Scan)
                o.scanChecksum = ScanChecksum::Auto;
            else if (value == "auto")
                return fail(parsed, kExitUsage,
                            "--checksum: 'auto' is for scan only; give on or off");
            else
                return fail(parsed, kExitUsage,
                            "--checksum: " + quoted + " is not on, off or auto");
            break;
        case kTimeout:
            if (!parseUnsigned(value, 60000, number) || number == 0)
                return fail(parsed, kExitUsage,
                            "--timeout: " + quoted + " is not 1 to 60000 milliseconds");
            o.timeoutMs = static_cast<unsigned>(number);
            break;
        case kLateWindow:
            if (!parseUnsigned(value, 60000, number))
                return fail(parsed, kExitUsage,
                            "--late-window: " + quoted + " is not 0 to 60000 milliseconds");
            o.lateWindowMs = static_cast<unsigned>(number);
            break;
        case kEnding:
            if (!parseEnding(value, o))
                return fail(parsed, kExitUsage,
                            "--ending: " + quoted +
                                " is not cr, none, lf, lfcr, crlf or hex:XX...");
            break;
        case kHex:
            o.hex = true;
            break;
        case kJson:
            o.json = true;
            break;
        case kCsv:
            o.csv = true;
            break;
        case kMapPorts:
            o.mapPorts = true;
            break;
        case kSave:
        case kCompare:
            if (value.empty())
                return fail(parsed, kExitUsage,
                            std::string(c == kSave ? "--save" : "--compare") +
                                " needs a file name");
            (c == kSave ? o.saveFile : o.compareFile) = value;
            break;
        case kTrace:
            if (value.empty())
                return fail(parsed, kExitUsage, "--trace needs a file name");
            o.trace = value;
            break;
        case kBauds:
            o.baudsGiven = true;
            o.bauds.clear();
            for (std::string_view part : split(value, ',')) {
                std::uint32_t baud = 0;
                if (!parseBaud(part, baud))
                    return fail(parsed, kExitBadBaud,
                                "--bauds: '" + std::string(part) +
                                    "' is not a baud rate taken: " + baudsTaken());
                if (std::find(o.bauds.begin(), o.bauds.end(), baud) == o.bauds.end())
                    o.bauds.push_back(baud);
            }
            break;
        case kAddresses:
            // Hex, or with --modbus (which may come after it) decimal slave ids.
            addresses = value;
            break;
        case kLineEcho:
            if (value == "0" || value == "1" || value == "2")
                o.lineEcho = static_cast<unsigned>(value[0] - '0');
            else
                return fail(parsed, kExitUsage,
                            "--line-echo: " + quoted +
                                " is not 0, 1 or 2 (the copies of each request the line returns)");
            break;
        case kParities:
            o.paritiesGiven = true;
            o.parities.clear();
            for (std::string_view part : split(value, ',')) {
                const std::optional<std::uint8_t> parity = portula::parseParity(part);
                if (!parity || *parity > 2)
                    return fail(parsed, kExitUsage,
                                "--parities: '" + std::string(part) + "' is not none, odd or even");
                if (std::find(o.parities.begin(), o.parities.end(), *parity) == o.parities.end())
                    o.parities.push_back(*parity);
            }
            break;
        case kInterval:
            if (!parseUnsigned(value, 3600000, number))
                return fail(parsed, kExitUsage,
                            "--interval: " + quoted + " is not a number of milliseconds");
            o.intervalMs = static_cast<unsigned>(number);
            break;
        case kCount:
            if (!parseUnsigned(value, 4000000000UL, number) || number == 0)
                return fail(parsed, kExitUsage, "--count: " + quoted + " is not a positive number");
            o.count = number;
            break;
        case kDuration:
            if (!(o.durationMs = parseDurationMs(value)) || *o.durationMs == 0)
                return fail(parsed, kExitUsage,
                            "--duration: " + quoted + " is not a duration such as 90s or 10m");
            break;
        case kExpect:
            o.expect = std::string(value);
            break;
        case kTimestamps:
            o.timestamps = true;
            break;
        case kLog:
            if (value.empty())
                return fail(parsed, kExitUsage, "--log needs a file name");
            o.log = value;
            break;
        case kRs485: {
            std::string why;
            if (optarg && value.empty())
                return fail(parsed, kExitUsage, "--rs485= needs a list (or give --rs485 alone)");
            o.rs485 = portula::parseRs485(value, why);
            if (!o.rs485)
                return fail(parsed, kExitUsage, "--rs485: " + why);
            break;
        }
        case kHelp:
            o.help = true;
            return parsed;
        case kVersion:
            o.version = true;
            return parsed;
        case ':':
            return fail(parsed, kExitUsage,
                        std::string(args[static_cast<std::size_t>(optind - 1)]) + " needs a value");
        default:
            // A short option inside a group ("-xy") leaves optind on the group's word: optopt
            // names the letter. A long option given a value it does not take sets optopt to
            // its code; an unknown long option leaves optopt 0.
            if (optopt > 0 && optopt < 256)
                return fail(parsed, kExitUsage,
                            std::string("unknown option '-") + static_cast<char>(optopt) + "'");
            if (optopt >= kStopBits) {
                const std::string word = args[static_cast<std::size_t>(optind - 1)];
                return fail(parsed, kExitUsage,
                            "'" + word.substr(0, word.find('=')) + "' takes no value");
            }
            return fail(parsed, kExitUsage,
                        std::string("unknown option '") +
                            args[static_cast<std::size_t>(optind - 1)] + "'");
        }
    }
    const bool modbusScan = o.mode == Mode::Scan && o.modbus;
    if (modbusScan && !parseModbusIds(addresses.value_or("1-247"), o.addresses))
        return fail(parsed, kExitBadAddresses,
                    "--addresses: '" + *addresses +
                        "' is not a list of decimal slave ids (1 to 247) or ranges such as 1-247");
    if (!modbusScan && addresses && !parseAddresses(*addresses, o.addresses))
        return fail(parsed, kExitBadAddresses,
                    "--addresses: '" + *addresses +
                        "' is not a list of hex addresses or ranges such as 00-FF");
    if (o.paritiesGiven && !modbusScan)
        return fail(
            parsed, kExitUsage,
            "'--parities' does nothing in a scan without --modbus: it is for scan --modbus");
    if (modbusScan && parityGiven)
        return fail(parsed, kExitUsage,
                    "'--parity' does nothing in scan --modbus: it takes its parities from "
                    "--parities");
    if (modbusScan && (o.ports.size() > 1 || o.mapPorts || !o.saveFile.empty() ||
                       !o.compareFile.empty() || o.csv))
        return fail(parsed, kExitUsage,
                    "scan --modbus scans one port: it takes neither several -p, --map-ports, "
                    "--save, --compare nor --csv");
    if (modbusScan)
        o.parity = o.parities.front();
    for (int i = optind; i < count; ++i)
        o.commands.emplace_back(args[static_cast<std::size_t>(i)]);
    for (const std::string& text : o.commands)
        if (isSubcommand(text))
            return fail(parsed, kExitUsage,
                        "'" + text + "' is a subcommand, not a command to send: give it before " +
                            "any command (portula-cmd " + text + " [options])");
    if (o.lineEcho && !o.modbus)
        return fail(parsed, kExitUsage,
                    "'--line-echo' does nothing without --modbus: it tells Modbus writes' "
                    "replies from the line's echo");
    if (o.modbus) {
        // The library frames a request, CRC or LRC included, and the reply is always hex.
        const char* given = o.checksum               ? "--checksum"
                            : o.escapes              ? "--escapes"
                            : o.ending != Ending::CR ? "--ending"
                                                     : nullptr;
        if (given)
            return fail(parsed, kExitUsage,
                        std::string("'") + given +
                            "' does nothing with --modbus: requests are hex bytes, framed with "
                            "their CRC or LRC");
        // soak: the reply expected, in hex as it prints.
        if (o.expect) {
            const std::optional<std::string> bytes = portula::parseHexBytes(*o.expect);
            if (!bytes)
                return fail(parsed, kExitUsage,
                            "--expect: '" + *o.expect +
                                "' is not a reply in hex bytes, such as '05 03 02 00 01'");
            o.expect = *bytes;
        }
        for (std::string& text : o.commands) {
            CommandText bytes = modbusRequest(text);
            if (!bytes.error.empty())
                return fail(parsed, kExitUsage, escapeForLine(text) + ": " + bytes.error);
            if (bytes.bytes.size() > kMaxModbusRequest)
                return fail(parsed, kExitTooLong,
                            "a request of " + std::to_string(bytes.bytes.size()) +
                                " bytes; the longest is " + std::to_string(kMaxModbusRequest));
            text = std::move(bytes.bytes);
        }
    }
    for (std::string& text : o.commands) {
        if (o.modbus)
            break; // hex requests, taken above
        CommandText bytes = commandBytes(text, o.escapes, o.ending);
        if (!bytes.error.empty())
            return fail(parsed, kExitUsage, escapeForLine(text) + ": " + bytes.error);
        text = std::move(bytes.bytes);
    }
    for (const std::string& text : o.commands)
        if (text.size() > kMaxText)
            return fail(parsed, kExitTooLong,
                        "a command of " + std::to_string(text.size()) + " bytes; the longest is " +
                            std::to_string(kMaxText));
    if (o.mode == Mode::Scan && !o.commands.empty())
        return fail(parsed, kExitUsage, "scan takes no command: '" + o.commands.front() + "'");
    if (o.mode == Mode::Terminal && !o.commands.empty())
        return fail(parsed, kExitUsage,
                    "term takes no command: '" + o.commands.front() + "' (type it at the prompt)");
    if (o.mode == Mode::Soak && o.commands.size() != 1)
        return fail(parsed, kExitUsage, "soak repeats exactly one command");
    if (o.mode == Mode::Soak && o.count && o.durationMs)
        return fail(parsed, kExitUsage, "soak takes --count or --duration, not both");
    if (o.checksum && o.ending != Ending::CR)
        return fail(parsed, kExitUsage,
                    "--checksum needs --ending cr: the library frames checksummed commands");
    if (o.mode != Mode::Scan && o.ports.size() > 1)
        return fail(parsed, kExitUsage, "only scan takes more than one -p");
    if (o.csv && o.json)
        return fail(parsed, kExitUsage, "give --json or --csv, not both");
    if (o.mapPorts && !o.ports.empty())
        return fail(parsed, kExitUsage, "give -p or --map-ports, not both");
    // A raw TCP stream has one rate, the server's: the terminal cannot set it, so every rate
    // tried would find the same modules again. Among many buses it is scanned once by its own.
    if (o.mode == Mode::Scan && o.ports.size() <= 1 && o.port.rfind("socket://", 0) == 0) {
        if (o.baudsGiven && o.bauds.size() > 1)
            return fail(parsed, kExitUsage,
                        "--bauds: " + o.port +
                            " is a raw TCP port, whose one rate is the server's and cannot be "
                            "set; scan it once, without --bauds");
        o.bauds = {o.bauds.size() == 1 && o.baudsGiven ? o.bauds.front() : o.baud};
        o.serverRate = true;
    }
    return parsed;
}

std::string usageText() {
    return "usage: portula-cmd [options] COMMAND...   send commands, print the replies\n"
           "       portula-cmd scan [options]           find the modules on a line\n"
           "       portula-cmd soak [options] COMMAND   repeat a command and count failures\n"
           "       portula-cmd term [options]           an interactive line terminal\n"
           "  -p, --port NAME     COMn, n, or a device path or URL (default COM2)\n"
           "  -b, --baud N        any rate from 50 to 4000000 the device takes (default 9600)\n"
           "  --data-bits 5..8    (default 8)\n"
           "  --parity P          none (default), odd, even, mark or space\n"
           "  --stop-bits 1|2     (default 1)\n"
           "  --flow F            none (default), rts-cts or xon-xoff\n"
           "  --checksum[=on|off|auto]  commands and replies carry checksums (scan: auto)\n"
           "  --timeout MS        time-out per command (default 200; scan: from the baud rate)\n"
           "  --late-window MS    after a command got no reply, how long its reply is still\n"
           "                      listened for before the next command it could pass for\n"
           "                      (after its time-out; default 500)\n"
           "  --ending E          cr (default), none, lf, lfcr, crlf or hex:XX...\n"
           "  --hex               show replies as hex bytes (term: as a hex dump)\n"
           "  --escapes           commands take \\xNN, \\r, \\n, \\t and \\\\ (without it a\n"
           "                      backslash is a backslash)\n"
           "  --json              one JSON object per command (scan: per module; soak: totals)\n"
           "  --trace FILE        append a JSON line per library call to FILE\n"
           "  --bauds LIST        scan: the rates to try, any from 50 to 4000000 (default\n"
           "                      1200,2400,...,115200)\n"
           "  --addresses RANGES  scan: such as 00-FF (default) or 01,05,10-1F; with --modbus\n"
           "                      slave ids in decimal, such as 1-247 (default) or 1,5,10-20\n"
           "  -p NAME -p NAME...  scan: many buses at once, each module listed with its port\n"
           "                      and firmware; the plant takes the time of its slowest bus\n"
           "  --map-ports         scan: every port the port map names, at once\n"
           "  --csv               scan: port,address,baud,checksum,name,firmware lines\n"
           "  --save FILE         scan: write what was found as an inventory (JSON)\n"
           "  --compare FILE      scan: print what was added, is missing or changed since FILE\n"
           "  --interval MS       soak: time from one command to the next (default 0)\n"
           "  --count N | --duration T  soak: how many commands, or how long (90s, 10m, 1h)\n"
           "  --expect TEXT       soak: any other reply counts as a failure\n"
           "  --timestamps        term: a time on every line shown\n"
           "  --log FILE          term: append what is sent and received, with times, to FILE\n"
           "  --rs485[=LIST]      put the port in the kernel's RS-485 mode while it is open\n"
           "                      (RTS high while sending, low after); LIST: any of\n"
           "                      rts-on-send=high|low, rts-after-send=high|low,\n"
           "                      delay-before=MS, delay-after=MS, rx-during-tx,\n"
           "                      terminate-bus; or off. A port without it: status 6\n"
           "  --modbus rtu|ascii  commands are Modbus requests as hex bytes ('05 03 00 00 00 0A',\n"
           "                      blanks optional) without CRC or LRC; replies print as hex,\n"
           "                      without theirs (slave 0: a broadcast, no reply). scan\n"
           "                      --modbus: finds the slaves (function 3, one register at 0;\n"
           "                      an exception counts) at each of --bauds and --parities;\n"
           "                      soak --modbus: one request; term --modbus: each line a\n"
           "                      request in hex, its reply in hex\n"
           "  --parities LIST     scan --modbus: the parities tried at each rate, in order\n"
           "                      (default even,none: 8E1 then 8N1; --stop-bits 2 asks 8N2)\n"
           "  --line-echo N       --modbus: the whole copies of each request the line returns:\n"
           "                      0 (RS-232, 4-wire, an adapter that hides it or whose receiver\n"
           "                      turns on late), 1 (2-wire, the receiver on), 2 (two\n"
           "                      converters). Unless given it is learned from replies that\n"
           "                      differ from their request (none: after two); a write (05,\n"
           "                      06) before then cannot tell its reply from its echo (exit 22)\n"
           "  --help              print this text and exit\n"
           "  --version           print the version and exit\n"
           "Without a COMMAND, commands are read from standard input, one a line.\n"
           "term: type a line and Enter sends it with the ending (cr: as a framed command, its\n"
           "  reply under it); Up/Down recall history (kept in $XDG_STATE_HOME/portula/history);\n"
           "  what else arrives is shown as it comes. Ctrl-D, :quit, or Ctrl-C on an empty line\n"
           "  end it; Ctrl-C on a typed line clears it. :help lists the commands (:baud N,\n"
           "  :ending E, :hex on|off, :timestamps on|off, :checksum on|off, :reopen, :quit);\n"
           "  '::' at the start sends one ':'. Standard input that is not a terminal is read\n"
           "  a line at a time, without editing.\n"
           "Exit status: 0 all answered (scan: a module found); 2 a bad command line;\n"
           "  3 bad addresses; 4 a baud rate outside 50 to 4000000; 5 a command too long; 6 the\n"
           "  port could not be opened (a setting the device does not take too); 10 to 15 the "
           "first failed command's status (10 no reply,\n"
           "  11 reply cut, 12 bad checksum, 13 reply too long, 14 the device hung up,\n"
           "  15 line error); 16 soak: a command failed; 17 scan: no module answered;\n"
           "  18 the results could not be written; 19 scan --compare: the plant differs;\n"
           "  20 scan of many buses: a bus could not be scanned; 21 --modbus: a slave\n"
           "  answered with an exception; 22 --modbus: a write's reply could not be told from\n"
           "  the line's echo (see --line-echo); 130 stopped with Ctrl-C.\n";
}

std::string versionText() {
    return "portula-cmd " PORTULA_VERSION_STRING "\n";
}

std::optional<PortChoice> choosePort(const std::string& name) {
    std::string_view digits = name;
    if (name.size() > 3 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0))
        digits.remove_prefix(3);
    unsigned long number = 0;
    if (parseUnsigned(digits, 255, number)) {
        if (number == 0)
            return std::nullopt;
        return PortChoice{static_cast<std::uint8_t>(number), {}};
    }
    if (name.empty() || (name.front() != '/' && name.find("://") == std::string::npos))
        return std::nullopt;
    return PortChoice{0, name};
}

std::optional<unsigned long> parseDurationMs(std::string_view text) {
    struct Unit {
        const char* suffix;
        unsigned long ms;
    };
    static const Unit kUnits[] = {{"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", 3600000}};
    for (const Unit& u : kUnits) {
        const std::string_view suffix = u.suffix;
        if (text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix) {
            unsigned long value = 0;
            if (parseUnsigned(text.substr(0, text.size() - suffix.size()), 1000000, value))
                return value * u.ms;
        }
    }
    unsigned long seconds = 0;
    if (parseUnsigned(text, 1000000, seconds))
        return seconds * 1000;
    return std::nullopt;
}

CommandText commandBytes(std::string_view text, bool escapes, Ending ending) {
    CommandText command;
    if (escapes) {
        portula::Unescaped unescaped = portula::unescapeCommand(text);
        if (!unescaped.error.empty())
            return {{}, unescaped.error};
        command.bytes = std::move(unescaped.bytes);
    } else {
        command.bytes = text;
    }
    // The library takes a CR-ended command as C text, which would end at the NUL.
    if (ending == Ending::CR && command.bytes.find('\0') != std::string::npos)
        return {{},
                "a NUL byte cannot go in a command with the CR ending (give --ending to send it "
                "as it is)"};
    return command;
}

uartce_line lineOf(const Options& o) {
    uartce_line line{};
    line.size = sizeof line;
    line.baud = o.baud;
    line.dataBits = static_cast<std::uint8_t>(o.dataBits);
    line.parity = o.parity;
    line.stopBits = static_cast<std::uint8_t>(o.stopBits);
    line.flow = o.flow;
    return line;
}

std::string baudsTaken() {
    return portula::ratesTaken();
}

} // namespace cmd

namespace cmd {

CommandText modbusRequest(std::string_view text) {
    const std::optional<std::string> bytes = portula::parseHexBytes(text);
    if (!bytes)
        return {{}, "not a request in hex bytes, such as '05 03 00 00 00 0A'"};
    if (bytes->size() < 2)
        return {{}, "a request is at least a slave address and a function"};
    if (!portula::isRequestFunction(static_cast<std::uint8_t>((*bytes)[1])))
        return {{},
                "function " + portula::hexPair(static_cast<unsigned char>((*bytes)[1])) +
                    ": a request's function is 01 to 7F"};
    return {*bytes, {}};
}

} // namespace cmd

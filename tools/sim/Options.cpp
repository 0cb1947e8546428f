#include "sim/Options.h"

#include "portula_version.h"
#include "posix/LineSettings.h"
#include "rules/Framing.h"
#include "rules/Replies.h"
#include "rules/Text.h"

#include <algorithm>
#include <cctype>
#include <getopt.h>
#include <sys/un.h>

namespace sim {

namespace {

enum Option {
    kAddress = 1000,
    kBaud,
    kStopBits,
    kChecksum,
    kEcho,
    kDelayMs,
    kDropEvery,
    kLateEvery,
    kLateMs,
    kBackplane,
    kLineEcho,
    kGarbleEcho,
    kBatchMs,
    kWirePace,
    kCollide,
    kKeepReplies,
    kEchoSkip,
    kDoubleEcho,
    kDuplicateEvery,
    kDuplicateMs,
    kEnding,
    kNoiseEvery,
    kNoiseBytes,
    kSeed,
    kTruth,
    kModbus,
    kParity,
    kVerbose,
    kHelp,
    kVersion,
};

const option kLongOptions[] = {
    {"address", required_argument, nullptr, kAddress},
    {"baud", required_argument, nullptr, kBaud},
    {"stop-bits", required_argument, nullptr, kStopBits},
    {"checksum", no_argument, nullptr, kChecksum},
    {"echo", no_argument, nullptr, kEcho},
    {"delay-ms", required_argument, nullptr, kDelayMs},
    {"drop-every", required_argument, nullptr, kDropEvery},
    {"late-every", required_argument, nullptr, kLateEvery},
    {"late-ms", required_argument, nullptr, kLateMs},
    {"backplane", required_argument, nullptr, kBackplane},
    {"line-echo", no_argument, nullptr, kLineEcho},
    {"garble-echo", required_argument, nullptr, kGarbleEcho},
    {"batch-ms", required_argument, nullptr, kBatchMs},
    {"wire-pace", no_argument, nullptr, kWirePace},
    {"collide", no_argument, nullptr, kCollide},
    {"keep-replies", no_argument, nullptr, kKeepReplies},
    {"echo-skip", required_argument, nullptr, kEchoSkip},
    {"double-echo", no_argument, nullptr, kDoubleEcho},
    {"duplicate-every", required_argument, nullptr, kDuplicateEvery},
    {"duplicate-ms", required_argument, nullptr, kDuplicateMs},
    {"ending", required_argument, nullptr, kEnding},
    {"noise-every", required_argument, nullptr, kNoiseEvery},
    {"noise-bytes", required_argument, nullptr, kNoiseBytes},
    {"seed", required_argument, nullptr, kSeed},
    {"truth", required_argument, nullptr, kTruth},
    {"modbus", required_argument, nullptr, kModbus},
    {"parity", required_argument, nullptr, kParity},
    {"verbose", no_argument, nullptr, kVerbose},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

using portula::parseUnsigned;

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Adds each address of a comma list; the error names the culprit.
std::string addAddresses(const std::string& list, std::vector<std::string>& addresses) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = list.find(',', from);
        const std::string item = upper(list.substr(from, comma - from));
        if (!portula::isAddress(item))
            return "--address: '" + item + "' is not two hex digits";
        if (std::find(addresses.begin(), addresses.end(), item) != addresses.end())
            return "--address: " + item + " given twice";
        addresses.push_back(item);
        if (comma == std::string::npos)
            return {};
        from = comma + 1;
    }
}

// Adds each Modbus slave id of a comma list, written in decimal as Modbus users write them.
std::string addModbusIds(const std::string& list, std::vector<std::uint8_t>& ids) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = list.find(',', from);
        const std::string item = list.substr(from, comma - from);
        unsigned long id = 0;
        if (!parseUnsigned(item, 247, id) || id == 0)
            return "--address: '" + item + "' is not a Modbus slave id from 1 to 247";
        if (std::find(ids.begin(), ids.end(), id) != ids.end())
            return "--address: " + item + " given twice";
        ids.push_back(static_cast<std::uint8_t>(id));
        if (comma == std::string::npos)
            return {};
        from = comma + 1;
    }
}

} // namespace

ParsedOptions parseOptions(int argc, char* const* argv) {
    ParsedOptions parsed;
    Options& o = parsed.options;
    std::string& error = parsed.error;
    std::vector<std::string> addressLists;
    optind = 0; // a full restart of getopt's scan, so the parser can run more than once
    opterr = 0;
    for (;;) {
        const int previous = optind == 0 ? 1 : optind;
        const int c = getopt_long(argc, argv, "+:", kLongOptions, nullptr);
        if (c == -1)
            break;
        const std::string value = optarg ? optarg : "";
        unsigned long number = 0;
        switch (c) {
        case kAddress:
            // Read once the mode is known: Modbus ids are decimal, module addresses hex.
            addressLists.push_back(value);
            break;
        case kModbus:
            if (!(o.modbus = portula::parseModbusMode(value)))
                error = "--modbus: '" + value + "' is neither rtu nor ascii";
            break;
        case kParity:
            if (value == "none" || value == "odd" || value == "even")
                o.parity = value == "none" ? 0 : value == "odd" ? 1 : 2;
            else
                error = "--parity: '" + value + "' is none of none, odd, even";
            o.parityGiven = true;
            break;
        case kBaud: {
            speed_t speed;
            if (!parseUnsigned(value, 4000000, number) ||
                !uartce::platform::baudConstant(static_cast<std::uint32_t>(number), speed))
                error = "--baud: '" + value + "' is not a supported baud rate";
            o.baud = static_cast<std::uint32_t>(number);
            break;
        }
        case kStopBits:
            if (value != "1" && value != "2")
                error = "--stop-bits: '" + value + "' is neither 1 nor 2";
            o.stopBits = value == "2" ? 2 : 1;
            break;
        case kChecksum:
            o.checksum = true;
            break;
        case kEcho:
            o.echo = true;
            break;
        case kDelayMs:
        case kLateMs:
        case kDuplicateMs: {
            const char* name = c == kDelayMs  ? "--delay-ms"
                               : c == kLateMs ? "--late-ms"
                                              : "--duplicate-ms";
            if (!parseUnsigned(value, 60000, number))
                error = std::string(name) + ": '" + value +
                        "' is not a number of milliseconds from 0 to 60000";
            (c == kDelayMs  ? o.delayMs
             : c == kLateMs ? o.faults.lateMs
                            : o.faults.duplicateMs) = static_cast<unsigned>(number);
            break;
        }
        case kDropEvery:
        case kLateEvery:
        case kGarbleEcho:
        case kDuplicateEvery:
        case kNoiseEvery: {
            const char* name = c == kDropEvery        ? "--drop-every"
                               : c == kLateEvery      ? "--late-every"
                               : c == kGarbleEcho     ? "--garble-echo"
                               : c == kDuplicateEvery ? "--duplicate-every"
                                                      : "--noise-every";
            if (!parseUnsigned(value, 1000000, number) || number == 0)
                error = std::string(name) + ": '" + value + "' is not a count from 1 to 1000000";
            (c == kDropEvery        ? o.faults.dropEvery
             : c == kLateEvery      ? o.faults.lateEvery
             : c == kGarbleEcho     ? o.garbleEchoEvery
             : c == kDuplicateEvery ? o.faults.duplicateEvery
                                    : o.noiseEvery) = static_cast<unsigned>(number);
            break;
        }
        case kEchoSkip:
            if (!parseUnsigned(value, 8, number) || number == 0)
                error = "--echo-skip: '" + value + "' is not a number of bytes from 1 to 8";
            o.echoSkip = static_cast<unsigned>(number);
            o.lineEcho = true;
            break;
        case kDoubleEcho:
            o.doubleEcho = true;
            o.lineEcho = true;
            break;
        case kEnding: {
            // A reply ends in CR, alone or with an LF on either side.
            std::string bytes;
            const std::optional<portula::Ending> ending = portula::parseEnding(value, bytes);
            if (ending == portula::Ending::CR || ending == portula::Ending::CRLF ||
                ending == portula::Ending::LFCR)
                o.ending = bytes;
            else
                error = "--ending: '" + value + "' is none of cr, crlf, lfcr";
            o.endingGiven = true;
            break;
        }
        case kNoiseBytes:
            if (!parseUnsigned(value, 256, number) || number == 0)
                error = "--noise-bytes: '" + value + "' is not a number of bytes from 1 to 256";
            o.noiseBytes = static_cast<unsigned>(number);
            o.noiseBytesGiven = true;
            break;
        case kSeed:
            if (!parseUnsigned(value, 4294967295u, number))
                error = "--seed: '" + value + "' is not a number from 0 to 4294967295";
            o.seed = static_cast<std::uint32_t>(number);
            break;
        case kTruth:
            if (value.empty())
                error = "--truth: the file name is empty";
            o.truth = value;
            break;
        case kBatchMs:
            if (!parseUnsigned(value, 1000, number) || number == 0)
                error =
                    "--batch-ms: '" + value + "' is not a number of milliseconds from 1 to 1000";
            o.batchMs = static_cast<unsigned>(number);
            break;
        case kLineEcho:
            o.lineEcho = true;
            break;
        case kWirePace:
            o.wirePace = true;
            break;
        case kCollide:
            o.faults.collide = true;
            break;
        case kKeepReplies:
            o.keepReplies = true;
            break;
        case kBackplane:
            if (value.empty() || value.size() >= sizeof(sockaddr_un{}.sun_path))
                error = "--backplane: a socket path must have 1 to " +
                        std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes";
            o.backplane = value;
            break;
        case kVerbose:
            o.verbose = true;
            break;
        case kHelp:
            o.help = true;
            break;
        case kVersion:
            o.version = true;
            break;
        case ':':
            error = std::string(argv[previous]) + " needs a value";
            break;
        default:
            error = std::string("unknown option '") + argv[previous] + "'";
            break;
        }
        if (!error.empty())
            return parsed;
    }
    if (optind < argc) {
        error = std::string("unexpected argument '") + argv[optind] + "'";
        return parsed;
    }
    for (const std::string& list : addressLists) {
        error = o.modbus ? addModbusIds(list, o.modbusIds) : addAddresses(list, o.addresses);
        if (!error.empty())
            return parsed;
    }
    if (o.modbus && (o.echo || o.checksum || o.endingGiven || !o.backplane.empty()))
        error = std::string(o.echo          ? "--echo"
                            : o.checksum    ? "--checksum"
                            : o.endingGiven ? "--ending"
                                            : "--backplane") +
                ": not with --modbus, whose slaves answer Modbus frames";
    else if (o.faults.lateEvery != 0 && o.faults.lateMs == 0)
        error = "--late-every needs --late-ms";
    else if (o.echo && o.addresses.size() > 1)
        error = "--echo plays one device: give at most one --address";
    else if (o.echo && (o.echoSkip != 0 || o.doubleEcho))
        error = std::string(o.echoSkip != 0 ? "--echo-skip" : "--double-echo") +
                ": --echo returns every byte already, and has no line echo";
    else if (o.echo && o.lineEcho)
        error = "--line-echo: --echo returns every byte already, and answers nothing";
    else if (o.echo && o.noiseEvery != 0)
        error = "--noise-every: --echo hears no commands to count";
    else if (o.faults.duplicateMs != 0 && o.faults.duplicateEvery == 0)
        error = "--duplicate-ms needs --duplicate-every";
    else if (o.noiseBytesGiven && o.noiseEvery == 0)
        error = "--noise-bytes needs --noise-every";
    else if (o.echo && o.faults.collide)
        error = "--collide: --echo answers nothing to collide";
    else if (o.garbleEchoEvery != 0 && !o.lineEcho)
        error = "--garble-echo needs --line-echo";
    return parsed;
}

std::string usageText() {
    return "Usage: portula-sim [options]\n"
           "  --address AA[,BB...]\n"
           "                   module addresses, two hex digits each (default 01); repeat\n"
           "                   or list several to put several modules on the line\n"
           "                   (with --modbus: slave ids, decimal, 1 to 247; default 1)\n"
           "  --modbus MODE    Modbus slaves instead of the ASCII modules, MODE rtu or ascii\n"
           "  --baud N         the modules' baud rate (default 9600)\n"
           "  --parity P       none, odd or even: the modules stay silent on a line at another\n"
           "                   parity (unchecked unless given)\n"
           "  --stop-bits N    1 or 2 (default 1)\n"
           "  --checksum       commands and replies carry checksums\n"
           "  --echo           return every byte received instead of answering commands\n"
           "  --delay-ms N     answer N milliseconds after each command\n"
           "  --drop-every N   lose every Nth reply\n"
           "  --late-every N   send every Nth reply late, by --late-ms M milliseconds\n"
           "  --late-ms M      how late a late reply comes\n"
           "  --line-echo      the line also returns every byte the terminal sends, ahead of\n"
           "                   the replies, as a 2-wire RS-485 adapter with its receiver on\n"
           "  --garble-echo N  with --line-echo: the echo of every Nth command has one byte\n"
           "                   changed (its first nonzero byte loses its lowest 1 bit)\n"
           "  --batch-ms N     hand bytes to the terminal in batches, on ticks N ms apart, as\n"
           "                   a USB adapter's latency timer does (1 to 1000)\n"
           "  --wire-pace      send bytes at the line's own speed: 10 bits a byte at --baud,\n"
           "                   11 with --stop-bits 2; a reply then spans several batches\n"
           "  --collide        a second module at each address answers every command at the\n"
           "                   same time: the two replies' bits combine, a 0 winning\n"
           "  --keep-replies   send queued replies even when the terminal flushes its input,\n"
           "                   so a late reply reaches the next command\n"
           "  --echo-skip N    the line's echo of each command lacks its first N bytes (1 to\n"
           "                   8), as a receiver that turns on late; implies --line-echo\n"
           "  --double-echo    the line's echo of each command comes back twice, as through\n"
           "                   two converters; implies --line-echo\n"
           "  --duplicate-every N\n"
           "                   send every Nth reply a second time, --duplicate-ms M\n"
           "                   milliseconds after the first ends (default 0)\n"
           "  --duplicate-ms M how long after the first a duplicate comes\n"
           "  --ending E       what ends each reply: cr (the default), crlf or lfcr\n"
           "  --noise-every N  after every Nth command heard, a burst of noise (bytes from\n"
           "                   0x80 to 0xFF and 0x00) ahead of its reply\n"
           "  --noise-bytes K  bytes in a burst of noise (default 4, up to 256)\n"
           "  --seed S         what the noise is drawn from (default 1): the same seed, the\n"
           "                   same noise\n"
           "  --truth FILE     append a JSON line to FILE for each command heard and for\n"
           "                   each reply, echo and burst of noise given to the terminal,\n"
           "                   with its times (steady clock microseconds)\n"
           "  --backplane PATH\n"
           "                   hold a module in each of slots 1 to 7, switched through the\n"
           "                   datagram socket PATH (set KORVEXSDK_BACKPLANE=PATH for the\n"
           "                   terminal); the module in the selected slot answers\n"
           "  --verbose        log the bytes received and sent on standard error\n"
           "  --help           print this and exit\n"
           "  --version        print the version and exit\n";
}

std::string versionText() {
    return "portula-sim " PORTULA_VERSION_STRING "\n";
}

LineConfig lineConfigFor(const Options& options) {
    LineConfig line;
    line.delayMs = options.delayMs;
    line.echo = options.lineEcho;
    line.garbleEchoEvery = options.garbleEchoEvery;
    line.batchMs = options.batchMs;
    line.wirePace = options.wirePace;
    line.baud = options.baud;
    line.stopBits = options.stopBits;
    line.parity = options.parity != 0;
    line.keepReplies = options.keepReplies;
    line.echoSkip = options.echoSkip;
    line.doubleEcho = options.doubleEcho;
    line.noiseEvery = options.noiseEvery;
    line.noiseBytes = options.noiseBytes;
    line.seed = options.seed;
    line.truth = !options.truth.empty();
    return line;
}

Module moduleFor(const Options& options) {
    if (!options.modbus)
        return Module(modulesFor(options), options.faults);
    ModbusLine line;
    line.mode = *options.modbus;
    if (!options.modbusIds.empty())
        line.ids = options.modbusIds;
    return Module(line, options.faults);
}

std::vector<ModuleConfig> modulesFor(const Options& options) {
    std::vector<std::string> addresses = options.addresses;
    if (addresses.empty())
        addresses.push_back("01");
    std::vector<ModuleConfig> modules;
    for (const std::string& address : addresses) {
        ModuleConfig m;
        m.address = address;
        m.checksum = options.checksum;
        m.echo = options.echo;
        m.ending = options.ending;
        if (addresses.size() > 1)
            m.identity.name = nameOnSharedLine(address);
        modules.push_back(m);
    }
    return modules;
}

} // namespace sim

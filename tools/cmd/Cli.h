#pragma once
// portula-cmd's pure side: the command line, port names, output formats, the scan's timing
// rule and the soak's statistics.

#include "rules/Framing.h"
#include "rules/Modbus.h"
#include "rules/Rates.h"
#include "rules/Text.h"

#include <uartce.h>

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cmd {

// Exit statuses. 10 to 15 are the serial library's codes for the same outcomes.
enum Exit : int {
    kExitOk = 0,
    kExitUsage = 2,        // unknown option, missing or malformed value
    kExitBadAddresses = 3, // bad address range
    kExitBadBaud = 4,      // a baud rate outside 50 to 4000000
    kExitTooLong = 5,      // command text too long
    kExitPortRefused = 6,  // the port could not be opened (missing, busy, no permission)
    kExitNoReply = 10,
    kExitReplyCut = 11,
    kExitChecksum = 12,
    kExitReplyTooLong = 13,
    kExitHangUp = 14,
    kExitLineError = 15,    // the write failed or stalled, a read failed
    kExitSoakFailures = 16, // soak: at least one command failed
    kExitNothingFound = 17, // scan: no module answered
    kExitOutput = 18,       // the results could not be written to standard output
    kExitPlantDiffers = 19, // scan --compare: the plant is not as the inventory says
    kExitBusFailed = 20,    // scan of several buses: a bus could not be scanned
    kExitException = 21,    // --modbus: a slave answered with an exception
    kExitEchoUnknown = 22,  // --modbus: a write's repeat came on a line whose echo is not known
    kExitInterrupted = 130, // Ctrl-C; what was found or counted so far is printed
};

// The exit status for a library status code of one exchange.
int exitForStatus(unsigned status);

enum class Mode { Command, Scan, Soak, Terminal };
using portula::Ending;
enum class ScanChecksum { Auto, On, Off };

inline constexpr std::size_t kMaxText = 4096; // the library's longest command
// The longest Modbus request, without its CRC: an RTU frame is 256 bytes at most.
inline constexpr std::size_t kMaxModbusRequest = portula::kRtuMaxFrame - 3;
inline constexpr unsigned kDefaultTimeoutMs = 200;
// The rates a port opens at, as a refusal says them.
std::string baudsTaken();

struct Options {
    Mode mode = Mode::Command;
    std::string port = "COM2";
    std::uint32_t baud = 9600;
    int dataBits = 8;
    std::uint8_t parity = 0; // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = 1;
    std::uint8_t flow = 0; // 0 none, 1 RTS/CTS, 2 XON/XOFF
    bool escapes = false;  // commands take \xNN, \r, \n, \t and a doubled backslash
    // Commands are Modbus requests in hex, sent in this framing.
    std::optional<portula::ModbusMode> modbus;
    // --modbus: the copies of each request the line returns; learned by the library unless given.
    std::optional<unsigned> lineEcho;
    bool checksum = false;
    ScanChecksum scanChecksum = ScanChecksum::Auto;
    std::optional<unsigned> timeoutMs;
    std::optional<unsigned> lateWindowMs; // the library's own unless given
    Ending ending = Ending::CR;
    std::string endingBytes; // what Ending::Hex appends
    bool hex = false;
    bool json = false;
    std::string trace;
    std::vector<std::string> commands; // empty in command mode: one a line on standard input
    std::vector<std::uint32_t> bauds{std::begin(portula::kModuleRates),
                                     std::end(portula::kModuleRates)};
    bool baudsGiven = false;
    bool serverRate = false;         // scan: a raw TCP port, whose one rate is the server's
    std::vector<unsigned> addresses; // scan; 0x00 to 0xFF by default (Modbus: ids 1 to 247)
    // scan --modbus: the parities tried at each rate, in order (0 none, 1 odd, 2 even).
    std::vector<std::uint8_t> parities{2, 0};
    bool paritiesGiven = false;
    unsigned intervalMs = 0;
    std::optional<unsigned long> count;
    std::optional<unsigned long> durationMs;
    std::optional<std::string> expect;
    bool timestamps = false; // term: a time on every line shown
    std::string log;         // term: the file the exchange is appended to
    bool help = false;
    bool version = false;
    // The kernel RS-485 mode to put the port in, in every mode.
    std::optional<uartce_rs485> rs485;
    // scan: every -p in order (port is the last), or every port the map names; the inventory
    // written, or compared with; the results as CSV.
    std::vector<std::string> ports;
    bool mapPorts = false;
    std::string saveFile, compareFile;
    bool csv = false;
};

struct Parsed {
    Options options;
    int exit = kExitOk; // non-zero: error holds one line saying why
    std::string error;
};

Parsed parse(int argc, char* const* argv);
std::string usageText();
// "portula-cmd" and the project's version, one line.
std::string versionText();

// A port name: COMn (or n) goes through the library's map; any other path or URL the library
// opens by its name.
struct PortChoice {
    std::uint8_t number = 0; // COMn; 0 for a device named
    std::string device;      // empty: the library's own map for COMn
};
std::optional<PortChoice> choosePort(const std::string& name);

// A reply as text (control bytes as \xNN) or as hex pairs.
std::string showBytes(std::string_view bytes, bool hex);
// JSON strings and message lines spelled as the serial library spells them.
using portula::escapeForLine;
using portula::jsonString;
using portula::parseUnsigned;

// What a failed exchange's status means, in a few words: "no reply within 200 ms".
std::string statusWords(unsigned status, unsigned timeoutMs);

// The bits a byte takes on the wire: start bit, data bits, parity bit, stop bits.
unsigned frameBits(const Options& options);

// The scan's time-out at a baud rate: the wire time of the longest command and of a reply of
// kScanMaxReply bytes at frameBits a byte, plus kTurnaroundMs for the module to answer.
inline constexpr unsigned kScanMaxReply = 32;
inline constexpr unsigned kTurnaroundMs = 20;
// latencyMs: what the way to the line adds (a USB adapter's latency timer, a network's round
// trip), as the library reports it for the open port.
unsigned scanTimeoutMs(std::uint32_t baud, bool checksum, unsigned frameBits,
                       unsigned latencyMs = 0);
// How long a scan waits for the first byte of a reply: the command's own wire time, the
// module's turnaround and the latency. A silent address costs this much, not the whole
// time-out.
unsigned scanFirstByteMs(std::uint32_t baud, bool checksum, unsigned frameBits,
                         unsigned latencyMs = 0);
// Upper bound of a scan's duration: every address answering as late as it may at every rate
// and setting tried; and its duration when no address answers.
unsigned long scanWorstCaseMs(const Options& options);
unsigned long scanSilentMs(const Options& options);

// A Modbus scan asks every id for one holding register at address 0 (function 3): a slave
// answers it with the register or with an exception, and either way it is there.
std::string modbusScanRequest(unsigned id);
// The longest reply to it: id, function, byte count, one register (RTU: and its CRC).
inline constexpr unsigned kModbusScanReply = 5;
// The time-out for one id: the wire time of the request and of the longest reply (ASCII: as
// hex pairs between ':' and CR LF), the line's silence that ends an RTU frame (3.5
// characters, 1.75 ms above 19200 baud), the slave's turnaround and the latency.
unsigned modbusScanTimeoutMs(std::uint32_t baud, portula::ModbusMode mode, unsigned frameBits,
                             unsigned latencyMs = 0);
// Slave ids in decimal: "1-247", "1,5,10-20"; each once, in increasing order, 1 to 247.
bool parseModbusIds(std::string_view text, std::vector<unsigned>& ids);

// A module a scan heard, from a line that came back to the name command ($AAM): !AA and its
// name, or ?AA (a module is there, but did not take the command). The same rule whether the
// line came in time or late: with checksum (the pass's setting) it must end in its right
// checksum, which is not part of the name. nullopt for anything else.
struct ScanAnswer {
    std::string address; // two hex digits, upper case
    std::string name;
    bool unknownCommand = false; // it answered ?AA
};
std::optional<ScanAnswer> judgeScanReply(std::string_view line, bool checksum);

// Soak figures.
struct Outcome {
    unsigned status;
    bool expected; // status 0 and, with --expect, the reply it expected
    std::int64_t roundTripUs;
    unsigned late = 0; // replies to earlier commands that came meanwhile, and were set aside
};
class SoakStats {
  public:
    void add(const Outcome& outcome);
    unsigned long sent() const { return m_sent; }
    unsigned long answered() const { return m_answered; }
    unsigned long timeouts() const { return m_timeouts; }
    unsigned long checksumErrors() const { return m_checksum; }
    unsigned long unexpected() const { return m_unexpected; }
    unsigned long otherErrors() const { return m_other; }
    unsigned long failures() const { return m_sent - m_answered; }
    unsigned long lateReplies() const { return m_late; }
    unsigned long longestFailureRun() const { return m_longestRun; }
    // Round trips of the answered commands: 0 min, 0.5 median, 0.99, 1 max (nearest rank).
    std::int64_t roundTripUs(double quantile) const;
    std::string text() const;
    std::string json() const;

  private:
    unsigned long m_sent = 0, m_answered = 0, m_timeouts = 0, m_checksum = 0, m_unexpected = 0,
                  m_other = 0, m_run = 0, m_longestRun = 0, m_late = 0;
    std::vector<std::int64_t> m_roundTrips;
};

// The command as it goes on the line: with escapes, \xNN and the others turned into their
// bytes; with the CR ending, one without a NUL (the library takes it as C text). Empty error
// when it may go.
struct CommandText {
    std::string bytes;
    std::string error; // one line saying why it may not go
};
CommandText commandBytes(std::string_view text, bool escapes, Ending ending);
// A Modbus request given as hex bytes ("05 03 00 00 00 0A", blanks optional): its bytes, at
// least the slave address and the function. Its length is the caller's to check.
CommandText modbusRequest(std::string_view text);

// The line settings in the C interface's struct.
struct uartce_line lineOf(const Options& options);

// Parses "10m", "30s", "500ms", "1h" or plain seconds.
std::optional<unsigned long> parseDurationMs(std::string_view text);

} // namespace cmd

// portula-cmd: the terminal's commands from a shell: one exchange, a scan of a line, a soak.

#include "cmd/Cli.h"
#include "cmd/Console.h"
#include "cmd/Inventory.h"
#include "cmd/Line.h"
#include "cmd/Plant.h"
#include "cmd/Terminal.h"
#include "rules/FileSink.h"
#include "rules/Replies.h"

#include <uartce.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

using namespace cmd;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_interrupted = 0;

// A scan of many buses runs one worker process a bus (see Plant.cpp); a worker scans its bus,
// asks each module found for its firmware too, and prints each as an inventory line.
bool g_busWorker = false;

void onInterrupt(int) {
    g_interrupted = 1;
}

// Ctrl-C stops the run after the current command with the results so far. SIGTERM keeps its
// default: whoever sends it wants the process gone. No SA_RESTART, so a blocked read returns.
void catchInterrupt() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
}

// A standard descriptor that is closed would be taken by the next open, the port's or a
// temporary file's, and results or messages would go there. /dev/null opened for reading takes
// its place: reads end at once, and writes fail with EBADF as they would have.
void holdStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

// Results go to standard output a line at a time. The first write that fails is kept and stops
// the run: whatever it went on to find could not be told either.
int g_outputError = 0;

bool resultsWritten() {
    if (g_outputError != 0)
        return false;
    // A text longer than the buffer is written while it is printed: a write that failed then
    // said why in errno, and nothing is left to flush that would say it again.
    if (std::ferror(stdout)) {
        g_outputError = errno != 0 ? errno : EIO;
        return false;
    }
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        g_outputError = errno != 0 ? errno : EIO;
    return g_outputError == 0;
}

// A file system may report a failed write only when the file is closed. Results that did not
// all arrive make the run a failure whatever the commands did.
int finishResults(int exit) {
    // term shows what it shows itself: its first failure keeps its cause.
    if (g_outputError == 0 && firstOutputError() != 0)
        g_outputError = firstOutputError();
    const bool written = resultsWritten();
    errno = 0;
    if (std::fclose(stdout) != 0 && written)
        g_outputError = errno != 0 ? errno : EIO;
    if (g_outputError == 0)
        return exit;
    std::fprintf(stderr, "portula-cmd: the results could not be written to standard output: %s\n",
                 std::strerror(g_outputError));
    return kExitOutput;
}

// The library's messages (refusals, warnings about the port map or the trace) as the tool's
// own lines.
void sayLibraryMessage(void*, std::uint8_t, std::uint16_t, const char* text) {
    std::fflush(stdout);
    std::fprintf(stderr, "portula-cmd: %s\n", text);
}

// What the driver kept otherwise of the RS-485 mode last set on the port (with --rs485 or by
// the port's map line): one line each on standard error.
void sayRs485Changes(std::uint8_t port) {
    std::string changes(UARTCE_Rs485Changes(port, nullptr, 0) + 1, '\0');
    changes.resize(UARTCE_Rs485Changes(port, changes.data(), changes.size()));
    std::fflush(stdout);
    for (std::size_t from = 0; from < changes.size();) {
        const std::size_t end = std::min(changes.find('\n', from), changes.size());
        std::fprintf(stderr, "portula-cmd: RS-485 mode: %s\n",
                     changes.substr(from, end - from).c_str());
        from = end + 1;
    }
}

// The kernel RS-485 mode asked with --rs485, after any the port's map line gave; a refusal the
// library has said why. False when the port has no such mode.
bool putInRs485Mode(const uartce_rs485& asked, std::uint8_t port) {
    uartce_rs485 kept{};
    kept.size = sizeof kept;
    return UARTCE_SetRs485(port, &asked, &kept) == UARTCE_OK;
}

int openPort(const Options& o, std::uint8_t& number) {
    const auto choice = choosePort(o.port);
    const auto stopBits = static_cast<std::int8_t>(o.stopBits);
    const auto dataBits = static_cast<std::uint8_t>(o.dataBits);
    const uartce_line line = lineOf(o);
    const char* device = choice->device.empty() ? nullptr : choice->device.c_str();
    number = choice->number;
    // The library has said why, naming the port as the user did: COMn, or the device. Flow
    // control needs the call with a line of settings; without it the six functions' open does.
    const std::uint16_t status =
        o.flow != 0 ? UARTCE_OpenLine(device, &line, &number)
        : device    ? UARTCE_OpenDevice(device, o.baud, dataBits, o.parity, stopBits, &number)
                    : Open_Com(number, o.baud, dataBits, o.parity, stopBits);
    if (status != UARTCE_OK)
        return kExitPortRefused;
    if (o.rs485 && !putInRs485Mode(*o.rs485, number)) {
        Close_Com(number);
        return kExitPortRefused;
    }
    sayRs485Changes(number);
    if (o.lateWindowMs)
        UARTCE_SetLateWindow(number, static_cast<std::uint16_t>(*o.lateWindowMs));
    if (o.lineEcho)
        UARTCE_SetModbusEcho(number, static_cast<std::int32_t>(*o.lineEcho));
    return kExitOk;
}

// The library would only warn about a trace file it cannot open; a trace asked for by name is
// worth stopping for, before anything goes on the line. Only a regular file (created when it is
// not there) or a character device such as /dev/null will do: anything else can make a writer
// wait on whoever is at the other end.
int checkTrace(const std::string& path) {
    const portula::FileSink sink = portula::openFileSink(path);
    if (sink.fd >= 0)
        ::close(sink.fd);
    if (sink.refusal.empty())
        return kExitOk;
    std::fprintf(stderr, "portula-cmd: --trace: %s\n", sink.refusal.c_str());
    return kExitUsage;
}

// Standard input one line at a time, without its LF or CR LF. Ctrl-C is let in only while
// waiting for input, so that one arriving just before the wait is not lost in a read that would
// then block for good. A line longer than the longest command is told as soon as it passes the
// limit and the rest of it is read and dropped as it comes: memory stays bounded and the work
// linear however long the line is.
class InputLines {
  public:
    enum Result { Line, TooLong, End, Interrupted };

    Result next(std::string& line) {
        for (;;) {
            // Only what came since the last look is searched.
            if (const std::size_t end = m_buffer.find('\n', m_scanned); end != std::string::npos) {
                const bool dropped = m_dropping;
                m_dropping = false;
                if (!dropped)
                    line.assign(m_buffer, m_start, end - m_start);
                m_start = m_scanned = end + 1;
                if (dropped)
                    continue;
                return checked(line);
            }
            m_scanned = m_buffer.size();
            if (m_dropping) {
                m_buffer.clear();
                m_start = m_scanned = 0;
            } else if (m_buffer.size() - m_start > kLongestLine) {
                m_dropping = true;
                m_buffer.clear();
                m_start = m_scanned = 0;
                return TooLong;
            }
            if (m_end) {
                if (m_start == m_buffer.size())
                    return End;
                line.assign(m_buffer, m_start);
                m_buffer.clear();
                m_start = m_scanned = 0;
                return checked(line);
            }
            m_buffer.erase(0, m_start);
            m_scanned -= m_start;
            m_start = 0;
            if (!fill())
                return Interrupted;
        }
    }

  private:
    // Reads what is there; false when Ctrl-C came.
    bool fill() {
        sigset_t interrupt, before;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        ::sigprocmask(SIG_BLOCK, &interrupt, &before);
        sigset_t waiting = before;
        sigdelset(&waiting, SIGINT);
        bool ready = false;
        while (!g_interrupted && !ready) {
            pollfd p{0, POLLIN, 0};
            ready = ::ppoll(&p, 1, nullptr, &waiting) > 0;
            if (!ready && errno != EINTR) {
                m_end = true;
                break;
            }
        }
        if (ready) {
            const ssize_t n = ::read(0, m_chunk.data(), m_chunk.size());
            if (n > 0)
                m_buffer.append(m_chunk.data(), static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                m_end = true;
        }
        ::sigprocmask(SIG_SETMASK, &before, nullptr);
        return !g_interrupted;
    }

    // The longest command and the CR that may end its line.
    static constexpr std::size_t kLongestLine = kMaxText + 1;

    static Result checked(std::string& line) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return line.size() > kMaxText ? TooLong : Line;
    }

    std::string m_buffer;            // from m_start on: the line under way and what follows it
    std::size_t m_start = 0;         // where the line under way begins
    std::size_t m_scanned = 0;       // m_buffer holds no LF from m_start up to here
    bool m_dropping = false;         // in a line too long to keep, up to its LF
    std::array<char, 65536> m_chunk; // one read
    bool m_end = false;
};

int runCommands(const Options& o, std::uint8_t port) {
    const unsigned timeout = o.timeoutMs.value_or(kDefaultTimeoutMs);
    int exit = kExitOk;
    auto one = [&](const std::string& command) {
        // A Modbus request and its reply show as hex bytes, in the messages too.
        const Exchange e = o.modbus ? modbusExchange(port, command, *o.modbus, timeout)
                                    : exchange(port, command, o, timeout, o.checksum);
        const std::string text = o.modbus ? portula::hexBytes(command) : command;
        const std::string reply = o.modbus ? portula::hexBytes(e.reply) : e.reply;
        if (o.json)
            std::printf("{\"command\":%s,\"reply\":%s,\"status\":%u,%s\"rtt_us\":%lld}\n",
                        jsonString(text).c_str(), jsonString(reply).c_str(), e.status,
                        e.status == UARTCE_ERR_EXCEPTION
                            ? ("\"exception\":" + std::to_string(e.exception) + ",").c_str()
                            : "",
                        static_cast<long long>(e.roundTripUs));
        else
            std::printf("%s\n", o.modbus ? reply.c_str() : showBytes(e.reply, o.hex).c_str());
        const bool written = resultsWritten();
        // In either format: the results are for a program, the failures for whoever watches.
        if (e.status != UARTCE_OK)
            std::fprintf(stderr, "portula-cmd: %s: %s (status %u)\n", escapeForLine(text).c_str(),
                         failureWords(e, timeout).c_str(), e.status);
        if (exit == kExitOk)
            exit = exitForStatus(e.status);
        return written && e.status != UARTCE_ERR_HANGUP;
    };
    if (!o.commands.empty()) {
        for (const std::string& text : o.commands)
            if (!one(text) || g_interrupted)
                break;
        return g_interrupted ? kExitInterrupted : exit;
    }
    InputLines input;
    std::string line;
    for (InputLines::Result got; (got = input.next(line)) != InputLines::End;) {
        if (got == InputLines::Interrupted || g_interrupted)
            return kExitInterrupted;
        // A line that cannot be sent is a failed command like one that gets no answer: it is
        // told, its status counts if it is the first failure, and the next line runs.
        if (got == InputLines::TooLong) {
            std::fprintf(stderr,
                         "portula-cmd: a command of more than %zu bytes; the longest is %zu\n",
                         kMaxText, kMaxText);
            if (exit == kExitOk)
                exit = kExitTooLong;
            continue;
        }
        if (line.empty())
            continue;
        const CommandText command =
            o.modbus ? modbusRequest(line) : commandBytes(line, o.escapes, o.ending);
        if (o.modbus && command.bytes.size() > kMaxModbusRequest) {
            std::fprintf(stderr, "portula-cmd: a request of %zu bytes; the longest is %zu\n",
                         command.bytes.size(), kMaxModbusRequest);
            if (exit == kExitOk)
                exit = kExitTooLong;
            continue;
        }
        if (!command.error.empty()) {
            std::fprintf(stderr, "portula-cmd: %s: %s\n", escapeForLine(line).c_str(),
                         command.error.c_str());
            if (exit == kExitOk)
                exit = kExitUsage;
            continue;
        }
        if (!one(command.bytes))
            break;
    }
    return g_interrupted ? kExitInterrupted : exit;
}

std::string hexAddress(unsigned a) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", a);
    return text;
}

// Everything the library set aside since it was last asked: answers that came late among them.
std::vector<std::string> takeDroppedLines(std::uint8_t port) {
    std::vector<std::string> lines;
    std::array<uartce_dropped, 16> kept{};
    kept[0].size = sizeof(uartce_dropped);
    for (std::uint32_t n; (n = UARTCE_TakeDropped(port, kept.data(), kept.size())) > 0;)
        for (std::uint32_t i = 0; i < n; ++i) {
            // A piece may hold several lines (a late listen reads to the first CR and what came
            // with it); each is judged alone.
            const std::string bytes(kept[i].bytes, kept[i].length);
            std::size_t from = 0;
            for (std::size_t cr; (cr = bytes.find('\r', from)) != std::string::npos; from = cr + 1)
                lines.push_back(bytes.substr(from, cr - from));
            if (from < bytes.size())
                lines.push_back(bytes.substr(from));
        }
    return lines;
}

// The module's firmware ($AAF), at the rate and checksum setting it answered at; nullopt when
// it did not say.
std::optional<std::string> askFirmware(std::uint8_t port, const std::string& address,
                                       const Options& o, unsigned timeout, bool checksum) {
    const Exchange e = exchange(port, "$" + address + "F", o, timeout, checksum);
    if (e.status != UARTCE_OK || e.reply.size() < 3 || e.reply[0] != '!' ||
        !portula::sameAddress(e.reply.substr(1, 2), address))
        return std::nullopt;
    return e.reply.substr(3);
}

int runScan(Options o, std::uint8_t port) {
    const bool progress = !g_busWorker && ::isatty(2);
    if (g_busWorker) {
        // No estimate, header or totals: the process that started the workers says them.
    } else if (o.serverRate)
        std::fprintf(stderr,
                     "portula-cmd: %s is a raw TCP port: its rate is the server's, so it is "
                     "scanned once\n",
                     escapeForLine(o.port).c_str());
    if (!g_busWorker)
        std::fprintf(stderr,
                     "portula-cmd: scanning %zu address%s at %zu baud rate%s: %.1f s if none "
                     "answers, at most %.1f s\n",
                     o.addresses.size(), o.addresses.size() == 1 ? "" : "es", o.bauds.size(),
                     o.bauds.size() == 1 ? "" : "s", scanSilentMs(o) / 1000.0,
                     scanWorstCaseMs(o) / 1000.0);
    if (!o.json && !g_busWorker)
        std::printf("%-4s %-7s %-8s %s\n", "ADDR", "BAUD", "CHECKSUM", "NAME");
    if (!resultsWritten())
        return kExitOutput;
    unsigned found = 0;
    const auto list = [&](const ScanAnswer& a, std::uint32_t baud, bool checksum, bool late) {
        ++found;
        if (g_busWorker) {
            const unsigned timeout =
                o.timeoutMs.value_or(scanTimeoutMs(baud, checksum, frameBits(o), 0));
            const Module m{.port = o.port,
                           .address = a.address,
                           .baud = o.serverRate ? 0 : baud,
                           .checksum = checksum,
                           .name = a.name,
                           .firmware = askFirmware(port, a.address, o, timeout, checksum)};
            std::printf("%s\n", moduleJson(m).c_str());
            resultsWritten();
            return;
        }
        if (progress)
            std::fprintf(stderr, "\r%60s\r", "");
        const std::string rate = o.serverRate ? "server" : std::to_string(baud);
        if (o.json)
            std::printf("{\"address\":\"%s\",\"baud\":%s,\"checksum\":%s,\"name\":%s%s%s}\n",
                        a.address.c_str(), o.serverRate ? "null" : rate.c_str(),
                        checksum ? "true" : "false", jsonString(a.name).c_str(),
                        a.unknownCommand ? ",\"unknown_command\":true" : "",
                        late ? ",\"late\":true" : "");
        else
            std::printf("%-4s %-7s %-8s %s%s%s\n", a.address.c_str(), rate.c_str(),
                        checksum ? "on" : "off", showBytes(a.name, false).c_str(),
                        a.unknownCommand ? "(answered ?: it did not take $AAM)" : "",
                        late ? "  (answered late)" : "");
        resultsWritten();
    };
    for (std::uint32_t baud : o.bauds) {
        if (g_interrupted || !resultsWritten())
            break;
        // Each rate is set on the open port, in place, the first too: a map line's rate for the
        // port does not hold in a scan. A rate the device does not take ends the scan, as the
        // library has said.
        o.baud = baud;
        const uartce_line line = lineOf(o);
        if (UARTCE_SetLine(port, &line) != UARTCE_OK)
            return kExitPortRefused;
        const unsigned latency = UARTCE_LineLatency(port);
        std::set<std::string> answered; // at this rate
        // Every line that came back is judged by one rule, in time or late: the address it
        // names is listed once, with the rate and checksum setting of the pass it came in.
        const auto heard = [&](std::string_view line, bool checksum, bool late,
                               const std::string& asked) {
            const std::optional<ScanAnswer> a = judgeScanReply(line, checksum);
            if (!a || !answered.insert(a->address).second)
                return;
            if (late)
                std::fprintf(stderr,
                             "portula-cmd: %s answered late%s%s; give --timeout to wait longer\n",
                             a->address.c_str(), asked.empty() ? "" : ", while ",
                             asked.empty() ? "" : (asked + " was asked").c_str());
            list(*a, baud, checksum, late);
        };
        takeDroppedLines(port);
        // All addresses without a checksum, then those still silent with one: two commands to
        // one address never follow each other, so the reply's address tells every answer apart.
        for (bool checksum : {false, true}) {
            if (o.scanChecksum != ScanChecksum::Auto &&
                (o.scanChecksum == ScanChecksum::On) != checksum)
                continue;
            const unsigned timeout =
                o.timeoutMs.value_or(scanTimeoutMs(baud, checksum, frameBits(o), latency));
            const unsigned firstByte =
                o.timeoutMs.value_or(scanFirstByteMs(baud, checksum, frameBits(o), latency));
            bool asked = false;
            for (std::size_t i = 0; i < o.addresses.size() && !g_interrupted && resultsWritten();
                 ++i) {
                const std::string address = hexAddress(o.addresses[i]);
                if (answered.count(address))
                    continue;
                if (progress) {
                    const int filled = static_cast<int>(20 * i / o.addresses.size());
                    std::fprintf(stderr, "\r[%-20.*s] %6u baud  address %s  found %u ", filled,
                                 "####################", baud, address.c_str(), found);
                }
                const Exchange e =
                    exchange(port, "$" + address + "M", o, timeout, checksum, firstByte);
                asked = true;
                // What came while this address was asked and was not its answer: another
                // module's, slower than its time-out; never the address asked.
                for (const std::string& line : takeDroppedLines(port))
                    heard(line, checksum, true, address);
                if (e.status != UARTCE_OK)
                    continue;
                // The library has checked the reply's checksum and taken it off.
                const std::optional<ScanAnswer> a = judgeScanReply(e.reply, false);
                if (a && a->address == address && answered.insert(address).second)
                    list(*a, baud, checksum, false);
            }
            // The pass ends with a listen as long as a time-out: an answer to its last command
            // that comes late is this pass's, not the next one's.
            if (!asked || g_interrupted)
                continue;
            std::array<char, UARTCE_REPLY_BUFFER_SIZE> line{};
            std::uint32_t length = 0;
            while (UARTCE_Receive(port, line.data(), static_cast<std::uint32_t>(line.size()),
                                  static_cast<std::uint16_t>(timeout), '\r', &length) == UARTCE_OK)
                heard(std::string_view(line.data(), length), checksum, true, "");
            for (const std::string& dropped : takeDroppedLines(port))
                heard(dropped, checksum, true, "");
        }
    }
    if (progress)
        std::fprintf(stderr, "\r%60s\r", "");
    if (!resultsWritten())
        return kExitOutput;
    if (!g_busWorker)
        std::fprintf(stderr, "portula-cmd: %u module%s found%s\n", found, found == 1 ? "" : "s",
                     g_interrupted ? " before the scan was stopped" : "");
    if (g_interrupted)
        return kExitInterrupted;
    return found > 0 ? kExitOk : kExitNothingFound;
}

// What waits on the line, and what comes for as long as a time-out: a late reply at one framing
// is not taken at the next.
void drainFor(std::uint8_t port, unsigned ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::array<char, UARTCE_RECEIVE_BUFFER_SIZE> chunk{};
    std::uint32_t got = 0;
    while (!g_interrupted && Clock::now() < deadline) {
        if (Receive_Cmd(port, chunk.data(), 0, 0, &got) != UARTCE_OK)
            break;
        if (got > 0)
            continue;
        pollfd p{UARTCE_WaitHandle(port), POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (p.fd < 0 || ::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0) + 1)) < 0)
            break;
    }
    takeDroppedLines(port);
}

// Every id at every rate and parity, in that order; an id found is not asked again, so each
// slave is listed once, at the first framing it answered at.
int runModbusScan(Options o, std::uint8_t port) {
    const bool progress = ::isatty(2);
    const std::size_t framings = o.bauds.size() * o.parities.size();
    std::fprintf(stderr,
                 "portula-cmd: scanning %zu slave id%s at %zu framing%s: %.1f s if none answers\n",
                 o.addresses.size(), o.addresses.size() == 1 ? "" : "s", framings,
                 framings == 1 ? "" : "s", scanSilentMs(o) / 1000.0);
    if (!o.json)
        std::printf("%-4s %-7s %-6s %-4s %s\n", "ID", "BAUD", "PARITY", "STOP", "ANSWER");
    if (!resultsWritten())
        return kExitOutput;
    std::set<unsigned> found;
    std::size_t refused = 0; // framings the device did not take
    for (std::uint32_t baud : o.bauds)
        for (std::uint8_t parity : o.parities) {
            if (g_interrupted || !resultsWritten())
                break;
            o.baud = baud;
            o.parity = parity;
            const uartce_line line = lineOf(o);
            // A framing the device does not take (a pseudo-terminal keeps no parity bit) is
            // told, as the library has said why, and the others are scanned.
            if (UARTCE_SetLine(port, &line) != UARTCE_OK) {
                std::fprintf(stderr, "portula-cmd: %u baud, %s parity not scanned\n", baud,
                             portula::parityWord(parity));
                ++refused;
                continue;
            }
            const unsigned timeout = o.timeoutMs.value_or(
                modbusScanTimeoutMs(baud, *o.modbus, frameBits(o), UARTCE_LineLatency(port)));
            drainFor(port, 0);
            bool asked = false;
            for (std::size_t i = 0; i < o.addresses.size() && !g_interrupted; ++i) {
                const unsigned id = o.addresses[i];
                if (found.count(id))
                    continue;
                if (progress) {
                    const int filled = static_cast<int>(20 * i / o.addresses.size());
                    std::fprintf(stderr, "\r[%-20.*s] %6u %-4s  id %3u  found %zu ", filled,
                                 "####################", baud, portula::parityWord(parity), id,
                                 found.size());
                }
                const Exchange e = modbusExchange(port, modbusScanRequest(id), *o.modbus, timeout);
                asked = true;
                // The library took only a frame from this id, with this function or its
                // exception, whose CRC or LRC held.
                if (e.status != UARTCE_OK && e.status != UARTCE_ERR_EXCEPTION)
                    continue;
                found.insert(id);
                if (progress)
                    std::fprintf(stderr, "\r%60s\r", "");
                const std::string reply = portula::hexBytes(e.reply);
                if (o.json)
                    std::printf("{\"id\":%u,\"baud\":%u,\"parity\":\"%s\",\"stop_bits\":%d,"
                                "\"reply\":%s%s}\n",
                                id, baud, portula::parityWord(parity), o.stopBits,
                                jsonString(reply).c_str(),
                                e.status == UARTCE_ERR_EXCEPTION
                                    ? (",\"exception\":" + std::to_string(e.exception)).c_str()
                                    : "");
                else
                    std::printf("%-4u %-7u %-6s %-4d %s\n", id, baud, portula::parityWord(parity),
                                o.stopBits,
                                e.status == UARTCE_ERR_EXCEPTION
                                    ? ("exception " + std::to_string(e.exception)).c_str()
                                    : reply.c_str());
                resultsWritten();
            }
            if (asked)
                drainFor(port, timeout);
        }
    if (progress)
        std::fprintf(stderr, "\r%60s\r", "");
    if (!resultsWritten())
        return kExitOutput;
    std::fprintf(stderr, "portula-cmd: %zu slave%s found%s\n", found.size(),
                 found.size() == 1 ? "" : "s", g_interrupted ? " before the scan was stopped" : "");
    if (g_interrupted)
        return kExitInterrupted;
    if (found.empty() && refused == framings)
        return kExitPortRefused;
    return found.empty() ? kExitNothingFound : kExitOk;
}

int runSoak(const Options& o, std::uint8_t port) {
    const bool live = ::isatty(2);
    const unsigned timeout = o.timeoutMs.value_or(kDefaultTimeoutMs);
    const std::string& text = o.commands.front();
    SoakStats stats;
    const auto start = Clock::now();
    auto next = start;
    auto lastReport = start;
    unsigned last = UARTCE_OK;
    for (;;) {
        if (g_interrupted || (o.count && stats.sent() >= *o.count))
            break;
        const auto now = Clock::now();
        if (o.durationMs && now - start >= std::chrono::milliseconds(*o.durationMs))
            break;
        if (now < next) {
            const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(next - now);
            timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                        static_cast<long>(wait.count() % 1000000000)};
            ::nanosleep(&ts, nullptr);
            continue;
        }
        next = now + std::chrono::milliseconds(o.intervalMs);
        const Exchange e = o.modbus ? modbusExchange(port, text, *o.modbus, timeout)
                                    : exchange(port, text, o, timeout, o.checksum);
        last = e.status;
        // A slave's exception is a failure, unless it is the reply --expect gives.
        const bool answered =
            e.status == UARTCE_OK || (o.expect && e.status == UARTCE_ERR_EXCEPTION);
        const bool expected = answered && (!o.expect || e.reply == *o.expect);
        // An exception is an answer, not the one wanted: it counts as unexpected.
        stats.add({e.status == UARTCE_ERR_EXCEPTION ? unsigned{UARTCE_OK} : e.status, expected,
                   e.roundTripUs, e.late + e.otherAddress});
        if (live && Clock::now() - lastReport > std::chrono::milliseconds(200)) {
            lastReport = Clock::now();
            std::fprintf(stderr, "\rsent %lu  answered %lu  failed %lu  longest run %lu ",
                         stats.sent(), stats.answered(), stats.failures(),
                         stats.longestFailureRun());
        }
        if (e.status == UARTCE_ERR_HANGUP)
            break;
    }
    if (live)
        std::fprintf(stderr, "\r%70s\r", "");
    const bool hungUp = stats.sent() > 0 && last == UARTCE_ERR_HANGUP;
    if (hungUp)
        std::fprintf(stderr, "portula-cmd: the device hung up after %lu commands\n",
                     stats.sent() - 1);
    std::fputs((o.json ? stats.json() : stats.text()).c_str(), stdout);
    if (g_interrupted)
        return kExitInterrupted;
    if (hungUp)
        return kExitHangUp;
    return stats.failures() == 0 ? kExitOk : kExitSoakFailures;
}

// The whole run; its status stands unless the results could not be written.
int run(int argc, char** argv) {
    Parsed parsed = parse(argc, argv);
    if (parsed.exit != kExitOk) {
        std::fprintf(stderr, "portula-cmd: %s (see --help)\n", parsed.error.c_str());
        return parsed.exit;
    }
    Options& o = parsed.options;
    const bool plant = o.mode == Mode::Scan && (o.ports.size() > 1 || o.mapPorts ||
                                                !o.saveFile.empty() || !o.compareFile.empty());
    if (const char* bus = std::getenv(kBusVariable); bus && plant) {
        if (!becomeBusWorker(o, bus))
            return kExitUsage;
        g_busWorker = true;
    } else if (plant && !o.help && !o.version) {
        catchInterrupt();
        return scanPlant(o, argv, [] { return g_interrupted != 0; });
    }
    if (o.help || o.version) {
        std::fputs((o.help ? usageText() : versionText()).c_str(), stdout);
        return kExitOk;
    }
    if (!o.trace.empty())
        if (const int refused = checkTrace(o.trace); refused != kExitOk)
            return refused;
    if (o.mode == Mode::Command && o.commands.empty() && ::isatty(0)) {
        std::fprintf(stderr, "portula-cmd: no command given (see --help)\n");
        return kExitUsage;
    }
    UARTCE_SetMessageHandler(sayLibraryMessage, nullptr);
    if (!o.trace.empty() && UARTCE_SetTrace(o.trace.c_str()) != UARTCE_OK)
        return kExitUsage; // the library has said why
    if (o.mode == Mode::Terminal)
        return runTerminal(o, [&o](std::uint32_t baud, std::uint8_t& port) {
            Options at = o;
            at.baud = baud;
            return openPort(at, port);
        });
    catchInterrupt();
    Options first = o;
    if (o.mode == Mode::Scan)
        first.baud = o.bauds.front();
    // A Modbus scan sets each parity in place; the port opens at none, which every device takes.
    if (o.mode == Mode::Scan && o.modbus)
        first.parity = 0;
    std::uint8_t port = 0;
    if (const int refused = openPort(first, port); refused != kExitOk)
        return refused;
    int exit = kExitOk;
    switch (o.mode) {
    case Mode::Command:
        exit = runCommands(o, port);
        break;
    case Mode::Scan:
        exit = o.modbus ? runModbusScan(first, port) : runScan(first, port);
        break;
    case Mode::Soak:
        exit = runSoak(o, port);
        break;
    case Mode::Terminal:
        break;
    }
    Close_Com(port);
    return exit;
}

} // namespace

int main(int argc, char** argv) {
    holdStandardDescriptors();
    // A file size limit is a failed write like any other, told as such, rather than a signal
    // that ends the run without its totals.
    ::signal(SIGXFSZ, SIG_IGN);
    return finishResults(run(argc, argv));
}

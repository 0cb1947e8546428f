#include "cmd/Terminal.h"

#include "rules/FileSink.h"

#include "cmd/Console.h"
#include "cmd/Line.h"

#include <uartce.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace cmd {

TermSettings termSettings(const Options& o) {
    TermSettings s;
    s.baud = o.baud;
    s.ending = o.ending;
    s.endingBytes = o.endingBytes;
    s.checksum = o.checksum;
    s.hex = o.hex;
    s.timestamps = o.timestamps;
    s.escapes = o.escapes;
    return s;
}

namespace {

// The option parser checks a value as it would on the command line, so that ':baud' and
// ':ending' take exactly what -b and --ending take.
Parsed parseAsOptions(std::vector<std::string> words) {
    words.insert(words.begin(), {"portula-cmd", "term"});
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return parse(static_cast<int>(words.size()), argv.data());
}

bool onOff(const std::string& word, bool& value) {
    if (word == "on")
        value = true;
    else if (word == "off")
        value = false;
    else
        return false;
    return true;
}

std::string endingText(const TermSettings& s) {
    return portula::endingName(s.ending, s.endingBytes);
}

std::string settingsText(const TermSettings& s) {
    return std::to_string(s.baud) + " baud, ending " + endingText(s) + ", checksum " +
           (s.checksum ? "on" : "off") + ", hex " + (s.hex ? "on" : "off") + ", timestamps " +
           (s.timestamps ? "on" : "off");
}

} // namespace

std::string termHelpText() {
    return ":baud N             set the line to N baud (any rate from 50 to 4000000 the\n"
           "                    device takes), without closing the port\n"
           ":ending E           cr (a framed command and its reply), none, lf, lfcr, crlf, "
           "hex:XX...\n"
           ":checksum on|off    commands and replies carry checksums (cr ending)\n"
           ":hex on|off         show what arrives as a hex dump\n"
           ":timestamps on|off  a time on every line shown\n"
           ":reopen             close the port and open it again\n"
           ":settings           the settings now\n"
           ":help               this list\n"
           ":quit, :q           end (as Ctrl-D, or Ctrl-C on an empty line)\n"
           "::TEXT              sends :TEXT";
}

TermAction interpretLine(const std::string& line, TermSettings& s) {
    if (line.empty())
        return {TermAction::Nothing, {}};
    if (line.size() > kMaxText)
        return {TermAction::Error, "a line of " + std::to_string(line.size()) +
                                       " bytes; the longest is " + std::to_string(kMaxText)};
    // With escapes, what is sent is what they spell.
    const auto send = [&s](const std::string& text) -> TermAction {
        if (!s.escapes)
            return {TermAction::Send, text};
        portula::Unescaped bytes = portula::unescapeCommand(text);
        if (!bytes.error.empty())
            return {TermAction::Error, escapeForLine(text) + ": " + bytes.error};
        return {TermAction::Send, std::move(bytes.bytes)};
    };
    if (line.compare(0, 2, "::") == 0)
        return send(line.substr(1));
    if (line.front() != ':')
        return send(line);

    std::vector<std::string> words;
    for (std::size_t at = 1; at < line.size();) {
        const std::size_t start = line.find_first_not_of(' ', at);
        if (start == std::string::npos)
            break;
        const std::size_t end = std::min(line.find(' ', start), line.size());
        words.push_back(line.substr(start, end - start));
        at = end;
    }
    const std::string name = words.empty() ? "" : words.front();
    const std::size_t given = words.size() - (words.empty() ? 0 : 1);
    auto error = [&](const std::string& why) {
        return TermAction{TermAction::Error, "':" + name + "': " + why};
    };
    struct Known {
        const char* name;
        std::size_t values; // how many words it takes after its name
        const char* usage;
    };
    static const Known kKnown[] = {
        {"quit", 0, ":quit"},
        {"q", 0, ":q"},
        {"help", 0, ":help"},
        {"settings", 0, ":settings"},
        {"reopen", 0, ":reopen"},
        {"baud", 1, ":baud N"},
        {"ending", 1, ":ending E"},
        {"hex", 1, ":hex on|off"},
        {"timestamps", 1, ":timestamps on|off"},
        {"checksum", 1, ":checksum on|off"},
    };
    const Known* known = nullptr;
    for (const Known& k : kKnown)
        if (name == k.name)
            known = &k;
    if (!known)
        return {TermAction::Error, "'" + escapeForLine(line.substr(0, line.find(' '))) +
                                       "' is not a command (:help lists them; :: sends a ':')"};
    if (given != known->values)
        return error(std::string("give it as ") + known->usage);
    const std::string value = known->values ? words[1] : "";

    if (name == "quit" || name == "q")
        return {TermAction::Quit, {}};
    if (name == "help")
        return {TermAction::Message, termHelpText()};
    if (name == "settings")
        return {TermAction::Message, settingsText(s)};
    if (name == "reopen")
        return {TermAction::Reopen,
                "opening the port again at " + std::to_string(s.baud) + " baud"};
    if (name == "baud") {
        const Parsed p = parseAsOptions({"-b", value});
        if (p.exit != kExitOk)
            return error("'" + escapeForLine(value) + "' is not a rate taken: " + baudsTaken());
        s.baud = p.options.baud;
        return {TermAction::SetRate, "setting the line to " + value + " baud"};
    }
    if (name == "ending") {
        const Parsed p = parseAsOptions({"--ending", value});
        if (p.exit != kExitOk)
            return error("'" + escapeForLine(value) + "' is not cr, none, lf, lfcr, crlf or " +
                         "hex:XX...");
        if (s.checksum && p.options.ending != Ending::CR)
            return error("the checksum needs the cr ending (:checksum off first)");
        s.ending = p.options.ending;
        s.endingBytes = p.options.endingBytes;
        return {TermAction::Message, "ending " + endingText(s)};
    }
    bool flag = false;
    if (!onOff(value, flag))
        return error("'" + escapeForLine(value) + "' is neither on nor off");
    if (name == "checksum") {
        if (flag && s.ending != Ending::CR)
            return error("the checksum needs the cr ending (:ending cr first)");
        s.checksum = flag;
    } else if (name == "hex") {
        s.hex = flag;
    } else {
        s.timestamps = flag;
    }
    return {TermAction::Message, name + (flag ? " on" : " off")};
}

std::string clockText(WallClock::time_point at, bool withDate) {
    const std::time_t seconds = WallClock::to_time_t(at);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char text[40];
    const std::size_t n =
        std::strftime(text, sizeof text, withDate ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms < 0 ? ms + 1000 : ms));
    return text;
}

// The log's time carries its offset from UTC, so that logs from machines in other zones, or
// from both sides of a change to summer time, line up.
std::string logLine(WallClock::time_point at, char direction, std::string_view bytes) {
    const std::time_t seconds = WallClock::to_time_t(at);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char zone[8] = "";
    std::strftime(zone, sizeof zone, "%z", &local);
    return clockText(at, true) + zone + " " + direction + " " + escapeForLine(bytes);
}

std::string historyPath(const std::function<const char*(const char*)>& env) {
    const char* state = env("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/portula/history";
    const char* home = env("HOME");
    if (home && home[0] != '\0')
        return std::string(home) + "/.local/state/portula/history";
    return "";
}

std::string ArrivalLines::hexRow(std::size_t offset, std::string_view bytes) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08zX ", offset);
    std::string row = buffer;
    for (std::size_t i = 0; i < kRowBytes; ++i) {
        if (i == kRowBytes / 2)
            row += ' ';
        if (i < bytes.size()) {
            std::snprintf(buffer, sizeof buffer, " %02X", static_cast<unsigned char>(bytes[i]));
            row += buffer;
        } else {
            row += "   ";
        }
    }
    row += "  |";
    for (unsigned char c : bytes)
        row.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.');
    return row + "|";
}

void ArrivalLines::setHex(bool hex) {
    if (hex != m_hex)
        m_offset = 0;
    m_hex = hex;
}

std::string ArrivalLines::finish() {
    std::string line;
    if (m_timestamps)
        line = clockText(m_firstByte, false) + "  ";
    if (m_hex) {
        line += hexRow(m_offset, m_partial);
        m_offset += m_partial.size();
    } else {
        line += showBytes(m_partial, false);
    }
    m_partial.clear();
    return line;
}

std::vector<std::string> ArrivalLines::feed(std::string_view bytes, SteadyClock::time_point now,
                                            WallClock::time_point wallNow) {
    std::vector<std::string> lines;
    if (bytes.empty())
        return lines;
    // Bytes after a silence start a line of their own.
    for (std::string& l : flush(now, false))
        lines.push_back(std::move(l));
    for (char c : bytes) {
        if (m_hex) {
            if (m_partial.empty()) {
                m_firstByte = wallNow;
                m_started = now;
            }
            m_partial.push_back(c);
            if (m_partial.size() == kRowBytes)
                lines.push_back(finish());
            continue;
        }
        const bool end = c == '\r' || c == '\n';
        if (end && m_lineEnd != 0 && c != m_lineEnd) {
            // The second byte of a CR LF or LF CR pair: its line has already ended.
            m_lineEnd = 0;
            continue;
        }
        if (m_partial.empty()) {
            m_firstByte = wallNow;
            m_started = now;
        }
        if (end) {
            lines.push_back(finish());
            m_lineEnd = c;
            continue;
        }
        m_lineEnd = 0;
        m_partial.push_back(c);
        // A stream without line ends is shown a screen line at a time.
        if (m_partial.size() >= m_width)
            lines.push_back(finish());
    }
    m_lastByte = now;
    return lines;
}

std::optional<SteadyClock::time_point> ArrivalLines::due() const {
    if (m_partial.empty())
        return std::nullopt;
    return m_started + kQuiet;
}

std::vector<std::string> ArrivalLines::flush(SteadyClock::time_point now, bool force) {
    std::vector<std::string> lines;
    const std::optional<SteadyClock::time_point> when = due();
    if (!force && (!when || now < *when)) {
        // A line end alone, after a silence, still starts afresh.
        if (!when && m_lineEnd != 0 && now - m_lastByte >= kQuiet)
            m_lineEnd = 0;
        return lines;
    }
    // Whatever comes after a silence is a line of its own, even an LF after a CR.
    m_lineEnd = 0;
    if (!m_partial.empty())
        lines.push_back(finish());
    return lines;
}

namespace {

volatile std::sig_atomic_t g_interrupt = 0;
volatile std::sig_atomic_t g_resized = 0;
volatile std::sig_atomic_t g_suspend = 0;
volatile std::sig_atomic_t g_continued = 0;
volatile std::sig_atomic_t g_terminate = 0; // the signal that ends term

void onSuspend(int) {
    g_suspend = 1;
}
void onContinue(int) {
    g_continued = 1;
}
void onTerminate(int signal) {
    g_terminate = signal;
}

volatile std::sig_atomic_t g_waiting = 0; // a command waits for its reply

// Ctrl-C while a command waits abandons the wait; otherwise the line or the terminal has it.
void onInterrupt(int) {
    if (g_waiting) {
        UARTCE_Abandon();
        g_waiting = 0;
        return;
    }
    g_interrupt = 1;
}

// While a command waits the line editor reads no keys: Ctrl-C is made a signal again, which
// ends the wait, and the keys typed meanwhile are kept for the editor (no flush).
class WaitingKeys {
  public:
    WaitingKeys() {
        m_terminal = ::isatty(0) && ::tcgetattr(0, &m_saved) == 0;
        if (!m_terminal)
            return;
        termios t = m_saved;
        t.c_lflag |= ISIG | NOFLSH;
        t.c_cc[VINTR] = 0x03;
        t.c_cc[VQUIT] = _POSIX_VDISABLE; // Ctrl-\ must not end the program with the terminal raw
        ::tcsetattr(0, TCSANOW, &t);
    }
    ~WaitingKeys() {
        if (m_terminal)
            ::tcsetattr(0, TCSANOW, &m_saved);
    }
    WaitingKeys(const WaitingKeys&) = delete;
    WaitingKeys& operator=(const WaitingKeys&) = delete;

  private:
    termios m_saved{};
    bool m_terminal = false;
};
void onResize(int) {
    g_resized = 1;
}

// No SA_RESTART: the wait in poll() ends at once.
void catchSignal(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

// The --log file: one line per write, appended, so that lines of another writer are not cut.
class ExchangeLog {
  public:
    ~ExchangeLog() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    // Only a regular file (created when it is not there) or a character device will do; the
    // open does not wait on a FIFO. Empty, or why not.
    std::string open(const std::string& path) {
        portula::FileSink sink = portula::openFileSink(path);
        m_fd = sink.fd;
        return sink.refusal.empty() ? "" : sink.refusal;
    }
    void write(char direction, std::string_view bytes) {
        if (m_fd < 0)
            return;
        const std::string line = logLine(WallClock::now(), direction, bytes) + "\n";
        if (::write(m_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) &&
            !m_failed) {
            m_failed = true;
            std::fprintf(stderr, "portula-cmd: --log: a line could not be written: %s\n",
                         std::strerror(errno));
        }
    }

  private:
    int m_fd = -1;
    bool m_failed = false;
};

// The device behind the port as the user gave it: a path or URL is opened by that name (the
// library's port number for it is not in the port map, so asking the map for that number would
// name another device); COMn is what the map makes of it.
std::string deviceName(const std::string& given) {
    const std::optional<PortChoice> choice = choosePort(given);
    if (!choice)
        return given;
    if (!choice->device.empty())
        return choice->device;
    char device[1024] = {};
    UARTCE_PortDevice(choice->number, device, sizeof device);
    return device;
}

// The longest wait without a look at the port: how soon a device that went away is found
// back, and a bound on a signal that came just before a wait.
constexpr int kIdleMs = 250;
// The most read from the port before standard input is looked at again: a flood does not
// shut out the keyboard.
constexpr int kChunksPerWake = 256;
// A script's line sent in a plain ending: how long the line is listened to for more once
// something came, before the next line is read.
constexpr std::chrono::milliseconds kScriptQuiet{50};

class Terminal {
  public:
    Terminal(const Options& o, const Reopen& reopen, ExchangeLog& log, std::uint8_t port)
        : m_options(o), m_settings(termSettings(o)), m_reopen(reopen), m_log(log), m_port(port),
          m_timeoutMs(o.timeoutMs.value_or(kDefaultTimeoutMs)) {
        m_arrivals.setHex(m_settings.hex);
        m_arrivals.setTimestamps(m_settings.timestamps);
        m_device = deviceName(o.port);
        m_remote = m_device.find("://") != std::string::npos;
        m_script = !::isatty(0);
        if (::isatty(0) && ::isatty(1))
            m_console =
                editingConsole("> ", historyPath([](const char* n) { return std::getenv(n); }));
        else
            m_console = plainConsole();
        winsize size{};
        if (::isatty(1) && ::ioctl(1, TIOCGWINSZ, &size) == 0)
            m_arrivals.setWidth(size.ws_col);
    }

    void run() {
        if (::isatty(0)) {
            const std::string where =
                m_device == m_options.port
                    ? escapeForLine(m_device)
                    : escapeForLine(m_options.port) + " (" + escapeForLine(m_device) + ")";
            show({"-- " + where + " at " + std::to_string(m_settings.baud) + " baud, ending " +
                  endingText(m_settings) + "; :help lists the commands"});
        }
        while (!m_quit) {
            // Wakes on the keyboard, on the port, or when the line under way is due.
            pollfd fds[2] = {{0, POLLIN, 0}, {UARTCE_WaitHandle(m_port), POLLIN, 0}};
            pollfd& in = fds[0];
            int timeout = kIdleMs;
            if (const auto due = m_arrivals.due())
                timeout = std::clamp(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(
                                                          *due - SteadyClock::now())
                                                          .count()),
                                     0, kIdleMs);
            const int ready = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
            if (g_interrupt) {
                g_interrupt = 0;
                if (m_console->interrupt())
                    break;
            }
            if (g_terminate)
                break;
            if (g_suspend) {
                g_suspend = 0;
                stop();
            }
            if (g_continued) {
                g_continued = 0;
                m_console->resume();
            }
            if (g_resized) {
                g_resized = 0;
                m_console->resize();
                winsize size{};
                if (::ioctl(1, TIOCGWINSZ, &size) == 0)
                    m_arrivals.setWidth(size.ws_col);
            }
            // A terminal that went away reads as endless empty input: the end, at once.
            if (ready > 0 && (in.revents & (POLLHUP | POLLERR | POLLNVAL)) && ::isatty(0))
                break;
            if (ready > 0 && (in.revents & (POLLIN | POLLHUP)))
                m_console->readInput();
            for (std::string line; !m_quit && m_console->nextLine(line);)
                entered(line);
            if (m_console->ended())
                break;
            takeArrivals();
        }
        takeArrivals();
        show(m_arrivals.flush(SteadyClock::now(), true));
        m_console->close();
    }

    std::uint8_t port() const { return m_port; }

  private:
    // Ctrl-Z or SIGTSTP: the terminal put back for the shell, then the program stops for real;
    // on fg it takes the terminal again and draws the line.
    void stop() {
        m_console->suspend();
        std::signal(SIGTSTP, SIG_DFL);
        ::raise(SIGTSTP);
        // Going on here, after SIGCONT.
        catchSignal(SIGTSTP, onSuspend);
        g_continued = 0;
        m_console->resume();
    }

    void show(const std::vector<std::string>& lines) { m_console->show(lines); }
    void showText(const std::string& text) {
        std::vector<std::string> lines;
        for (std::size_t at = 0; at <= text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            lines.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        show(lines);
    }
    void status(const std::string& text) {
        show({"-- " + text});
        m_log.write('!', text);
    }

    // What the port has: shown, logged, and a hang-up or the device's return told. True when
    // any byte came.
    bool takeArrivals() {
        std::array<char, UARTCE_RECEIVE_BUFFER_SIZE> chunk{};
        std::vector<std::string> lines;
        bool any = false;
        for (int i = 0; i < kChunksPerWake; ++i) {
            std::uint32_t got = 0;
            const std::uint16_t st = Receive_Cmd(m_port, chunk.data(), 0, 0, &got);
            if (st == UARTCE_ERR_HANGUP) {
                hungUp();
                break;
            }
            if (st == UARTCE_OK && m_hungUp) {
                m_hungUp = false;
                status("the device is back: " + escapeForLine(m_device));
            }
            if (st != UARTCE_OK || got == 0)
                break;
            any = true;
            const std::string_view bytes(chunk.data(), got);
            m_log.write('<', bytes);
            for (std::string& l : m_arrivals.feed(bytes, SteadyClock::now(), WallClock::now()))
                lines.push_back(std::move(l));
            if (got < UARTCE_RECEIVE_BUFFER_SIZE - 1)
                break;
        }
        for (std::string& l : m_arrivals.flush(SteadyClock::now(), false))
            lines.push_back(std::move(l));
        // One redraw of the prompt for all of it.
        if (!lines.empty())
            show(lines);
        return any;
    }

    // A script's line went out in a plain ending: what it brings is shown before the next
    // line is read, so that a script's output follows its lines, and nothing is lost at its
    // end. Waits up to the time-out for the first byte, then until the line is quiet.
    void listenAfterScriptLine() {
        const auto until = SteadyClock::now() + std::chrono::milliseconds(m_timeoutMs);
        bool heard = false;
        auto quietUntil = until;
        for (;;) {
            const auto now = SteadyClock::now();
            const auto end = heard ? std::min(until, quietUntil) : until;
            if (now >= end || g_interrupt)
                break;
            pollfd port{UARTCE_WaitHandle(m_port), POLLIN, 0};
            const int wait =
                static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(end - now).count());
            if (port.fd < 0)
                break;
            if (::poll(&port, 1, wait) > 0 && takeArrivals()) {
                heard = true;
                quietUntil = SteadyClock::now() + kScriptQuiet;
            }
        }
        takeArrivals();
    }

    void hungUp() {
        if (m_hungUp)
            return;
        m_hungUp = true;
        show(m_arrivals.flush(SteadyClock::now(), true));
        status(m_remote ? "Err_Code = 14: the connection closed; :reopen connects again"
                        : "Err_Code = 14: the device went away; waiting for it to come back");
    }

    void entered(const std::string& line) {
        const TermAction a = interpretLine(line, m_settings);
        switch (a.kind) {
        case TermAction::Nothing:
            return;
        case TermAction::Quit:
            m_quit = true;
            return;
        case TermAction::Error:
            show({"portula-cmd: " + a.text});
            return;
        case TermAction::Message:
            m_arrivals.setHex(m_settings.hex);
            m_arrivals.setTimestamps(m_settings.timestamps);
            // The settings name the port they are for.
            showText(line == ":settings" ? escapeForLine(m_device) + ": " + a.text : a.text);
            return;
        case TermAction::Reopen:
            status(a.text);
            reopen();
            return;
        case TermAction::SetRate:
            status(a.text);
            setRate();
            return;
        case TermAction::Send:
            send(a.text);
            return;
        }
    }

    void reopen() {
        Close_Com(m_port);
        m_hungUp = false;
        // The library and the tool tell a refusal on standard error; the prompt is put away
        // meanwhile so that those lines do not land in it.
        m_console->show({});
        const std::uint32_t before = m_openBaud;
        std::uint8_t port = m_port;
        if (m_reopen(m_settings.baud, port) == kExitOk) {
            m_port = port;
            m_openBaud = m_settings.baud;
            status("open at " + std::to_string(m_openBaud) + " baud");
            return;
        }
        m_settings.baud = before;
        if (m_reopen(before, port) == kExitOk) {
            m_port = port;
            status("still at " + std::to_string(before) + " baud");
        } else {
            status("the port could not be opened again; :reopen tries once more");
        }
    }

    // The rate changes on the open port; one the device does not take leaves it as it was, and
    // the library has said why.
    void setRate() {
        Options at = m_options;
        at.baud = m_settings.baud;
        const uartce_line line = lineOf(at);
        m_console->show({});
        if (UARTCE_SetLine(m_port, &line) == UARTCE_OK) {
            m_openBaud = m_settings.baud;
            status("now at " + std::to_string(m_openBaud) + " baud");
            return;
        }
        m_settings.baud = m_openBaud;
        status("still at " + std::to_string(m_openBaud) + " baud");
    }

    void send(const std::string& text) {
        // What came before the command is shown before its reply, and is not thrown away by
        // the library's discard of waiting input.
        takeArrivals();
        show(m_arrivals.flush(SteadyClock::now(), true));
        if (m_options.modbus) {
            sendModbus(text);
            return;
        }
        if (m_settings.ending != Ending::CR) {
            const std::string frame = text + m_settings.endingBytes;
            m_log.write('>', frame);
            const std::uint16_t st =
                Send_Binary(m_port, frame.data(), static_cast<std::uint32_t>(frame.size()));
            if (st != UARTCE_OK)
                failed(st);
            else if (m_script)
                listenAfterScriptLine();
            return;
        }
        if (text.find('\0') != std::string::npos) {
            show(std::vector<std::string>{
                "portula-cmd: a NUL byte cannot go in a command with the cr ending"});
            return;
        }
        m_log.write('>', portula::framedCommand(text, m_settings.checksum));
        std::array<char, UARTCE_REPLY_BUFFER_SIZE> reply{};
        std::uint32_t length = 0;
        const WallClock::time_point sent = WallClock::now();
        std::uint16_t st = UARTCE_OK;
        bool abandoned = false;
        {
            WaitingKeys keys;
            g_waiting = 1;
            st = Send_Receive_Cmd(m_port, text.c_str(), reply.data(),
                                  static_cast<std::uint16_t>(m_timeoutMs),
                                  m_settings.checksum ? 1 : 0, &length);
            abandoned = !g_waiting;
            g_waiting = 0;
        }
        if (abandoned && st != UARTCE_OK) {
            status("Ctrl-C: the wait for the reply was abandoned");
            return;
        }
        if (st != UARTCE_OK) {
            failed(st);
            return;
        }
        const std::string_view bytes(reply.data(), length);
        m_log.write('<', bytes);
        showReply(bytes, sent);
    }

    // The line is a request in hex bytes; the library frames it, and its reply shows in hex
    // without its CRC or LRC (a frame whose check failed, as it came), a slave's exception
    // under it with its words.
    void sendModbus(const std::string& line) {
        const CommandText request = modbusRequest(line);
        if (!request.error.empty() || request.bytes.size() > kMaxModbusRequest) {
            status(escapeForLine(line) + ": " +
                   (request.error.empty()
                        ? "a request of " + std::to_string(request.bytes.size()) +
                              " bytes; the longest is " + std::to_string(kMaxModbusRequest)
                        : request.error));
            return;
        }
        const portula::ModbusMode mode = *m_options.modbus;
        m_log.write('>', portula::modbusFrame(mode, request.bytes));
        const WallClock::time_point sent = WallClock::now();
        Exchange e;
        bool abandoned = false;
        {
            WaitingKeys keys;
            g_waiting = 1;
            e = modbusExchange(m_port, request.bytes, mode, m_timeoutMs);
            abandoned = !g_waiting;
            g_waiting = 0;
        }
        if (abandoned && e.status != UARTCE_OK) {
            status("Ctrl-C: the wait for the reply was abandoned");
            return;
        }
        if (!e.reply.empty()) {
            const std::string shown = portula::hexBytes(e.reply);
            m_log.write('<', shown);
            show({(m_settings.timestamps ? clockText(sent, false) + "  " : "") + shown});
        }
        if (e.status == UARTCE_OK && e.reply.empty())
            status("a broadcast: no slave answers it");
        if (e.status == UARTCE_ERR_EXCEPTION) {
            const std::string text = "Err_Code = " + std::to_string(e.status) + " (" +
                                     failureWords(e, m_timeoutMs) + ")";
            m_log.write('!', text);
            show({text});
        } else if (e.status != UARTCE_OK) {
            failed(static_cast<std::uint16_t>(e.status));
        }
    }

    void showReply(std::string_view bytes, WallClock::time_point at) {
        const std::string time = m_settings.timestamps ? clockText(at, false) + "  " : "";
        if (!m_settings.hex) {
            show({time + showBytes(bytes, false)});
            return;
        }
        std::vector<std::string> rows;
        for (std::size_t at = 0; at < bytes.size() || at == 0; at += ArrivalLines::kRowBytes)
            rows.push_back(time +
                           ArrivalLines::hexRow(at, bytes.substr(at, ArrivalLines::kRowBytes)));
        show(rows);
    }

    void failed(std::uint16_t st) {
        const std::string text =
            "Err_Code = " + std::to_string(st) + " (" + statusWords(st, m_timeoutMs) + ")";
        m_log.write('!', text);
        show({(m_settings.timestamps ? clockText(WallClock::now(), false) + "  " : "") + text});
        if (st == UARTCE_ERR_HANGUP)
            hungUp();
    }

    const Options& m_options;
    TermSettings m_settings;
    const Reopen& m_reopen;
    ExchangeLog& m_log;
    std::uint8_t m_port;
    std::uint32_t m_openBaud = m_settings.baud;
    unsigned m_timeoutMs;
    bool m_script = false; // standard input is a file or a pipe
    std::string m_device;
    bool m_remote = false;
    bool m_hungUp = false;
    bool m_quit = false;
    ArrivalLines m_arrivals;
    std::unique_ptr<Console> m_console;
};

} // namespace

int runTerminal(const Options& o, const Reopen& open) {
    ExchangeLog log;
    if (!o.log.empty())
        if (const std::string why = log.open(o.log); !why.empty()) {
            std::fprintf(stderr, "portula-cmd: --log: %s\n", why.c_str());
            return kExitUsage;
        }
    std::uint8_t port = 0;
    if (const int refused = open(o.baud, port); refused != kExitOk)
        return refused;
    catchSignal(SIGINT, onInterrupt);
    catchSignal(SIGWINCH, onResize);
    catchSignal(SIGTSTP, onSuspend);
    catchSignal(SIGCONT, onContinue);
    catchSignal(SIGTERM, onTerminate);
    catchSignal(SIGHUP, onTerminate);
    int ended = 0;
    {
        Terminal terminal(o, open, log, port);
        terminal.run();
        Close_Com(terminal.port());
        ended = g_terminate;
    }
    // The terminal is as it was: now the signal ends the program as it would have.
    if (ended) {
        std::signal(ended, SIG_DFL);
        ::raise(ended);
    }
    return kExitOk;
}

} // namespace cmd
